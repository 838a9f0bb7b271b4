#include "SharedMemoryBridge.h"

#include <Platform/Foundation.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes the descriptor when the mapping step is done with it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// Largest capacity whose byte length is representable both as a 64-bit count
// and as a file length.
constexpr uint64_t kMaxCapacity = uint64_t(std::numeric_limits<off_t>::max()) / sizeof(float);

}  // namespace

SharedMemoryBridge::SharedMemoryBridge(std::string path, void* mapping, uint64_t bytes)
    : buffer_(static_cast<float*>(mapping)), bufferSize_(bytes / sizeof(float)), path_(std::move(path)),
      mappedBytes_(bytes) {}

SharedMemoryBridge::~SharedMemoryBridge() { unmap(); }

std::shared_ptr<SharedMemoryBridge> SharedMemoryBridge::initWithPath(const std::string& path, uint64_t capacity) {
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        NSLog("[SharedMemoryBridge] Failed to create file: %s", std::strerror(errno));
        return nullptr;
    }
    // A capacity whose byte length does not fit a file length would otherwise
    // wrap to a small mapping that the ring still believes to be huge.
    if (capacity > kMaxCapacity) {
        NSLog("[SharedMemoryBridge] Failed to size file: %s", std::strerror(EFBIG));
        return nullptr;
    }
    const uint64_t bytes = capacity * sizeof(float);
    if (::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0) {
        NSLog("[SharedMemoryBridge] Failed to size file: %s", std::strerror(errno));
        return nullptr;
    }
    void* mapping = mapFd(fd.get(), bytes);
    if (!mapping) return nullptr;
    return std::make_shared<SharedMemoryBridge>(path, mapping, bytes);
}

std::shared_ptr<SharedMemoryBridge> SharedMemoryBridge::initWithExistingPath(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.valid()) {
        NSLog("[SharedMemoryBridge] Failed to open %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        NSLog("[SharedMemoryBridge] Failed to stat %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    const uint64_t bytes = st.st_size > 0 ? uint64_t(st.st_size) : 0;
    void* mapping = mapFd(fd.get(), bytes);
    if (!mapping) return nullptr;
    return std::make_shared<SharedMemoryBridge>(path, mapping, bytes);
}

void* SharedMemoryBridge::mapFd(int fd, uint64_t size) {
    void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        NSLog("[SharedMemoryBridge] mmap failed: %s", std::strerror(errno));
        return nullptr;
    }
    if (reinterpret_cast<uintptr_t>(mapping) % alignof(float) != 0)
        NSLog("[SharedMemoryBridge] Warning: pointer not aligned to 4 bytes");
    return mapping;
}

void SharedMemoryBridge::unmap() {
    if (!buffer_) return;
    ::munmap(buffer_, mappedBytes_);
    mappedBytes_ = 0;
    buffer_ = nullptr;
    bufferSize_ = 0;
    NSLog("[SharedMemoryBridge] Unmapped %s", path_.c_str());
}
