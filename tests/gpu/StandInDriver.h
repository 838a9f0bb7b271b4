// Controls of the CPU-backed stand-in CUDA driver (libcuda.so.1 of the test tree).
//
// Tests use them to make named driver calls fail, to read back the calls the
// bridge made, and to look at what the driver was asked to do.
#pragma once

#include <cstddef>
#include <cstdint>

#define STANDIN_API extern "C" __attribute__((visibility("default")))

struct StandInLaunch {
    uint64_t function;
    uint32_t grid[3];
    uint32_t block[3];
    uint32_t sharedMemoryBytes;
    uint64_t stream;
    uint64_t parameterCount;  // as the kernel declares them
};

// Forgets recorded calls, launches, failure rules and the event hold; objects stay.
STANDIN_API void standInReset();
// From now on the entry point `name` (e.g. "cuMemsetD8_v2") returns `result`, doing nothing.
STANDIN_API void standInFailCall(const char* name, int result);
STANDIN_API void standInRecordCalls(int on);
STANDIN_API size_t standInCallCount();
STANDIN_API const char* standInCallName(size_t index);
// While held, recorded events stay "not ready" until something synchronises them.
STANDIN_API void standInHoldEvents(int hold);
STANDIN_API uint64_t standInLaunchCount();
// Returns 0 when nothing was launched since the last reset.
STANDIN_API int standInLastLaunch(StandInLaunch* launch);
// Copies parameter `index` of the last launch; returns its size, or -1 without one.
STANDIN_API int64_t standInLastLaunchParameter(size_t index, void* out, size_t capacity);
STANDIN_API size_t standInLiveAllocations();
// Bytes the driver read of the last module image (PTX: up to its NUL).
STANDIN_API int64_t standInLastImageLength();
// Creation flags of a stream or event, attach flags of managed memory; -1 for anything else.
STANDIN_API int64_t standInFlagsOf(uint64_t handle);
