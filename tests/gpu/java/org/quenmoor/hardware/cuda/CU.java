package org.quenmoor.hardware.cuda;

import java.nio.ByteBuffer;

/**
 * The native methods of the GPU bridge (libcudabridge.so). Handles are raw driver values;
 * failures arrive as org.quenmoor.hardware.HardwareException.
 */
public final class CU {
    static {
        System.load(System.getProperty("cudabridge.library"));
    }

    private CU() {}

    // Driver and devices
    public static native boolean init();
    public static native int driverVersion();
    public static native int nvrtcVersion();
    public static native int deviceCount();
    public static native int device(int ordinal);
    public static native String deviceName(int device);
    public static native int deviceAttribute(int device, int attribute);
    public static native long totalMemory(int device);

    // Primary contexts and synchronisation
    public static native long primaryContextRetain(int device);
    public static native boolean primaryContextRelease(int device);
    public static native boolean synchronize(long ctx);

    // Memory
    public static native long memAlloc(long ctx, long bytes);
    public static native long memAllocManaged(long ctx, long bytes);
    public static native boolean memFree(long ctx, long pointer);
    public static native void memcpyHtoD(long ctx, long dst, long dstOffset, ByteBuffer src, long srcOffset, long bytes);
    public static native void memcpyDtoH(long ctx, ByteBuffer dst, long dstOffset, long src, long srcOffset, long bytes);
    public static native boolean memcpyDtoD(long ctx, long dst, long src, long bytes);
    public static native boolean memcpyDtoDAsync(long ctx, long dst, long src, long bytes, long stream);
    public static native ByteBuffer hostView(long address, long capacity);

    // Runtime compilation, modules and launch
    public static native byte[] compile(String source, String name, String[] options, boolean cubin);
    public static native long moduleLoadData(long ctx, byte[] image);
    public static native boolean moduleUnload(long ctx, long module);
    public static native long moduleGetFunction(long ctx, long module, String name);
    public static native int functionAttribute(long ctx, long function, int attribute);
    public static native void launchKernel(long ctx, long function, int gridX, int blockX, long[] pointers,
                                           int[] offsets, int[] sizes, long first, long second, long stream);

    // Streams and events
    public static native long streamCreate(long ctx);
    public static native boolean streamDestroy(long ctx, long stream);
    public static native boolean streamSynchronize(long ctx, long stream);
    public static native boolean streamWaitEvent(long ctx, long stream, long event);
    public static native long eventCreate(long ctx);
    public static native boolean eventRecord(long ctx, long event, long stream);
    public static native boolean eventQuery(long ctx, long event);
    public static native boolean eventSynchronize(long ctx, long event);
    public static native boolean eventDestroy(long ctx, long event);
}
