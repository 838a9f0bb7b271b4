// Test-only JNI helper: the stand-in driver's controls for the Java tests
// (class org.quenmoor.hardware.cuda.StandInDriver), plus NVRTC's own version
// numbers so that the bridge's version arithmetic can be checked.

#include "StandInDriver.h"

#include <jni.h>
#include <nvrtc.h>

#include <vector>

#define HELPER(ret, name) extern "C" JNIEXPORT ret JNICALL Java_org_quenmoor_hardware_cuda_StandInDriver_##name

HELPER(void, reset)(JNIEnv*, jclass) {
    standInReset();
}

HELPER(void, failCall)(JNIEnv* env, jclass, jstring name, jint result) {
    const char* chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr) {
        return;
    }
    standInFailCall(chars, result);
    env->ReleaseStringUTFChars(name, chars);
}

HELPER(void, recordCalls)(JNIEnv*, jclass, jboolean on) {
    standInRecordCalls(on == JNI_TRUE);
}

HELPER(jobjectArray, calls)(JNIEnv* env, jclass) {
    const size_t count = standInCallCount();
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    jobjectArray names = env->NewObjectArray(static_cast<jsize>(count), stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (names == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        jstring name = env->NewStringUTF(standInCallName(i));
        if (name == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(names, static_cast<jsize>(i), name);
        env->DeleteLocalRef(name);
    }
    return names;
}

HELPER(void, holdEvents)(JNIEnv*, jclass, jboolean hold) {
    standInHoldEvents(hold == JNI_TRUE);
}

HELPER(jlong, launchCount)(JNIEnv*, jclass) {
    return static_cast<jlong>(standInLaunchCount());
}

// {function, gridX, gridY, gridZ, blockX, blockY, blockZ, shared memory, stream, parameter count},
// or null when nothing was launched.
HELPER(jlongArray, lastLaunch)(JNIEnv* env, jclass) {
    StandInLaunch launch{};
    if (standInLastLaunch(&launch) == 0) {
        return nullptr;
    }
    const jlong values[] = {static_cast<jlong>(launch.function),
                            launch.grid[0],
                            launch.grid[1],
                            launch.grid[2],
                            launch.block[0],
                            launch.block[1],
                            launch.block[2],
                            launch.sharedMemoryBytes,
                            static_cast<jlong>(launch.stream),
                            static_cast<jlong>(launch.parameterCount)};
    const jsize length = sizeof values / sizeof values[0];
    jlongArray result = env->NewLongArray(length);
    if (result != nullptr) {
        env->SetLongArrayRegion(result, 0, length, values);
    }
    return result;
}

HELPER(jbyteArray, lastLaunchParameter)(JNIEnv* env, jclass, jint index) {
    const int64_t size = standInLastLaunchParameter(static_cast<size_t>(index), nullptr, 0);
    if (size < 0) {
        return nullptr;
    }
    std::vector<jbyte> bytes(static_cast<size_t>(size));
    standInLastLaunchParameter(static_cast<size_t>(index), bytes.data(), bytes.size());
    jbyteArray result = env->NewByteArray(static_cast<jsize>(size));
    if (result != nullptr && size > 0) {
        env->SetByteArrayRegion(result, 0, static_cast<jsize>(size), bytes.data());
    }
    return result;
}

HELPER(jlong, liveAllocations)(JNIEnv*, jclass) {
    return static_cast<jlong>(standInLiveAllocations());
}

HELPER(jlong, lastImageLength)(JNIEnv*, jclass) {
    return standInLastImageLength();
}

HELPER(jlong, flagsOf)(JNIEnv*, jclass, jlong handle) {
    return standInFlagsOf(static_cast<uint64_t>(handle));
}

// {major, minor} as NVRTC reports them.
HELPER(jintArray, nvrtcMajorMinor)(JNIEnv* env, jclass) {
    int major = 0;
    int minor = 0;
    nvrtcVersion(&major, &minor);
    const jint values[] = {major, minor};
    jintArray result = env->NewIntArray(2);
    if (result != nullptr) {
        env->SetIntArrayRegion(result, 0, 2, values);
    }
    return result;
}
