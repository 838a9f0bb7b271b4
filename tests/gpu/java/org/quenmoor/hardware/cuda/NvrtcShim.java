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
    /** Makes nvrtcVersion report these numbers. */
    static native void reportVersion(int major, int minor);
    static native long created();
    static native long destroyed();
    /** Option count the last nvrtcCompileProgram was given; -1 before any. */
    static native int lastOptionCount();
    /** Whether the last nvrtcCompileProgram was given a null option list. */
    static native boolean lastOptionListNull();
    static native String[] lastOptions();
    /** Size the last nvrtcGetPTXSize or nvrtcGetCUBINSize reported; -1 when none did. */
    static native long lastOutputSize();
}
