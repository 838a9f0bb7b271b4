// cudabridge: the native methods of org.quenmoor.hardware.cuda.CU.
//
// Every method is one short, fixed sequence of CUDA driver or NVRTC calls.
// Driver objects cross into Java as their raw values (jlong, a device as jint);
// the bridge keeps no state, caches nothing and never owns a handle beyond a
// single call. Each failure raises exactly one exception in the VM and the
// method returns its failure value at once.

#include <cuda.h>
#include <nvrtc.h>
#include <jni.h>

#include <dlfcn.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#define CU_NATIVE(ret, name) extern "C" JNIEXPORT ret JNICALL Java_org_quenmoor_hardware_cuda_CU_##name

namespace {

constexpr const char* kExceptionClass = "org/quenmoor/hardware/HardwareException";
constexpr const char* kFallbackExceptionClass = "java/lang/RuntimeException";

void throwHardwareException(JNIEnv* env, const char* message) {
    jclass exceptionClass = env->FindClass(kExceptionClass);
    if (exceptionClass == nullptr) {
        // The failed lookup left NoClassDefFoundError pending; the caller must see
        // our message, not the lookup failure.
        env->ExceptionClear();
        exceptionClass = env->FindClass(kFallbackExceptionClass);
        if (exceptionClass == nullptr) {
            return;  // the VM's own error stays pending: still an exception, never a crash
        }
    }
    env->ThrowNew(exceptionClass, message);
    env->DeleteLocalRef(exceptionClass);
}

void throwHardwareException(JNIEnv* env, const std::string& message) {
    throwHardwareException(env, message.c_str());
}

// Out of host memory while building buffers or messages: report it as the
// bridge's exception unless one is already on its way to the caller.
void raiseOutOfHostMemory(JNIEnv* env, const char* method) {
    if (env->ExceptionCheck()) {
        return;
    }
    throwHardwareException(env, std::string(method) + " failed: out of host memory");
}

// No C++ exception may unwind into the VM: any allocation failure inside a
// method becomes the bridge's exception and the method's failure value. That
// includes a buffer the containers refuse outright (std::length_error), as for a
// nonsensical size reported by NVRTC; without it the VM would be terminated.
template <typename Result, typename Body>
Result guarded(JNIEnv* env, const char* method, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception&) {
        raiseOutOfHostMemory(env, method);
        return failure;
    }
}

template <typename Body>
void guardedVoid(JNIEnv* env, const char* method, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception&) {
        raiseOutOfHostMemory(env, method);
    }
}

bool check(JNIEnv* env, CUresult result, const char* name) {
    if (result == CUDA_SUCCESS) {
        return true;
    }
    const char* errorName = nullptr;
    const char* description = nullptr;
    cuGetErrorName(result, &errorName);
    cuGetErrorString(result, &description);
    std::string message(name);
    message += " failed: ";
    message += errorName != nullptr ? errorName : "UNKNOWN";
    message += " (";
    message += description != nullptr ? description : "no description";
    message += ")";
    throwHardwareException(env, message);
    return false;
}

// The compile log as NVRTC wrote it: empty when there was none to fetch,
// otherwise the full reported size including the terminating NUL.
using CompileLog = std::vector<char>;

bool checkNvrtc(JNIEnv* env, nvrtcResult result, const char* name, const CompileLog& log) {
    if (result == NVRTC_SUCCESS) {
        return true;
    }
    const char* errorText = nvrtcGetErrorString(result);
    std::string message(name);
    message += " failed: ";
    message += errorText != nullptr ? errorText : "";
    if (!log.empty()) {
        message += '\n';
        // Up to the terminating NUL, and never past the buffer should NVRTC have left none.
        message.append(log.data(), strnlen(log.data(), log.size()));
    }
    throwHardwareException(env, message);
    return false;
}

// Binds the caller's context on this thread; every context-taking method starts here.
bool bindContext(JNIEnv* env, jlong ctx) {
    return check(env, cuCtxSetCurrent(reinterpret_cast<CUcontext>(static_cast<intptr_t>(ctx))),
                 "cuCtxSetCurrent");
}

template <typename Handle>
jlong toJava(Handle handle) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(handle));
}

template <typename Handle>
Handle fromJava(jlong value) {
    return reinterpret_cast<Handle>(static_cast<intptr_t>(value));
}

CUdeviceptr devicePointer(jlong value) {
    return static_cast<CUdeviceptr>(value);
}

// Fills a fresh allocation with zeros; a failed fill gives the memory back so
// that the caller, who only gets 0, has nothing to leak.
jlong zeroFilled(JNIEnv* env, CUdeviceptr pointer, jlong bytes) {
    if (!check(env, cuMemsetD8_v2(pointer, 0, static_cast<size_t>(bytes)), "cuMemsetD8")) {
        cuMemFree_v2(pointer);
        return 0;
    }
    return static_cast<jlong>(pointer);
}

// Modified UTF-8 characters of a Java string, released when the holder goes.
class StringChars {
public:
    StringChars(JNIEnv* env, jstring text) : env_(env), text_(text) {
        chars_ = text != nullptr ? env->GetStringUTFChars(text, nullptr) : nullptr;
    }
    ~StringChars() { release(); }
    StringChars(const StringChars&) = delete;
    StringChars& operator=(const StringChars&) = delete;

    const char* get() const { return chars_; }
    void release() {
        if (chars_ != nullptr) {
            env_->ReleaseStringUTFChars(text_, chars_);
            chars_ = nullptr;
        }
    }

private:
    JNIEnv* env_;
    jstring text_;
    const char* chars_;
};

// An NVRTC program destroyed exactly once, whichever way compile leaves.
class Program {
public:
    Program() = default;
    ~Program() { destroy(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    nvrtcProgram* out() { return &program_; }
    nvrtcProgram get() const { return program_; }
    // A creation that failed made no program, whatever NVRTC left in the out value.
    void forget() { program_ = nullptr; }
    void destroy() {
        if (program_ != nullptr) {
            nvrtcDestroyProgram(&program_);
            program_ = nullptr;
        }
    }

private:
    nvrtcProgram program_ = nullptr;
};

using OutputSize = nvrtcResult (*)(nvrtcProgram, size_t*);
using OutputFetch = nvrtcResult (*)(nvrtcProgram, char*);

struct OutputFunctions {
    OutputSize size;
    OutputFetch fetch;
    const char* sizeName;
    const char* fetchName;
};

// PTX comes from the linked NVRTC; CUBIN output only exists in newer NVRTC
// releases, so it is found at run time in whatever NVRTC this process loaded.
bool chooseOutput(bool cubin, OutputFunctions& functions) {
    if (!cubin) {
        functions = {nvrtcGetPTXSize, nvrtcGetPTX, "nvrtcGetPTXSize", "nvrtcGetPTX"};
        return true;
    }
    void* size = dlsym(RTLD_DEFAULT, "nvrtcGetCUBINSize");
    void* fetch = dlsym(RTLD_DEFAULT, "nvrtcGetCUBIN");
    if (size == nullptr || fetch == nullptr) {
        return false;
    }
    functions = {reinterpret_cast<OutputSize>(size), reinterpret_cast<OutputFetch>(fetch),
                 "nvrtcGetCUBINSize", "nvrtcGetCUBIN"};
    return true;
}

// Copies the option texts out of the VM so that none stays pinned during compilation.
// Returns false with an exception pending when the array cannot be read.
bool collectOptions(JNIEnv* env, jobjectArray options, std::vector<std::string>& texts) {
    if (options == nullptr) {
        return true;
    }
    const jsize count = env->GetArrayLength(options);
    texts.reserve(static_cast<size_t>(count));
    for (jsize index = 0; index < count; ++index) {
        auto element = static_cast<jstring>(env->GetObjectArrayElement(options, index));
        if (env->ExceptionCheck()) {
            return false;
        }
        if (element == nullptr) {
            throwHardwareException(env, "compile requires every option to be a string");
            return false;
        }
        bool copied = false;
        {
            StringChars chars(env, element);
            if (chars.get() != nullptr) {
                texts.emplace_back(chars.get());
                copied = true;
            }
        }
        env->DeleteLocalRef(element);
        if (!copied) {
            return false;  // the VM raised its own error for the missing characters
        }
    }
    return true;
}

CompileLog fetchLog(nvrtcProgram program) {
    CompileLog log;
    size_t size = 0;
    if (nvrtcGetProgramLogSize(program, &size) == NVRTC_SUCCESS && size > 1) {
        log.assign(size, '\0');
        nvrtcGetProgramLog(program, log.data());
    }
    return log;
}

jbyteArray compileSource(JNIEnv* env, jstring source, jstring name, jobjectArray options, jboolean cubin) {
    if (source == nullptr || name == nullptr) {
        throwHardwareException(env, "compile requires a source text and a program name");
        return nullptr;
    }
    Program program;
    StringChars sourceChars(env, source);
    if (sourceChars.get() == nullptr) {
        return nullptr;
    }
    StringChars nameChars(env, name);
    if (nameChars.get() == nullptr) {
        return nullptr;
    }
    const nvrtcResult created =
        nvrtcCreateProgram(program.out(), sourceChars.get(), nameChars.get(), 0, nullptr, nullptr);
    sourceChars.release();
    nameChars.release();
    if (created != NVRTC_SUCCESS) {
        program.forget();
    }
    if (!checkNvrtc(env, created, "nvrtcCreateProgram", {})) {
        return nullptr;
    }

    std::vector<std::string> optionTexts;
    if (!collectOptions(env, options, optionTexts)) {
        return nullptr;
    }
    std::vector<const char*> optionPointers;
    optionPointers.reserve(optionTexts.size());
    for (const std::string& text : optionTexts) {
        optionPointers.push_back(text.c_str());
    }
    const nvrtcResult compiled = nvrtcCompileProgram(
        program.get(), static_cast<int>(optionPointers.size()),
        optionPointers.empty() ? nullptr : optionPointers.data());
    const CompileLog log = fetchLog(program.get());
    if (!checkNvrtc(env, compiled, "nvrtcCompileProgram", log)) {
        return nullptr;
    }

    OutputFunctions output{};
    if (!chooseOutput(cubin == JNI_TRUE, output)) {
        program.destroy();
        throwHardwareException(env, "nvrtcGetCUBIN is unavailable in this NVRTC");
        return nullptr;
    }
    size_t size = 0;
    if (!checkNvrtc(env, output.size(program.get(), &size), output.sizeName, log)) {
        return nullptr;
    }
    std::vector<char> image(size, '\0');
    const nvrtcResult fetched = output.fetch(program.get(), image.empty() ? nullptr : image.data());
    program.destroy();
    if (!checkNvrtc(env, fetched, output.fetchName, log)) {
        return nullptr;
    }

    if (size > static_cast<size_t>(INT32_MAX)) {
        throwHardwareException(env, "compile output is too large for a Java byte array");
        return nullptr;
    }
    const auto length = static_cast<jsize>(size);
    jbyteArray result = env->NewByteArray(length);
    if (result == nullptr) {
        return nullptr;  // the VM's OutOfMemoryError is pending
    }
    if (length > 0) {
        env->SetByteArrayRegion(result, 0, length, reinterpret_cast<const jbyte*>(image.data()));
    }
    return result;
}

jlong loadModule(JNIEnv* env, jlong ctx, jbyteArray image) {
    if (!bindContext(env, ctx)) {
        return 0;
    }
    if (image == nullptr) {
        throwHardwareException(env, "moduleLoadData requires an image");
        return 0;
    }
    const jsize length = env->GetArrayLength(image);
    // One byte more than the image, left 0, so that PTX text always ends in a NUL.
    std::vector<jbyte> buffer(static_cast<size_t>(length) + 1, 0);
    if (length > 0) {
        env->GetByteArrayRegion(image, 0, length, buffer.data());
        if (env->ExceptionCheck()) {
            return 0;
        }
    }
    CUmodule module = nullptr;
    if (!check(env, cuModuleLoadData(&module, buffer.data()), "cuModuleLoadData")) {
        return 0;
    }
    return toJava(module);
}

void launch(JNIEnv* env, jlong ctx, jlong function, jint gridX, jint blockX, jlongArray pointers,
            jintArray offsets, jintArray sizes, jlong firstTrailing, jlong secondTrailing, jlong stream) {
    if (!bindContext(env, ctx)) {
        return;
    }
    if (pointers == nullptr || offsets == nullptr || sizes == nullptr) {
        throwHardwareException(env, "launchKernel requires pointer, offset and size arrays");
        return;
    }
    const jsize n = env->GetArrayLength(pointers);
    if (env->GetArrayLength(offsets) != n || env->GetArrayLength(sizes) != n) {
        throwHardwareException(env, "launchKernel requires one offset and one size per pointer");
        return;
    }
    const auto count = static_cast<size_t>(n);
    std::vector<jlong> staging(count, 0);
    std::vector<CUdeviceptr> devicePointers(count, 0);
    std::vector<int32_t> offsetValues(count, 0);
    std::vector<int32_t> sizeValues(count, 0);
    if (n > 0) {
        env->GetLongArrayRegion(pointers, 0, n, staging.data());
        env->GetIntArrayRegion(offsets, 0, n, reinterpret_cast<jint*>(offsetValues.data()));
        env->GetIntArrayRegion(sizes, 0, n, reinterpret_cast<jint*>(sizeValues.data()));
        if (env->ExceptionCheck()) {
            return;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        devicePointers[i] = static_cast<CUdeviceptr>(staging[i]);
    }
    int64_t trailing[2] = {firstTrailing, secondTrailing};

    std::vector<void*> parameters;
    parameters.reserve(3 * count + 2);
    for (size_t i = 0; i < count; ++i) {
        parameters.push_back(&devicePointers[i]);
    }
    for (size_t i = 0; i < count; ++i) {
        parameters.push_back(&offsetValues[i]);
    }
    for (size_t i = 0; i < count; ++i) {
        parameters.push_back(&sizeValues[i]);
    }
    parameters.push_back(&trailing[0]);
    parameters.push_back(&trailing[1]);

    check(env,
          cuLaunchKernel(fromJava<CUfunction>(function), static_cast<unsigned int>(gridX), 1, 1,
                         static_cast<unsigned int>(blockX), 1, 1, 0, fromJava<CUstream>(stream),
                         parameters.data(), nullptr),
          "cuLaunchKernel");
}

constexpr jboolean kFalse = JNI_FALSE;

jboolean flag(bool value) {
    return value ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

// ---- Driver and devices -------------------------------------------------------------------

CU_NATIVE(jboolean, init)(JNIEnv* env, jclass) {
    return guarded(env, "init", kFalse, [&] { return flag(check(env, cuInit(0), "cuInit")); });
}

CU_NATIVE(jint, driverVersion)(JNIEnv* env, jclass) {
    int version = 0;
    return guarded(env, "driverVersion", jint{0}, [&] {
        check(env, cuDriverGetVersion(&version), "cuDriverGetVersion");
        return static_cast<jint>(version);
    });
}

CU_NATIVE(jint, nvrtcVersion)(JNIEnv* env, jclass) {
    return guarded(env, "nvrtcVersion", jint{0}, [&]() -> jint {
        int major = 0;
        int minor = 0;
        if (!checkNvrtc(env, ::nvrtcVersion(&major, &minor), "nvrtcVersion", {})) {
            return 0;
        }
        return major * 1000 + minor * 10;
    });
}

CU_NATIVE(jint, deviceCount)(JNIEnv* env, jclass) {
    int count = 0;
    return guarded(env, "deviceCount", jint{0}, [&] {
        check(env, cuDeviceGetCount(&count), "cuDeviceGetCount");
        return static_cast<jint>(count);
    });
}

CU_NATIVE(jint, device)(JNIEnv* env, jclass, jint ordinal) {
    CUdevice device = 0;
    return guarded(env, "device", jint{0}, [&] {
        check(env, cuDeviceGet(&device, ordinal), "cuDeviceGet");
        return static_cast<jint>(device);
    });
}

CU_NATIVE(jstring, deviceName)(JNIEnv* env, jclass, jint device) {
    return guarded(env, "deviceName", jstring{nullptr}, [&]() -> jstring {
        char name[256] = {};
        if (!check(env, cuDeviceGetName(name, sizeof name, device), "cuDeviceGetName")) {
            return nullptr;
        }
        name[sizeof name - 1] = '\0';  // never read past the buffer, whatever the driver wrote
        return env->NewStringUTF(name);
    });
}

CU_NATIVE(jint, deviceAttribute)(JNIEnv* env, jclass, jint device, jint attribute) {
    int value = 0;
    return guarded(env, "deviceAttribute", jint{0}, [&] {
        check(env, cuDeviceGetAttribute(&value, static_cast<CUdevice_attribute>(attribute), device),
              "cuDeviceGetAttribute");
        return static_cast<jint>(value);
    });
}

CU_NATIVE(jlong, totalMemory)(JNIEnv* env, jclass, jint device) {
    size_t bytes = 0;
    return guarded(env, "totalMemory", jlong{0}, [&] {
        check(env, cuDeviceTotalMem_v2(&bytes, device), "cuDeviceTotalMem");
        return static_cast<jlong>(bytes);
    });
}

// ---- Primary contexts and synchronisation ---------------------------------------------------

CU_NATIVE(jlong, primaryContextRetain)(JNIEnv* env, jclass, jint device) {
    return guarded(env, "primaryContextRetain", jlong{0}, [&]() -> jlong {
        CUcontext context = nullptr;
        if (!check(env, cuDevicePrimaryCtxRetain(&context, device), "cuDevicePrimaryCtxRetain")) {
            return 0;
        }
        return toJava(context);
    });
}

CU_NATIVE(jboolean, primaryContextRelease)(JNIEnv* env, jclass, jint device) {
    return guarded(env, "primaryContextRelease", kFalse, [&] {
        return flag(check(env, cuDevicePrimaryCtxRelease_v2(device), "cuDevicePrimaryCtxRelease"));
    });
}

CU_NATIVE(jboolean, synchronize)(JNIEnv* env, jclass, jlong ctx) {
    return guarded(env, "synchronize", kFalse, [&] {
        return flag(bindContext(env, ctx) && check(env, cuCtxSynchronize(), "cuCtxSynchronize"));
    });
}

// ---- Memory ---------------------------------------------------------------------------------

CU_NATIVE(jlong, memAlloc)(JNIEnv* env, jclass, jlong ctx, jlong bytes) {
    return guarded(env, "memAlloc", jlong{0}, [&]() -> jlong {
        if (!bindContext(env, ctx)) {
            return 0;
        }
        CUdeviceptr pointer = 0;
        if (!check(env, cuMemAlloc_v2(&pointer, static_cast<size_t>(bytes)), "cuMemAlloc")) {
            return 0;
        }
        return zeroFilled(env, pointer, bytes);
    });
}

CU_NATIVE(jlong, memAllocManaged)(JNIEnv* env, jclass, jlong ctx, jlong bytes) {
    return guarded(env, "memAllocManaged", jlong{0}, [&]() -> jlong {
        if (!bindContext(env, ctx)) {
            return 0;
        }
        CUdeviceptr pointer = 0;
        if (!check(env, cuMemAllocManaged(&pointer, static_cast<size_t>(bytes), CU_MEM_ATTACH_GLOBAL),
                   "cuMemAllocManaged")) {
            return 0;
        }
        return zeroFilled(env, pointer, bytes);
    });
}

CU_NATIVE(jboolean, memFree)(JNIEnv* env, jclass, jlong ctx, jlong pointer) {
    return guarded(env, "memFree", kFalse, [&] {
        return flag(bindContext(env, ctx) && check(env, cuMemFree_v2(devicePointer(pointer)), "cuMemFree"));
    });
}

CU_NATIVE(void, memcpyHtoD)(JNIEnv* env, jclass, jlong ctx, jlong dst, jlong dstOffset, jobject src,
                            jlong srcOffset, jlong bytes) {
    guardedVoid(env, "memcpyHtoD", [&] {
        if (!bindContext(env, ctx)) {
            return;
        }
        // A null buffer is no more direct than a heap one; asking the VM for its address would crash it.
        void* host = src != nullptr ? env->GetDirectBufferAddress(src) : nullptr;
        if (host == nullptr) {
            throwHardwareException(env, "memcpyHtoD requires a direct buffer");
            return;
        }
        check(env,
              cuMemcpyHtoD_v2(devicePointer(dst) + static_cast<CUdeviceptr>(dstOffset),
                              static_cast<const char*>(host) + srcOffset, static_cast<size_t>(bytes)),
              "cuMemcpyHtoD");
    });
}

CU_NATIVE(void, memcpyDtoH)(JNIEnv* env, jclass, jlong ctx, jobject dst, jlong dstOffset, jlong src,
                            jlong srcOffset, jlong bytes) {
    guardedVoid(env, "memcpyDtoH", [&] {
        if (!bindContext(env, ctx)) {
            return;
        }
        void* host = dst != nullptr ? env->GetDirectBufferAddress(dst) : nullptr;
        if (host == nullptr) {
            throwHardwareException(env, "memcpyDtoH requires a direct buffer");
            return;
        }
        check(env,
              cuMemcpyDtoH_v2(static_cast<char*>(host) + dstOffset,
                              devicePointer(src) + static_cast<CUdeviceptr>(srcOffset), static_cast<size_t>(bytes)),
              "cuMemcpyDtoH");
    });
}

CU_NATIVE(jboolean, memcpyDtoD)(JNIEnv* env, jclass, jlong ctx, jlong dst, jlong src, jlong bytes) {
    return guarded(env, "memcpyDtoD", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env, cuMemcpyDtoD_v2(devicePointer(dst), devicePointer(src), static_cast<size_t>(bytes)),
                          "cuMemcpyDtoD"));
    });
}

CU_NATIVE(jboolean, memcpyDtoDAsync)(JNIEnv* env, jclass, jlong ctx, jlong dst, jlong src, jlong bytes,
                                     jlong stream) {
    return guarded(env, "memcpyDtoDAsync", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env,
                          cuMemcpyDtoDAsync_v2(devicePointer(dst), devicePointer(src), static_cast<size_t>(bytes),
                                               fromJava<CUstream>(stream)),
                          "cuMemcpyDtoDAsync"));
    });
}

CU_NATIVE(jobject, hostView)(JNIEnv* env, jclass, jlong address, jlong capacity) {
    return guarded(env, "hostView", jobject{nullptr}, [&] {
        jobject view = env->NewDirectByteBuffer(fromJava<void*>(address), capacity);
        if (view == nullptr && !env->ExceptionCheck()) {
            throwHardwareException(env, "NewDirectByteBuffer is not supported by this JVM");
        }
        return view;
    });
}

// ---- Runtime compilation, modules and launch ------------------------------------------------

CU_NATIVE(jbyteArray, compile)(JNIEnv* env, jclass, jstring source, jstring name, jobjectArray options,
                               jboolean cubin) {
    return guarded(env, "compile", jbyteArray{nullptr},
                   [&] { return compileSource(env, source, name, options, cubin); });
}

CU_NATIVE(jlong, moduleLoadData)(JNIEnv* env, jclass, jlong ctx, jbyteArray image) {
    return guarded(env, "moduleLoadData", jlong{0}, [&] { return loadModule(env, ctx, image); });
}

CU_NATIVE(jboolean, moduleUnload)(JNIEnv* env, jclass, jlong ctx, jlong module) {
    return guarded(env, "moduleUnload", kFalse, [&] {
        return flag(bindContext(env, ctx) && check(env, cuModuleUnload(fromJava<CUmodule>(module)), "cuModuleUnload"));
    });
}

CU_NATIVE(jlong, moduleGetFunction)(JNIEnv* env, jclass, jlong ctx, jlong module, jstring name) {
    return guarded(env, "moduleGetFunction", jlong{0}, [&]() -> jlong {
        if (!bindContext(env, ctx)) {
            return 0;
        }
        if (name == nullptr) {
            throwHardwareException(env, "moduleGetFunction requires a function name");
            return 0;
        }
        CUfunction function = nullptr;
        CUresult result = CUDA_SUCCESS;
        {
            StringChars chars(env, name);
            if (chars.get() == nullptr) {
                return 0;
            }
            result = cuModuleGetFunction(&function, fromJava<CUmodule>(module), chars.get());
        }
        if (!check(env, result, "cuModuleGetFunction")) {
            return 0;
        }
        return toJava(function);
    });
}

CU_NATIVE(jint, functionAttribute)(JNIEnv* env, jclass, jlong ctx, jlong function, jint attribute) {
    return guarded(env, "functionAttribute", jint{0}, [&]() -> jint {
        if (!bindContext(env, ctx)) {
            return 0;
        }
        int value = 0;
        check(env,
              cuFuncGetAttribute(&value, static_cast<CUfunction_attribute>(attribute), fromJava<CUfunction>(function)),
              "cuFuncGetAttribute");
        return value;
    });
}

CU_NATIVE(void, launchKernel)(JNIEnv* env, jclass, jlong ctx, jlong function, jint gridX, jint blockX,
                              jlongArray pointers, jintArray offsets, jintArray sizes, jlong firstTrailing,
                              jlong secondTrailing, jlong stream) {
    guardedVoid(env, "launchKernel", [&] {
        launch(env, ctx, function, gridX, blockX, pointers, offsets, sizes, firstTrailing, secondTrailing, stream);
    });
}

// ---- Streams and events ---------------------------------------------------------------------

CU_NATIVE(jlong, streamCreate)(JNIEnv* env, jclass, jlong ctx) {
    return guarded(env, "streamCreate", jlong{0}, [&]() -> jlong {
        if (!bindContext(env, ctx)) {
            return 0;
        }
        CUstream stream = nullptr;
        if (!check(env, cuStreamCreate(&stream, CU_STREAM_NON_BLOCKING), "cuStreamCreate")) {
            return 0;
        }
        return toJava(stream);
    });
}

CU_NATIVE(jboolean, streamDestroy)(JNIEnv* env, jclass, jlong ctx, jlong stream) {
    return guarded(env, "streamDestroy", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env, cuStreamDestroy_v2(fromJava<CUstream>(stream)), "cuStreamDestroy"));
    });
}

CU_NATIVE(jboolean, streamSynchronize)(JNIEnv* env, jclass, jlong ctx, jlong stream) {
    return guarded(env, "streamSynchronize", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env, cuStreamSynchronize(fromJava<CUstream>(stream)), "cuStreamSynchronize"));
    });
}

CU_NATIVE(jboolean, streamWaitEvent)(JNIEnv* env, jclass, jlong ctx, jlong stream, jlong event) {
    return guarded(env, "streamWaitEvent", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env, cuStreamWaitEvent(fromJava<CUstream>(stream), fromJava<CUevent>(event), 0),
                          "cuStreamWaitEvent"));
    });
}

CU_NATIVE(jlong, eventCreate)(JNIEnv* env, jclass, jlong ctx) {
    return guarded(env, "eventCreate", jlong{0}, [&]() -> jlong {
        if (!bindContext(env, ctx)) {
            return 0;
        }
        CUevent event = nullptr;
        if (!check(env, cuEventCreate(&event, CU_EVENT_DISABLE_TIMING), "cuEventCreate")) {
            return 0;
        }
        return toJava(event);
    });
}

CU_NATIVE(jboolean, eventRecord)(JNIEnv* env, jclass, jlong ctx, jlong event, jlong stream) {
    return guarded(env, "eventRecord", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env, cuEventRecord(fromJava<CUevent>(event), fromJava<CUstream>(stream)), "cuEventRecord"));
    });
}

CU_NATIVE(jboolean, eventQuery)(JNIEnv* env, jclass, jlong ctx, jlong event) {
    return guarded(env, "eventQuery", kFalse, [&] {
        if (!bindContext(env, ctx)) {
            return kFalse;
        }
        const CUresult result = cuEventQuery(fromJava<CUevent>(event));
        if (result == CUDA_ERROR_NOT_READY) {
            return kFalse;  // still running: an answer, not a failure
        }
        return flag(check(env, result, "cuEventQuery"));
    });
}

CU_NATIVE(jboolean, eventSynchronize)(JNIEnv* env, jclass, jlong ctx, jlong event) {
    return guarded(env, "eventSynchronize", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env, cuEventSynchronize(fromJava<CUevent>(event)), "cuEventSynchronize"));
    });
}

CU_NATIVE(jboolean, eventDestroy)(JNIEnv* env, jclass, jlong ctx, jlong event) {
    return guarded(env, "eventDestroy", kFalse, [&] {
        return flag(bindContext(env, ctx) &&
                    check(env, cuEventDestroy_v2(fromJava<CUevent>(event)), "cuEventDestroy"));
    });
}
