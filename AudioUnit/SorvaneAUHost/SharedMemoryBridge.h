// One memory-mapped file shared with the application: the ring of a stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SharedMemoryBridge {
public:
    // Creates (or truncates) the file, sizes it to capacity floats of zeros and
    // maps it. Nothing on failure (logged).
    static std::shared_ptr<SharedMemoryBridge> initWithPath(const std::string& path, uint64_t capacity);
    // Maps an existing file with its size and contents as they are. Nothing on
    // failure, an empty file included (logged).
    static std::shared_ptr<SharedMemoryBridge> initWithExistingPath(const std::string& path);

    // Maps `size` bytes of the descriptor shared and read-write from offset 0;
    // null on failure (logged).
    static void* mapFd(int fd, uint64_t size);

    ~SharedMemoryBridge();
    SharedMemoryBridge(const SharedMemoryBridge&) = delete;
    SharedMemoryBridge& operator=(const SharedMemoryBridge&) = delete;

    // Releases the mapping; does nothing when not mapped.
    void unmap();

    float* buffer() const { return buffer_; }
    // Length of the mapping in floats.
    uint64_t bufferSize() const { return bufferSize_; }
    const std::string& path() const { return path_; }
    uint64_t mappedBytes() const { return mappedBytes_; }

    SharedMemoryBridge(std::string path, void* mapping, uint64_t bytes);

private:
    float* buffer_;
    uint64_t bufferSize_;
    std::string path_;
    uint64_t mappedBytes_;
};
using SharedMemoryBridgePtr = std::shared_ptr<SharedMemoryBridge>;
