package org.quenmoor.hardware.cuda;

/** Controls of the forwarding NVRTC that some tests put in place of libnvrtc.so.13. */
final class NvrtcShim {
    static {
        System.load(System.getProperty("cudabridge.nvrtc.shim"));
    }

    private NvrtcShim() {}

    static native void reset();
    /** Makes the NVRTC function `name` return `result` from now on, without calling NVRTC. */
    static native void failCall(String name, int result);
    /** Makes nvrtcGetProgramLogSize report this size after a successful call. */
    static native void reportLogSize(long size);
    static native long created();
    static native long destroyed();
}
