// Test-only NVRTC (soname libnvrtc.so.13) that forwards to the toolkit's real NVRTC.
//
// Built three ways by NVRTC_SHIM_CUBIN: without the CUBIN entry points (0), with only
// nvrtcGetCUBINSize (1), or with both (2), so that the bridge's run-time lookup finds
// none, one or both. It counts programs created and destroyed; it can make a named call
// fail, report a chosen compile-log size or version, and tells what the last compilation
// was given and the last output size it reported. Its controls are JNI methods of the
// test class NvrtcShim.

#include <nvrtc.h>
#include <jni.h>

#include <dlfcn.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef NVRTC_SHIM_CUBIN
#define NVRTC_SHIM_CUBIN 0
#endif

#define SHIM_API extern "C" __attribute__((visibility("default")))

namespace {

struct Shim {
    std::mutex mutex;
    void* real = dlopen(NVRTC_REAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    std::map<std::string, nvrtcResult> failures;
    std::optional<size_t> logSize;
    std::optional<std::pair<int, int>> version;
    long created = 0;
    long destroyed = 0;
    // The last nvrtcCompileProgram: its option count, whether its list was null, the texts.
    int optionCount = -1;
    bool optionListNull = false;
    std::vector<std::string> options;
    long long lastOutputSize = -1;

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

// What a failed creation may leave in the caller's program variable; never a real program.
nvrtcProgram const kFailedCreation = reinterpret_cast<nvrtcProgram>(static_cast<uintptr_t>(0xdead0001));

void rememberOutputSize(nvrtcResult result, const size_t* size) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    shim().lastOutputSize = result == NVRTC_SUCCESS && size != nullptr ? static_cast<long long>(*size) : -1;
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
    {
        std::lock_guard<std::mutex> lock(shim().mutex);
        if (shim().version && shim().failures.count("nvrtcVersion") == 0) {
            *major = shim().version->first;
            *minor = shim().version->second;
            return NVRTC_SUCCESS;
        }
    }
    FORWARD(nvrtcVersion, major, minor);
}

SHIM_API nvrtcResult nvrtcCreateProgram(nvrtcProgram* program, const char* source, const char* name, int headers,
                                        const char* const* headerSources, const char* const* headerNames) {
    if (auto injected = shim().failure("nvrtcCreateProgram")) {
        *program = kFailedCreation;  // a failed creation leaves nothing the caller may destroy
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
    {
        std::lock_guard<std::mutex> lock(shim().mutex);
        shim().optionCount = count;
        shim().optionListNull = options == nullptr;
        shim().options.clear();
        for (int i = 0; options != nullptr && i < count; ++i) {
            shim().options.emplace_back(options[i]);
        }
    }
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
    if (auto injected = shim().failure("nvrtcGetPTXSize")) {
        return *injected;
    }
    const nvrtcResult result = realFunction<decltype(&nvrtcGetPTXSize)>("nvrtcGetPTXSize")(program, size);
    rememberOutputSize(result, size);
    return result;
}

SHIM_API nvrtcResult nvrtcGetPTX(nvrtcProgram program, char* ptx) {
    FORWARD(nvrtcGetPTX, program, ptx);
}

#if NVRTC_SHIM_CUBIN >= 1
SHIM_API nvrtcResult nvrtcGetCUBINSize(nvrtcProgram program, size_t* size) {
    if (auto injected = shim().failure("nvrtcGetCUBINSize")) {
        return *injected;
    }
    const nvrtcResult result = realFunction<decltype(&nvrtcGetCUBINSize)>("nvrtcGetCUBINSize")(program, size);
    rememberOutputSize(result, size);
    return result;
}
#endif

#if NVRTC_SHIM_CUBIN >= 2
SHIM_API nvrtcResult nvrtcGetCUBIN(nvrtcProgram program, char* cubin) {
    FORWARD(nvrtcGetCUBIN, program, cubin);
}
#endif

SHIM_API nvrtcResult nvrtcDestroyProgram(nvrtcProgram* program) {
    {
        std::lock_guard<std::mutex> lock(shim().mutex);
        ++shim().destroyed;
    }
    if (program != nullptr && *program == kFailedCreation) {
        *program = nullptr;
        return NVRTC_ERROR_INVALID_PROGRAM;  // counted: destroying a failed creation is the fault shown
    }
    return realFunction<decltype(&nvrtcDestroyProgram)>("nvrtcDestroyProgram")(program);
}

// ---- Controls for the Java tests (org.quenmoor.hardware.cuda.NvrtcShim) ------------------

#define CONTROL(ret, name) extern "C" JNIEXPORT ret JNICALL Java_org_quenmoor_hardware_cuda_NvrtcShim_##name

CONTROL(void, reset)(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    shim().failures.clear();
    shim().logSize.reset();
    shim().version.reset();
    shim().created = 0;
    shim().destroyed = 0;
    shim().optionCount = -1;
    shim().optionListNull = false;
    shim().options.clear();
    shim().lastOutputSize = -1;
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

CONTROL(void, reportVersion)(JNIEnv*, jclass, jint major, jint minor) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    shim().version = std::make_pair(static_cast<int>(major), static_cast<int>(minor));
}

CONTROL(jint, lastOptionCount)(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    return shim().optionCount;
}

CONTROL(jboolean, lastOptionListNull)(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    return shim().optionListNull ? JNI_TRUE : JNI_FALSE;
}

// The option texts of the last compilation, in order.
CONTROL(jobjectArray, lastOptions)(JNIEnv* env, jclass) {
    std::vector<std::string> options;
    {
        std::lock_guard<std::mutex> lock(shim().mutex);
        options = shim().options;
    }
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    jobjectArray texts = env->NewObjectArray(static_cast<jsize>(options.size()), stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    for (size_t i = 0; texts != nullptr && i < options.size(); ++i) {
        jstring text = env->NewStringUTF(options[i].c_str());
        if (text == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(texts, static_cast<jsize>(i), text);
        env->DeleteLocalRef(text);
    }
    return texts;
}

// The size the last nvrtcGetPTXSize or nvrtcGetCUBINSize reported; -1 when none did.
CONTROL(jlong, lastOutputSize)(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> lock(shim().mutex);
    return shim().lastOutputSize;
}
