// A CPU-backed stand-in for the CUDA driver (soname libcuda.so.1).
//
// It implements the driver calls that cudabridge makes, on host memory, so that
// the bridge can be exercised from a real Java VM on a machine without a GPU.
// Besides behaving like a driver it records every call by entry-point name,
// records launches with the bytes of every kernel parameter, can make any named
// call fail with a chosen result, and can hold events "not ready".
//
// Device memory lives at addresses the host cannot dereference; managed memory
// is ordinary host memory whose address is the device pointer.

#include "StandInDriver.h"

#include <cuda.h>

#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#define DRIVER_API extern "C" __attribute__((visibility("default")))

struct CUctx_st {
    int device = 0;
    int retains = 0;
};

struct CUfunc_st {
    std::string name;
    std::vector<size_t> parameterSizes;
};

struct CUmod_st {
    std::vector<std::unique_ptr<CUfunc_st>> functions;
};

struct CUstream_st {
    unsigned int flags = 0;
};

struct CUevent_st {
    enum class State { Fresh, Pending, Complete };
    unsigned int flags = 0;
    State state = State::Fresh;
    CUstream stream = nullptr;
};

namespace {

constexpr int kDriverVersion = 13000;
constexpr unsigned char kUninitialisedByte = 0xA5;  // fresh device memory is never zero by luck
constexpr CUdeviceptr kDeviceAddressBase = 0x0000900000000000ULL;  // outside the host's address space

struct DeviceModel {
    const char* name;
    size_t totalMemory;
    int multiprocessors;
};

constexpr DeviceModel kDevices[] = {
    {"Quenmoor Stand-in GPU 0", size_t{8} << 30, 46},
    {"Quenmoor Stand-in GPU 1", size_t{4} << 30, 20},
};
constexpr int kDeviceCount = static_cast<int>(sizeof kDevices / sizeof kDevices[0]);

struct ErrorText {
    CUresult result;
    const char* name;
    const char* description;
};

constexpr ErrorText kErrorTexts[] = {
    {CUDA_SUCCESS, "CUDA_SUCCESS", "no error"},
    {CUDA_ERROR_INVALID_VALUE, "CUDA_ERROR_INVALID_VALUE", "invalid argument"},
    {CUDA_ERROR_OUT_OF_MEMORY, "CUDA_ERROR_OUT_OF_MEMORY", "out of memory"},
    {CUDA_ERROR_NOT_INITIALIZED, "CUDA_ERROR_NOT_INITIALIZED", "initialization error"},
    {CUDA_ERROR_NO_DEVICE, "CUDA_ERROR_NO_DEVICE", "no CUDA-capable device is detected"},
    {CUDA_ERROR_INVALID_DEVICE, "CUDA_ERROR_INVALID_DEVICE", "invalid device ordinal"},
    {CUDA_ERROR_INVALID_IMAGE, "CUDA_ERROR_INVALID_IMAGE", "device kernel image is invalid"},
    {CUDA_ERROR_INVALID_CONTEXT, "CUDA_ERROR_INVALID_CONTEXT", "invalid device context"},
    {CUDA_ERROR_INVALID_PTX, "CUDA_ERROR_INVALID_PTX", "a PTX JIT compilation failed"},
    {CUDA_ERROR_INVALID_HANDLE, "CUDA_ERROR_INVALID_HANDLE", "invalid resource handle"},
    {CUDA_ERROR_NOT_FOUND, "CUDA_ERROR_NOT_FOUND", "named symbol not found"},
    {CUDA_ERROR_NOT_READY, "CUDA_ERROR_NOT_READY", "device not ready"},
    {CUDA_ERROR_LAUNCH_FAILED, "CUDA_ERROR_LAUNCH_FAILED", "unspecified launch failure"},
    {CUDA_ERROR_NOT_SUPPORTED, "CUDA_ERROR_NOT_SUPPORTED", "operation not supported"},
    {CUDA_ERROR_UNKNOWN, "CUDA_ERROR_UNKNOWN", "unknown error"},
};

const ErrorText* errorText(CUresult result) {
    for (const ErrorText& text : kErrorTexts) {
        if (text.result == result) {
            return &text;
        }
    }
    return nullptr;
}

struct Allocation {
    std::unique_ptr<unsigned char[]> storage;
    size_t size = 0;
    int64_t attachFlags = -1;  // managed memory only
};

struct Launch {
    StandInLaunch summary{};
    std::vector<std::vector<unsigned char>> parameters;
};

struct Driver {
    std::mutex mutex;
    bool initialised = false;
    CUctx_st contexts[kDeviceCount];

    std::map<CUdeviceptr, Allocation> allocations;
    CUdeviceptr nextDeviceAddress = kDeviceAddressBase;
    std::map<CUmod_st*, std::unique_ptr<CUmod_st>> modules;
    std::set<CUfunc_st*> functions;
    std::map<CUstream_st*, std::unique_ptr<CUstream_st>> streams;
    std::map<CUevent_st*, std::unique_ptr<CUevent_st>> events;

    bool recording = true;
    std::vector<const char*> calls;
    std::unordered_map<std::string, CUresult> failures;
    bool holdEvents = false;
    uint64_t launchCount = 0;
    std::optional<Launch> lastLaunch;
    int64_t lastImageLength = -1;

    Driver() {
        for (int device = 0; device < kDeviceCount; ++device) {
            contexts[device].device = device;
        }
    }

    // Every entry point starts here: the call is recorded, then an injected failure wins.
    CUresult enter(const char* name) {
        if (recording) {
            calls.push_back(name);
        }
        if (!failures.empty()) {
            auto rule = failures.find(name);
            if (rule != failures.end()) {
                return rule->second;
            }
        }
        return CUDA_SUCCESS;
    }
};

Driver& driver() {
    static Driver instance;
    return instance;
}

thread_local CUctx_st* currentContext = nullptr;

#define ENTER(name)                                                   \
    Driver& d = driver();                                             \
    std::lock_guard<std::mutex> lock(d.mutex);                        \
    if (CUresult injected = d.enter(name); injected != CUDA_SUCCESS) { \
        return injected;                                              \
    }

CUresult requireInitialised(const Driver& d) {
    return d.initialised ? CUDA_SUCCESS : CUDA_ERROR_NOT_INITIALIZED;
}

CUresult requireDevice(const Driver& d, CUdevice device) {
    if (!d.initialised) {
        return CUDA_ERROR_NOT_INITIALIZED;
    }
    return device >= 0 && device < kDeviceCount ? CUDA_SUCCESS : CUDA_ERROR_INVALID_DEVICE;
}

CUresult requireContext() {
    return currentContext != nullptr && currentContext->retains > 0 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_CONTEXT;
}

// The host bytes behind [pointer, pointer + bytes), or null when no allocation holds them all.
unsigned char* hostBytes(Driver& d, CUdeviceptr pointer, size_t bytes) {
    auto after = d.allocations.upper_bound(pointer);
    if (after == d.allocations.begin()) {
        return nullptr;
    }
    auto& [base, allocation] = *std::prev(after);
    const CUdeviceptr offset = pointer - base;
    if (offset > allocation.size || bytes > allocation.size - offset) {
        return nullptr;
    }
    return allocation.storage.get() + offset;
}

bool knownStream(const Driver& d, CUstream stream) {
    return stream == nullptr || d.streams.count(stream) != 0;
}

// ---- Module images -------------------------------------------------------------------------

size_t ptxTypeSize(std::string_view type) {
    static const std::pair<const char*, size_t> kSizes[] = {
        {".u8", 1},  {".s8", 1},  {".b8", 1},  {".u16", 2}, {".s16", 2}, {".b16", 2}, {".f16", 2},
        {".u32", 4}, {".s32", 4}, {".b32", 4}, {".f32", 4}, {".u64", 8}, {".s64", 8}, {".b64", 8},
        {".f64", 8},
    };
    for (const auto& [name, size] : kSizes) {
        if (type == name) {
            return size;
        }
    }
    return 0;
}

// One ".param" declaration of an entry, e.g. ".param .u64 .ptr .align 1 k_param_0" or
// ".param .align 8 .b8 k_param_2[24]".
size_t ptxParameterSize(std::string_view declaration) {
    size_t size = 0;
    size_t count = 1;
    size_t position = 0;
    while (position < declaration.size()) {
        const size_t start = declaration.find_first_not_of(" \t\r\n", position);
        if (start == std::string_view::npos) {
            break;
        }
        const size_t end = std::min(declaration.find_first_of(" \t\r\n", start), declaration.size());
        const std::string_view token = declaration.substr(start, end - start);
        if (size == 0 && ptxTypeSize(token) != 0) {
            size = ptxTypeSize(token);
        } else if (const size_t bracket = token.find('['); bracket != std::string_view::npos && token[0] != '.') {
            count = std::strtoull(std::string(token.substr(bracket + 1)).c_str(), nullptr, 10);
        }
        position = end;
    }
    return size * count;
}

bool isIdentifierCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}

// Kernels of a PTX text: every ".entry name ( .param ..., ... )".
std::vector<std::unique_ptr<CUfunc_st>> ptxEntries(std::string_view text) {
    std::vector<std::unique_ptr<CUfunc_st>> entries;
    size_t position = 0;
    while ((position = text.find(".entry", position)) != std::string_view::npos) {
        position += 6;
        size_t start = text.find_first_not_of(" \t\r\n", position);
        if (start == std::string_view::npos) {
            break;
        }
        size_t end = start;
        while (end < text.size() && isIdentifierCharacter(text[end])) {
            ++end;
        }
        auto function = std::make_unique<CUfunc_st>();
        function->name = std::string(text.substr(start, end - start));
        const size_t open = text.find_first_not_of(" \t\r\n", end);
        if (open != std::string_view::npos && text[open] == '(') {
            const size_t close = text.find(')', open);
            std::string_view list = text.substr(open + 1, close - open - 1);
            size_t from = 0;
            while (from < list.size()) {
                const size_t comma = std::min(list.find(',', from), list.size());
                const std::string_view declaration = list.substr(from, comma - from);
                if (declaration.find(".param") != std::string_view::npos) {
                    function->parameterSizes.push_back(
                        ptxParameterSize(declaration.substr(declaration.find(".param") + 6)));
                }
                from = comma + 1;
            }
            position = close;
        }
        if (!function->name.empty()) {
            entries.push_back(std::move(function));
        }
    }
    return entries;
}

// Parameter sizes of a CUBIN kernel from the KPARAM_INFO records of its .nv.info section.
std::vector<size_t> cubinParameterSizes(const unsigned char* info, size_t length) {
    constexpr unsigned char kSizedValueFormat = 0x04;
    constexpr unsigned char kParameterInfo = 0x17;
    std::map<uint16_t, size_t> byOrdinal;
    size_t position = 0;
    while (position + 4 <= length) {
        const unsigned char format = info[position];
        const unsigned char attribute = info[position + 1];
        uint16_t payloadSize = 0;
        std::memcpy(&payloadSize, info + position + 2, 2);
        if (format != kSizedValueFormat) {
            position += 4;
            continue;
        }
        const unsigned char* payload = info + position + 4;
        if (attribute == kParameterInfo && payloadSize >= 12 && position + 4 + 12 <= length) {
            uint16_t ordinal = 0;
            uint32_t packed = 0;
            std::memcpy(&ordinal, payload + 4, 2);
            std::memcpy(&packed, payload + 8, 4);
            byOrdinal[ordinal] = (packed >> 18) & 0x3fff;
        }
        position += 4 + payloadSize;
    }
    std::vector<size_t> sizes;
    for (const auto& entry : byOrdinal) {
        sizes.push_back(entry.second);
    }
    return sizes;
}

// Kernels of a CUBIN (64-bit ELF): its global function symbols.
std::vector<std::unique_ptr<CUfunc_st>> cubinEntries(const unsigned char* image, int64_t& length) {
    std::vector<std::unique_ptr<CUfunc_st>> entries;
    Elf64_Ehdr header;
    std::memcpy(&header, image, sizeof header);
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shstrndx >= header.e_shnum) {
        return entries;
    }
    length = static_cast<int64_t>(header.e_shoff + header.e_shnum * sizeof(Elf64_Shdr));
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), image + header.e_shoff, header.e_shnum * sizeof(Elf64_Shdr));
    const char* sectionNames = reinterpret_cast<const char*>(image + sections[header.e_shstrndx].sh_offset);
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_SYMTAB || section.sh_link >= sections.size()) {
            continue;
        }
        const char* names = reinterpret_cast<const char*>(image + sections[section.sh_link].sh_offset);
        const size_t count = section.sh_size / sizeof(Elf64_Sym);
        for (size_t i = 0; i < count; ++i) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, image + section.sh_offset + i * sizeof symbol, sizeof symbol);
            if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || ELF64_ST_BIND(symbol.st_info) != STB_GLOBAL) {
                continue;
            }
            auto function = std::make_unique<CUfunc_st>();
            function->name = names + symbol.st_name;
            const std::string infoName = ".nv.info." + function->name;
            for (const Elf64_Shdr& candidate : sections) {
                if (infoName == sectionNames + candidate.sh_name) {
                    function->parameterSizes = cubinParameterSizes(image + candidate.sh_offset, candidate.sh_size);
                }
            }
            entries.push_back(std::move(function));
        }
    }
    return entries;
}

void completePendingEvents(Driver& d, std::optional<CUstream> onlyStream) {
    for (auto& [handle, event] : d.events) {
        if (event->state == CUevent_st::State::Pending && (!onlyStream || event->stream == *onlyStream)) {
            event->state = CUevent_st::State::Complete;
        }
    }
}

}  // namespace

// ---- Errors, driver and devices -----------------------------------------------------------

DRIVER_API CUresult cuGetErrorName(CUresult error, const char** name) {
    ENTER("cuGetErrorName");
    const ErrorText* text = errorText(error);
    if (text == nullptr || name == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    *name = text->name;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuGetErrorString(CUresult error, const char** description) {
    ENTER("cuGetErrorString");
    const ErrorText* text = errorText(error);
    if (text == nullptr || description == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    *description = text->description;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuInit(unsigned int flags) {
    ENTER("cuInit");
    if (flags != 0) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    d.initialised = true;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuDriverGetVersion(int* version) {
    ENTER("cuDriverGetVersion");
    if (version == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    *version = kDriverVersion;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuDeviceGetCount(int* count) {
    ENTER("cuDeviceGetCount");
    if (CUresult r = requireInitialised(d); r != CUDA_SUCCESS) {
        return r;
    }
    *count = kDeviceCount;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuDeviceGet(CUdevice* device, int ordinal) {
    ENTER("cuDeviceGet");
    if (CUresult r = requireDevice(d, ordinal); r != CUDA_SUCCESS) {
        return r;
    }
    *device = ordinal;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuDeviceGetName(char* name, int length, CUdevice device) {
    ENTER("cuDeviceGetName");
    if (CUresult r = requireDevice(d, device); r != CUDA_SUCCESS) {
        return r;
    }
    if (name == nullptr || length <= 0) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    std::snprintf(name, static_cast<size_t>(length), "%s", kDevices[device].name);
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuDeviceGetAttribute(int* value, CUdevice_attribute attribute, CUdevice device) {
    ENTER("cuDeviceGetAttribute");
    if (CUresult r = requireDevice(d, device); r != CUDA_SUCCESS) {
        return r;
    }
    switch (attribute) {
        case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK:
        case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X:
        case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y:
            *value = 1024;
            return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z:
            *value = 64;
            return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_WARP_SIZE:
            *value = 32;
            return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT:
            *value = kDevices[device].multiprocessors;
            return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR:
            *value = 8;
            return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR:
            *value = 6;
            return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_MANAGED_MEMORY:
        case CU_DEVICE_ATTRIBUTE_CONCURRENT_MANAGED_ACCESS:
            *value = 1;
            return CUDA_SUCCESS;
        default:
            return CUDA_ERROR_INVALID_VALUE;
    }
}

DRIVER_API CUresult cuDeviceTotalMem_v2(size_t* bytes, CUdevice device) {
    ENTER("cuDeviceTotalMem_v2");
    if (CUresult r = requireDevice(d, device); r != CUDA_SUCCESS) {
        return r;
    }
    *bytes = kDevices[device].totalMemory;
    return CUDA_SUCCESS;
}

// NVRTC loads whatever libcuda.so.1 the process finds and asks it for the driver's private
// export tables; it carries on without the driver when the answer is an error (and crashes
// when the entry point is missing altogether).
DRIVER_API CUresult cuGetExportTable(const void** table, const CUuuid* id) {
    ENTER("cuGetExportTable");
    (void)id;
    if (table != nullptr) {
        *table = nullptr;
    }
    return CUDA_ERROR_NOT_SUPPORTED;
}

// ---- Contexts -------------------------------------------------------------------------------

DRIVER_API CUresult cuDevicePrimaryCtxRetain(CUcontext* context, CUdevice device) {
    ENTER("cuDevicePrimaryCtxRetain");
    if (CUresult r = requireDevice(d, device); r != CUDA_SUCCESS) {
        return r;
    }
    ++d.contexts[device].retains;
    *context = &d.contexts[device];
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuDevicePrimaryCtxRelease_v2(CUdevice device) {
    ENTER("cuDevicePrimaryCtxRelease_v2");
    if (CUresult r = requireDevice(d, device); r != CUDA_SUCCESS) {
        return r;
    }
    if (d.contexts[device].retains == 0) {
        return CUDA_ERROR_INVALID_CONTEXT;
    }
    --d.contexts[device].retains;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuCtxSetCurrent(CUcontext context) {
    ENTER("cuCtxSetCurrent");
    if (context == nullptr) {
        currentContext = nullptr;
        return CUDA_SUCCESS;
    }
    for (CUctx_st& known : d.contexts) {
        if (&known == context && known.retains > 0) {
            currentContext = context;
            return CUDA_SUCCESS;
        }
    }
    return CUDA_ERROR_INVALID_CONTEXT;
}

DRIVER_API CUresult cuCtxSynchronize() {
    ENTER("cuCtxSynchronize");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    completePendingEvents(d, std::nullopt);
    return CUDA_SUCCESS;
}

// ---- Memory ---------------------------------------------------------------------------------

namespace {

CUresult allocate(Driver& d, CUdeviceptr* pointer, size_t bytes, bool managed, unsigned int attachFlags = 0) {
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (pointer == nullptr || bytes == 0) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    Allocation allocation;
    allocation.storage.reset(new (std::nothrow) unsigned char[bytes]);
    if (!allocation.storage) {
        return CUDA_ERROR_OUT_OF_MEMORY;
    }
    allocation.size = bytes;
    if (managed) {
        allocation.attachFlags = attachFlags;
    }
    std::memset(allocation.storage.get(), kUninitialisedByte, bytes);
    CUdeviceptr address = 0;
    if (managed) {
        address = reinterpret_cast<CUdeviceptr>(allocation.storage.get());
    } else {
        address = d.nextDeviceAddress;
        d.nextDeviceAddress += (bytes + 511) / 256 * 256;  // aligned, with a gap after each
    }
    d.allocations.emplace(address, std::move(allocation));
    *pointer = address;
    return CUDA_SUCCESS;
}

}  // namespace

DRIVER_API CUresult cuMemAlloc_v2(CUdeviceptr* pointer, size_t bytes) {
    ENTER("cuMemAlloc_v2");
    return allocate(d, pointer, bytes, false);
}

DRIVER_API CUresult cuMemAllocManaged(CUdeviceptr* pointer, size_t bytes, unsigned int flags) {
    ENTER("cuMemAllocManaged");
    if (flags != CU_MEM_ATTACH_GLOBAL && flags != CU_MEM_ATTACH_HOST) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    return allocate(d, pointer, bytes, true, flags);
}

DRIVER_API CUresult cuMemFree_v2(CUdeviceptr pointer) {
    ENTER("cuMemFree_v2");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    return d.allocations.erase(pointer) == 1 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

DRIVER_API CUresult cuMemsetD8_v2(CUdeviceptr pointer, unsigned char value, size_t count) {
    ENTER("cuMemsetD8_v2");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    unsigned char* bytes = hostBytes(d, pointer, count);
    if (bytes == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    std::memset(bytes, value, count);
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuMemcpyHtoD_v2(CUdeviceptr destination, const void* source, size_t bytes) {
    ENTER("cuMemcpyHtoD_v2");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    unsigned char* target = hostBytes(d, destination, bytes);
    if (target == nullptr || source == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    std::memcpy(target, source, bytes);
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuMemcpyDtoH_v2(void* destination, CUdeviceptr source, size_t bytes) {
    ENTER("cuMemcpyDtoH_v2");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    const unsigned char* origin = hostBytes(d, source, bytes);
    if (origin == nullptr || destination == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    std::memcpy(destination, origin, bytes);
    return CUDA_SUCCESS;
}

namespace {

CUresult copyOnDevice(Driver& d, CUdeviceptr destination, CUdeviceptr source, size_t bytes) {
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    unsigned char* target = hostBytes(d, destination, bytes);
    const unsigned char* origin = hostBytes(d, source, bytes);
    if (target == nullptr || origin == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    std::memmove(target, origin, bytes);
    return CUDA_SUCCESS;
}

}  // namespace

DRIVER_API CUresult cuMemcpyDtoD_v2(CUdeviceptr destination, CUdeviceptr source, size_t bytes) {
    ENTER("cuMemcpyDtoD_v2");
    return copyOnDevice(d, destination, source, bytes);
}

DRIVER_API CUresult cuMemcpyDtoDAsync_v2(CUdeviceptr destination, CUdeviceptr source, size_t bytes,
                                         CUstream stream) {
    ENTER("cuMemcpyDtoDAsync_v2");
    if (!knownStream(d, stream)) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    return copyOnDevice(d, destination, source, bytes);
}

// ---- Modules and launches -------------------------------------------------------------------

DRIVER_API CUresult cuModuleLoadData(CUmodule* module, const void* image) {
    ENTER("cuModuleLoadData");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (module == nullptr || image == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    const auto* bytes = static_cast<const unsigned char*>(image);
    auto loaded = std::make_unique<CUmod_st>();
    if (std::memcmp(bytes, ELFMAG, SELFMAG) == 0) {
        loaded->functions = cubinEntries(bytes, d.lastImageLength);
    } else {
        const std::string_view text(static_cast<const char*>(image));
        d.lastImageLength = static_cast<int64_t>(text.size());
        loaded->functions = ptxEntries(text);
    }
    if (loaded->functions.empty()) {
        return CUDA_ERROR_INVALID_IMAGE;
    }
    for (const auto& function : loaded->functions) {
        d.functions.insert(function.get());
    }
    *module = loaded.get();
    d.modules.emplace(loaded.get(), std::move(loaded));
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuModuleUnload(CUmodule module) {
    ENTER("cuModuleUnload");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    auto found = d.modules.find(module);
    if (found == d.modules.end()) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    for (const auto& function : found->second->functions) {
        d.functions.erase(function.get());
    }
    d.modules.erase(found);
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
    ENTER("cuModuleGetFunction");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    auto found = d.modules.find(module);
    if (found == d.modules.end()) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    if (function == nullptr || name == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    for (const auto& candidate : found->second->functions) {
        if (candidate->name == name) {
            *function = candidate.get();
            return CUDA_SUCCESS;
        }
    }
    return CUDA_ERROR_NOT_FOUND;
}

DRIVER_API CUresult cuFuncGetAttribute(int* value, CUfunction_attribute attribute, CUfunction function) {
    ENTER("cuFuncGetAttribute");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (d.functions.count(function) == 0) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    if (value == nullptr || attribute < 0 || attribute >= CU_FUNC_ATTRIBUTE_MAX) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    switch (attribute) {
        case CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK:
            *value = 1024;
            break;
        case CU_FUNC_ATTRIBUTE_NUM_REGS:
            *value = 32;
            break;
        case CU_FUNC_ATTRIBUTE_PTX_VERSION:
        case CU_FUNC_ATTRIBUTE_BINARY_VERSION:
            *value = 86;
            break;
        default:
            *value = 0;
            break;
    }
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuLaunchKernel(CUfunction function, unsigned int gridX, unsigned int gridY, unsigned int gridZ,
                                   unsigned int blockX, unsigned int blockY, unsigned int blockZ,
                                   unsigned int sharedMemoryBytes, CUstream stream, void** parameters, void** extra) {
    ENTER("cuLaunchKernel");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (d.functions.count(function) == 0 || !knownStream(d, stream)) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    if (gridX == 0 || gridY == 0 || gridZ == 0 || blockX == 0 || blockY == 0 || blockZ == 0 ||
        static_cast<uint64_t>(blockX) * blockY * blockZ > 1024) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    if (extra != nullptr || (parameters == nullptr && !function->parameterSizes.empty())) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    Launch launch;
    launch.summary = {reinterpret_cast<uint64_t>(function),
                      {gridX, gridY, gridZ},
                      {blockX, blockY, blockZ},
                      sharedMemoryBytes,
                      reinterpret_cast<uint64_t>(stream),
                      function->parameterSizes.size()};
    for (size_t i = 0; i < function->parameterSizes.size(); ++i) {
        const auto* bytes = static_cast<const unsigned char*>(parameters[i]);
        launch.parameters.emplace_back(bytes, bytes + function->parameterSizes[i]);
    }
    d.lastLaunch = std::move(launch);
    ++d.launchCount;
    return CUDA_SUCCESS;
}

// ---- Streams and events ---------------------------------------------------------------------

DRIVER_API CUresult cuStreamCreate(CUstream* stream, unsigned int flags) {
    ENTER("cuStreamCreate");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (stream == nullptr || (flags & ~static_cast<unsigned int>(CU_STREAM_NON_BLOCKING)) != 0) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    auto created = std::make_unique<CUstream_st>();
    created->flags = flags;
    *stream = created.get();
    d.streams.emplace(created.get(), std::move(created));
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuStreamDestroy_v2(CUstream stream) {
    ENTER("cuStreamDestroy_v2");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    return d.streams.erase(stream) == 1 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_HANDLE;
}

DRIVER_API CUresult cuStreamSynchronize(CUstream stream) {
    ENTER("cuStreamSynchronize");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (!knownStream(d, stream)) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    completePendingEvents(d, stream);
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuStreamWaitEvent(CUstream stream, CUevent event, unsigned int flags) {
    ENTER("cuStreamWaitEvent");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (!knownStream(d, stream) || d.events.count(event) == 0) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    return flags == 0 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

DRIVER_API CUresult cuEventCreate(CUevent* event, unsigned int flags) {
    ENTER("cuEventCreate");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (event == nullptr) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    auto created = std::make_unique<CUevent_st>();
    created->flags = flags;
    *event = created.get();
    d.events.emplace(created.get(), std::move(created));
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuEventRecord(CUevent event, CUstream stream) {
    ENTER("cuEventRecord");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (d.events.count(event) == 0 || !knownStream(d, stream)) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    event->stream = stream;
    event->state = d.holdEvents ? CUevent_st::State::Pending : CUevent_st::State::Complete;
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuEventQuery(CUevent event) {
    ENTER("cuEventQuery");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (d.events.count(event) == 0) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    return event->state == CUevent_st::State::Pending ? CUDA_ERROR_NOT_READY : CUDA_SUCCESS;
}

DRIVER_API CUresult cuEventSynchronize(CUevent event) {
    ENTER("cuEventSynchronize");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    if (d.events.count(event) == 0) {
        return CUDA_ERROR_INVALID_HANDLE;
    }
    if (event->state == CUevent_st::State::Pending) {
        event->state = CUevent_st::State::Complete;
    }
    return CUDA_SUCCESS;
}

DRIVER_API CUresult cuEventDestroy_v2(CUevent event) {
    ENTER("cuEventDestroy_v2");
    if (CUresult r = requireContext(); r != CUDA_SUCCESS) {
        return r;
    }
    return d.events.erase(event) == 1 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_HANDLE;
}

// ---- Test controls --------------------------------------------------------------------------

STANDIN_API void standInReset() {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.clear();
    d.failures.clear();
    d.holdEvents = false;
    d.recording = true;
    d.lastLaunch.reset();
    d.launchCount = 0;
    d.lastImageLength = -1;
}

STANDIN_API void standInFailCall(const char* name, int result) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.failures[name] = static_cast<CUresult>(result);
}

STANDIN_API void standInRecordCalls(int on) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.recording = on != 0;
}

STANDIN_API size_t standInCallCount() {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.calls.size();
}

STANDIN_API const char* standInCallName(size_t index) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    return index < d.calls.size() ? d.calls[index] : nullptr;
}

STANDIN_API void standInHoldEvents(int hold) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.holdEvents = hold != 0;
}

STANDIN_API uint64_t standInLaunchCount() {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.launchCount;
}

STANDIN_API int standInLastLaunch(StandInLaunch* launch) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.lastLaunch) {
        return 0;
    }
    *launch = d.lastLaunch->summary;
    return 1;
}

STANDIN_API int64_t standInLastLaunchParameter(size_t index, void* out, size_t capacity) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.lastLaunch || index >= d.lastLaunch->parameters.size()) {
        return -1;
    }
    const std::vector<unsigned char>& bytes = d.lastLaunch->parameters[index];
    std::memcpy(out, bytes.data(), std::min(capacity, bytes.size()));
    return static_cast<int64_t>(bytes.size());
}

STANDIN_API size_t standInLiveAllocations() {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.allocations.size();
}

STANDIN_API int64_t standInLastImageLength() {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.lastImageLength;
}

STANDIN_API int64_t standInFlagsOf(uint64_t handle) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (auto stream = d.streams.find(reinterpret_cast<CUstream_st*>(handle)); stream != d.streams.end()) {
        return stream->second->flags;
    }
    if (auto event = d.events.find(reinterpret_cast<CUevent_st*>(handle)); event != d.events.end()) {
        return event->second->flags;
    }
    if (auto allocation = d.allocations.find(static_cast<CUdeviceptr>(handle)); allocation != d.allocations.end()) {
        return allocation->second.attachFlags;
    }
    return -1;
}
