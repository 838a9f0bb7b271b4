// Component modules: shared objects that install components of their own
// when loaded, found through AU_COMPONENT_PATH (directories separated by ':').
#include "ComponentRegistry.h"

#include <Platform/Foundation.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <dlfcn.h>

namespace {

using ModuleEntry = void (*)();
constexpr const char* kModuleEntryName = "AUComponentModuleRegister";

std::vector<std::string> componentDirectories() {
    std::vector<std::string> directories;
    const char* path = std::getenv("AU_COMPONENT_PATH");
    if (!path) return directories;
    std::string list(path);
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        if (end > start) directories.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return directories;
}

// Sorted by name so that the registration order does not depend on the
// directory's listing order.
std::vector<std::filesystem::path> modulesIn(const std::string& directory) {
    std::vector<std::filesystem::path> modules;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const auto& path = it->path();
        if (path.extension() == ".so" && it->is_regular_file(error)) modules.push_back(path);
    }
    std::sort(modules.begin(), modules.end());
    return modules;
}

// Modules stay loaded for the life of the process: their units' code must
// outlive every instance.
void loadModule(const std::filesystem::path& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        NSLog("AudioComponent: cannot load component module %s: %s", path.c_str(), dlerror());
        return;
    }
    auto entry = reinterpret_cast<ModuleEntry>(dlsym(handle, kModuleEntryName));
    if (!entry) {
        NSLog("AudioComponent: component module %s has no %s", path.c_str(), kModuleEntryName);
        return;
    }
    entry();
}

} // namespace

void loadComponentModules() {
    for (const auto& directory : componentDirectories())
        for (const auto& module : modulesIn(directory)) loadModule(module);
}
