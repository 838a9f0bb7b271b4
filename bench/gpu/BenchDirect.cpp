// The baseline of the GPU bridge benchmark: the same driver and NVRTC calls that the
// bridge makes, called straight from C++ in the VM's own process, timed in C++.

#include <cuda.h>
#include <jni.h>
#include <nvrtc.h>

#include <chrono>
#include <cstdint>
#include <vector>

#define DIRECT(ret, name) extern "C" JNIEXPORT ret JNICALL Java_org_quenmoor_hardware_cuda_BridgeBenchmark_##name

namespace {

using Clock = std::chrono::steady_clock;

jlong elapsedSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

CUcontext context(jlong ctx) {
    return reinterpret_cast<CUcontext>(static_cast<intptr_t>(ctx));
}

}  // namespace

// Each returns the nanoseconds that `iterations` repetitions took; a failing call ends with -1.
DIRECT(jlong, directMemcpyHtoD)(JNIEnv* env, jclass, jlong ctx, jlong dst, jobject src, jint bytes, jint iterations) {
    const void* host = env->GetDirectBufferAddress(src);
    const auto start = Clock::now();
    for (jint i = 0; i < iterations; ++i) {
        if (cuCtxSetCurrent(context(ctx)) != CUDA_SUCCESS ||
            cuMemcpyHtoD_v2(static_cast<CUdeviceptr>(dst), host, static_cast<size_t>(bytes)) != CUDA_SUCCESS) {
            return -1;
        }
    }
    return elapsedSince(start);
}

DIRECT(jlong, directLaunch)(JNIEnv* env, jclass, jlong ctx, jlong function, jlongArray pointers, jint iterations) {
    const jsize n = env->GetArrayLength(pointers);
    std::vector<CUdeviceptr> devicePointers(static_cast<size_t>(n));
    env->GetLongArrayRegion(pointers, 0, n, reinterpret_cast<jlong*>(devicePointers.data()));
    std::vector<int32_t> offsets(static_cast<size_t>(n), 0);
    std::vector<int32_t> sizes(static_cast<size_t>(n), 256);
    int64_t trailing[2] = {1, 2};
    std::vector<void*> parameters;
    for (auto& pointer : devicePointers) parameters.push_back(&pointer);
    for (auto& offset : offsets) parameters.push_back(&offset);
    for (auto& size : sizes) parameters.push_back(&size);
    parameters.push_back(&trailing[0]);
    parameters.push_back(&trailing[1]);
    auto kernel = reinterpret_cast<CUfunction>(static_cast<intptr_t>(function));
    const auto start = Clock::now();
    for (jint i = 0; i < iterations; ++i) {
        if (cuCtxSetCurrent(context(ctx)) != CUDA_SUCCESS ||
            cuLaunchKernel(kernel, 4, 1, 1, 256, 1, 1, 0, nullptr, parameters.data(), nullptr) != CUDA_SUCCESS) {
            return -1;
        }
    }
    return elapsedSince(start);
}

DIRECT(jlong, directEventQuery)(JNIEnv*, jclass, jlong ctx, jlong event, jint iterations) {
    auto handle = reinterpret_cast<CUevent>(static_cast<intptr_t>(event));
    const auto start = Clock::now();
    for (jint i = 0; i < iterations; ++i) {
        if (cuCtxSetCurrent(context(ctx)) != CUDA_SUCCESS || cuEventQuery(handle) != CUDA_SUCCESS) {
            return -1;
        }
    }
    return elapsedSince(start);
}

// One PTX compilation with the steps the bridge takes: create, compile, log, size, fetch, destroy.
DIRECT(jlong, directCompile)(JNIEnv* env, jclass, jstring source, jstring name) {
    const char* sourceChars = env->GetStringUTFChars(source, nullptr);
    const char* nameChars = env->GetStringUTFChars(name, nullptr);
    const auto start = Clock::now();
    nvrtcProgram program = nullptr;
    bool ok = nvrtcCreateProgram(&program, sourceChars, nameChars, 0, nullptr, nullptr) == NVRTC_SUCCESS &&
              nvrtcCompileProgram(program, 0, nullptr) == NVRTC_SUCCESS;
    size_t logSize = 0;
    if (ok && nvrtcGetProgramLogSize(program, &logSize) == NVRTC_SUCCESS && logSize > 1) {
        std::vector<char> log(logSize);
        nvrtcGetProgramLog(program, log.data());
    }
    size_t size = 0;
    ok = ok && nvrtcGetPTXSize(program, &size) == NVRTC_SUCCESS;
    std::vector<char> ptx(size);
    ok = ok && nvrtcGetPTX(program, ptx.data()) == NVRTC_SUCCESS;
    if (program != nullptr) {
        nvrtcDestroyProgram(&program);
    }
    const jlong elapsed = elapsedSince(start);
    env->ReleaseStringUTFChars(name, nameChars);
    env->ReleaseStringUTFChars(source, sourceChars);
    return ok ? elapsed : -1;
}
