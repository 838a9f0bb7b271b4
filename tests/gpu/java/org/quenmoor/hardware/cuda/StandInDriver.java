package org.quenmoor.hardware.cuda;

/** Controls of the stand-in driver that the tests put in place of libcuda.so.1. */
final class StandInDriver {
    static {
        System.load(System.getProperty("cudabridge.standin.helper"));
    }

    private StandInDriver() {}

    /** Forgets recorded calls, launches, failure rules and the event hold. */
    static native void reset();
    /** Makes the driver entry point `name` (e.g. "cuMemsetD8_v2") return `result` from now on. */
    static native void failCall(String name, int result);
    static native void recordCalls(boolean on);
    /** Entry points called since the last reset, in order. */
    static native String[] calls();
    /** While held, recorded events stay not ready until synchronised. */
    static native void holdEvents(boolean hold);
    static native long launchCount();
    /** {function, gridX, gridY, gridZ, blockX, blockY, blockZ, shared bytes, stream, parameter count}. */
    static native long[] lastLaunch();
    static native byte[] lastLaunchParameter(int index);
    static native long liveAllocations();
    static native long lastImageLength();
    static native long flagsOf(long handle);
    static native int[] nvrtcMajorMinor();
}
