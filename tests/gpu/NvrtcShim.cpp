// Test-only NVRTC (soname libnvrtc.so.13) that forwards to the toolkit's real NVRTC.
//
// It leaves out the CUBIN entry points, so that the bridge's run-time lookup finds none;
// it counts programs created and destroyed; it can make a named call fail and can report
// a chosen compile-log size. Its controls are JNI methods of the test class NvrtcShim.

#include <nvrtc.h>
#include <jni.h>

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

#define SHIM_API extern "C" __attribute__((visibility("default")))

namespace {

struct Shim {
    std::mutex mutex;
    void* real = dlopen(NVRTC_REAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    std::map<std::string, nvrtcResult> failures;
    std::optional<size_t> logSize;
    long created = 0;
    long destroyed = 0;

    std::optional<nvrtcResult> failure(const char* name) {
        std::lock_guard<std::mutex> lock(mutex);
        auto rule = failures.find(name);
        return rule == failures.end() ? std::nullopt : std::optional<nvrtcResult>(rule->second);
    }
};

Shim& shim() {
    static Shim instance;
    return instance;
}

template <typename Function>
Function realFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(shim().real, name));
}

}  // namespace

#define FORWARD(name, ...)                                          \
    if (auto injected = shim().failure(#name)) {                    \
        return *injected;                                           \
    }                                                               \
    return realFunction<decltype(&name)>(#name)(__VA_ARGS__)

SHIM_API const char* nvrtcGetErrorString(nvrtcResult result) {
    return realFunction<decltype(&nvrtcGetErrorString)>("nvrtcGetErrorString")(result);
}

SHIM_API nvrtcResult nvrtcVersion(int* major, int* minor) {
    FORWARD(nvrtcVersion, major, minor);
}

SHIM_API nvrtcResult nvrtcCreateProgram(nvrtcProgram* program, const char* source, const char* name, int headers,
                                        const char* const* headerSources, const char* const* headerNames) {
    if (auto injected = shim().failure("nvrtcCreateProgram")) {
        return *injected;
    }
    const nvrtcResult result = realFunction<decltype(&nvrtcCreateProgram)>("nvrtcCreateProgram")(
        program, source, name, headers, headerSources, headerNames);
    if (result == NVRTC_SUCCESS) {
        std::lock_guard<std::mutex> lock(shim().mutex);
        ++shim().created;
    }
    return result;
}

SHIM_API nvrtcResult nvrtcCompileProgram(nvrtcProgram program, int count, const char* const* options) {
    FORWARD(nvrtcCompileProgram, program, count, options);
}

SHIM_API nvrtcResult nvrtcGetProgramLogSize(nvrtcProgram program, size_t* size) {
    if (auto injected = shim().failure("nvrtcGetProgramLogSize")) {
        return *injected;
    }
    const nvrtcResult result =
        realFunction<decltype(&nvrtcGetProgramLogSize)>("nvrtcGetProgramLogSize")(program, size);
    std::lock_guard<std::mutex> lock(shim().mutex);
    if (result == NVRTC_SUCCESS && shim().logSize) {
        *size = *shim().logSize;
    }
    return result;
}

SHIM_API nvrtcResult nvrtcGetProgramLog(nvrtcProgram program, char* log) {
    FORWARD(nvrtcGetProgramLog, program, log);
}

SHIM_API nvrtcResult nvrtcGetPTXSize(nvrtcProgram program, size_t* size) {
    FORWARD(nvrtcGetPTXSize, program, size);
}

SHIM_API nvrtcResult nvrtcGetPTX(nvrtcProgram program, char* ptx) {
    FORWARD(nvrtcGetPTX, program, ptx);
}

SHIM_API nvrtcResult nvrtcDestroyProgram(nvrtcProgram* program) {
    {
        std::lock_guard<std::mutex> lock(shim().mutex);
        ++shim().destroyed;
    }
    return realFunction<decltype(&nvrtcDestroyProgram)>("nvrtcDestroyProgram")(program);
}

// ---- Controls for the Java tests (org.quenmoor.hardware.cuda.NvrtcShim) ------------------

#define CONTROL(ret, name) extern "C" JNIEXPORT ret JNICALL Java_org_quenmoor_hardware_cuda_NvrtcShim_##name

CONTROL(void, reset)(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    shim().failures.clear();
    shim().logSize.reset();
    shim().created = 0;
    shim().destroyed = 0;
}

CONTROL(void, failCall)(JNIEnv* env, jclass, jstring name, jint result) {
    const char* chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shim().mutex);
        shim().failures[chars] = static_cast<nvrtcResult>(result);
    }
    env->ReleaseStringUTFChars(name, chars);
}

CONTROL(void, reportLogSize)(JNIEnv*, jclass, jlong size) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    shim().logSize = static_cast<size_t>(size);
}

CONTROL(jlong, created)(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    return shim().created;
}

CONTROL(jlong, destroyed)(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    return shim().destroyed;
}
