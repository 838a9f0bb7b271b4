// Per-user locations: the program's directory, the library directory and
// application-group containers below it.
#include <Platform/AppGroupContainer.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::optional<std::string> homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home);
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir)
        return std::string(entry->pw_dir);
    return std::nullopt;
}

// A group identifier names one directory: no separators, no dot entries.
bool usableGroupIdentifier(const std::string& identifier) {
    return !identifier.empty() && identifier != "." && identifier != ".." &&
           identifier.find('/') == std::string::npos && identifier.find('\0') == std::string::npos;
}

} // namespace

std::string mainBundlePath() {
    std::error_code error;
    fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) return fs::current_path(error).string();
    return program.parent_path().string();
}

std::optional<std::string> userLibraryDirectoryPath() {
    // Only an absolute XDG_DATA_HOME counts, as the base-directory rules say.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') return std::string(data);
    auto home = homeDirectory();
    if (!home) return std::nullopt;
    return (fs::path(*home) / ".local" / "share").string();
}

std::optional<std::string> containerPathForSecurityApplicationGroupIdentifier(const std::string& groupIdentifier) {
    if (!usableGroupIdentifier(groupIdentifier)) return std::nullopt;
    auto library = userLibraryDirectoryPath();
    if (!library) return std::nullopt;
    fs::path container = fs::path(*library) / "Group Containers" / groupIdentifier;
    std::error_code error;
    fs::create_directories(container, error);
    if (error || !fs::is_directory(container, error)) return std::nullopt;
    return container.string();
}
