package org.quenmoor.hardware.cuda;

import static org.quenmoor.hardware.cuda.TestRun.calls;
import static org.quenmoor.hardware.cuda.TestRun.check;
import static org.quenmoor.hardware.cuda.TestRun.equal;
import static org.quenmoor.hardware.cuda.TestRun.raises;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.quenmoor.hardware.HardwareException;

/**
 * The GPU bridge driven from a real VM: NVRTC is the toolkit's own, the driver is the
 * CPU-backed stand-in, whose call record shows exactly what the bridge asked of it.
 */
public final class CudaBridgeTest {
    private static final String ERROR_LINES = " failed: CUDA_ERROR_OUT_OF_MEMORY (out of memory)";
    private static final int OUT_OF_MEMORY = 2;
    private static final List<String> BIND_FAILED = List.of("cuCtxSetCurrent", "cuGetErrorName", "cuGetErrorString");
    private static final String INVALID_CONTEXT =
            "cuCtxSetCurrent failed: CUDA_ERROR_INVALID_CONTEXT (invalid device context)";

    /** The launch layout: n pointers, n offsets, n sizes, two 64-bit trailing values. */
    private static final String KERNELS = String.join("\n",
            "extern \"C\" __global__ void trailingOnly(long long first, long long second) {}",
            "extern \"C\" __global__ void twoPointers(float* a, float* b, int offsetA, int offsetB,",
            "                                        int sizeA, int sizeB, long long first, long long second) {",
            "    int i = blockIdx.x * blockDim.x + threadIdx.x;",
            "    if (i < sizeA && i < sizeB) a[offsetA + i] += b[offsetB + i] * (float)(first + second);",
            "}",
            "");

    private static long ctx;
    private static final TestRun run = new TestRun("gpu");

    public static void main(String[] args) {
        check(CU.init(), "init");
        ctx = CU.primaryContextRetain(CU.device(0));
        check(ctx != 0, "primary context of device 0");

        driverAndDevices();
        everyDriverFailureIsReportedUnderItsName();
        invalidContextStopsAtBinding();
        memory();
        compilation();
        modulesAndLaunch();
        streamsAndEvents();
        nullArguments();

        check(CU.primaryContextRelease(CU.device(0)), "release");
        run.finish();
    }

    // ---- Driver, devices, messages --------------------------------------------------------

    private static void driverAndDevices() {
        run.test("device queries answer through the versioned driver entry points", () -> {
            equal(13000, CU.driverVersion(), "driver version");
            equal(2, CU.deviceCount(), "device count");
            int second = CU.device(1);
            equal(1, second, "device 1");
            equal("Quenmoor Stand-in GPU 1", CU.deviceName(second), "name");
            equal(8, CU.deviceAttribute(0, 75), "compute capability major");
            equal(4L << 30, CU.totalMemory(second), "total memory");
            calls(List.of("cuDriverGetVersion", "cuDeviceGetCount", "cuDeviceGet", "cuDeviceGetName",
                    "cuDeviceGetAttribute", "cuDeviceTotalMem_v2"), "queries");
        });

        run.test("methods that take no context bind none", () -> {
            long managed = CU.memAllocManaged(ctx, 16);
            List<TestRun.Call> unbound = List.of(
                    CU::init, CU::driverVersion, CU::nvrtcVersion, CU::deviceCount, () -> CU.device(0),
                    () -> CU.deviceName(0), () -> CU.deviceAttribute(0, 75), () -> CU.totalMemory(0),
                    () -> CU.primaryContextRetain(0), () -> CU.primaryContextRelease(0),
                    () -> CU.hostView(managed, 16), () -> CU.compile(KERNELS, "kernels.cu", null, false));
            for (int i = 0; i < unbound.size(); i++) {
                StandInDriver.reset();
                unbound.get(i).run();
                check(!Arrays.asList(StandInDriver.calls()).contains("cuCtxSetCurrent"), "method #" + i + " bound");
            }
            check(CU.memFree(ctx, managed), "free");
        });

        run.test("nvrtcVersion is major * 1000 + minor * 10 of the NVRTC in use", () -> {
            int[] reported = StandInDriver.nvrtcMajorMinor();
            equal(reported[0] * 1000 + reported[1] * 10, CU.nvrtcVersion(), "version");
            check(reported[0] == 13, "NVRTC 13 is linked, got " + reported[0]);
            calls(List.of(), "NVRTC involves no driver call");
        });

        run.test("an error the driver cannot name reads UNKNOWN (no description)", () -> {
            StandInDriver.failCall("cuInit", 9999);
            HardwareException e = raises(HardwareException.class, CU::init);
            equal("cuInit failed: UNKNOWN (no description)", e.getMessage(), "message");
            calls(List.of("cuInit", "cuGetErrorName", "cuGetErrorString"), "init");
        });

        run.test("a named error reads name and description in parentheses", () -> {
            StandInDriver.failCall("cuDeviceGet", 101);
            HardwareException e = raises(HardwareException.class, () -> CU.device(7));
            equal("cuDeviceGet failed: CUDA_ERROR_INVALID_DEVICE (invalid device ordinal)", e.getMessage(), "message");
        });
    }

    /** Fixtures that every driver method can work on. */
    private static final class Objects {
        final long pointer = CU.memAlloc(ctx, 64);
        final long other = CU.memAlloc(ctx, 64);
        final ByteBuffer buffer = ByteBuffer.allocateDirect(64);
        final long module = CU.moduleLoadData(ctx, ptx());
        final long function = CU.moduleGetFunction(ctx, module, "twoPointers");
        final long stream = CU.streamCreate(ctx);
        final long event = CU.eventCreate(ctx);

        void release() {
            CU.eventDestroy(ctx, event);
            CU.streamDestroy(ctx, stream);
            CU.moduleUnload(ctx, module);
            CU.memFree(ctx, other);
            CU.memFree(ctx, pointer);
        }
    }

    private static byte[] ptxImage;

    private static byte[] ptx() {
        if (ptxImage == null) {
            ptxImage = CU.compile(KERNELS, "kernels.cu", null, false);
        }
        return ptxImage;
    }

    private record Failing(String entryPoint, String reportedAs, TestRun.Call call) {}

    private static List<Failing> everyDriverCall(Objects o) {
        long[] two = {o.pointer, o.other};
        int[] pair = {0, 0};
        return List.of(
                new Failing("cuInit", "cuInit", CU::init),
                new Failing("cuDriverGetVersion", "cuDriverGetVersion", CU::driverVersion),
                new Failing("cuDeviceGetCount", "cuDeviceGetCount", CU::deviceCount),
                new Failing("cuDeviceGet", "cuDeviceGet", () -> CU.device(0)),
                new Failing("cuDeviceGetName", "cuDeviceGetName", () -> CU.deviceName(0)),
                new Failing("cuDeviceGetAttribute", "cuDeviceGetAttribute", () -> CU.deviceAttribute(0, 1)),
                new Failing("cuDeviceTotalMem_v2", "cuDeviceTotalMem", () -> CU.totalMemory(0)),
                new Failing("cuDevicePrimaryCtxRetain", "cuDevicePrimaryCtxRetain", () -> CU.primaryContextRetain(0)),
                new Failing("cuDevicePrimaryCtxRelease_v2", "cuDevicePrimaryCtxRelease",
                        () -> CU.primaryContextRelease(0)),
                new Failing("cuCtxSynchronize", "cuCtxSynchronize", () -> CU.synchronize(ctx)),
                new Failing("cuMemAlloc_v2", "cuMemAlloc", () -> CU.memAlloc(ctx, 16)),
                new Failing("cuMemAllocManaged", "cuMemAllocManaged", () -> CU.memAllocManaged(ctx, 16)),
                new Failing("cuMemFree_v2", "cuMemFree", () -> CU.memFree(ctx, o.pointer)),
                new Failing("cuMemcpyHtoD_v2", "cuMemcpyHtoD", () -> CU.memcpyHtoD(ctx, o.pointer, 0, o.buffer, 0, 8)),
                new Failing("cuMemcpyDtoH_v2", "cuMemcpyDtoH", () -> CU.memcpyDtoH(ctx, o.buffer, 0, o.pointer, 0, 8)),
                new Failing("cuMemcpyDtoD_v2", "cuMemcpyDtoD", () -> CU.memcpyDtoD(ctx, o.other, o.pointer, 8)),
                new Failing("cuMemcpyDtoDAsync_v2", "cuMemcpyDtoDAsync",
                        () -> CU.memcpyDtoDAsync(ctx, o.other, o.pointer, 8, o.stream)),
                new Failing("cuModuleLoadData", "cuModuleLoadData", () -> CU.moduleLoadData(ctx, ptx())),
                new Failing("cuModuleUnload", "cuModuleUnload", () -> CU.moduleUnload(ctx, o.module)),
                new Failing("cuModuleGetFunction", "cuModuleGetFunction",
                        () -> CU.moduleGetFunction(ctx, o.module, "twoPointers")),
                new Failing("cuFuncGetAttribute", "cuFuncGetAttribute", () -> CU.functionAttribute(ctx, o.function, 0)),
                new Failing("cuLaunchKernel", "cuLaunchKernel",
                        () -> CU.launchKernel(ctx, o.function, 1, 1, two, pair, pair, 0, 0, 0)),
                new Failing("cuStreamCreate", "cuStreamCreate", () -> CU.streamCreate(ctx)),
                new Failing("cuStreamDestroy_v2", "cuStreamDestroy", () -> CU.streamDestroy(ctx, o.stream)),
                new Failing("cuStreamSynchronize", "cuStreamSynchronize", () -> CU.streamSynchronize(ctx, o.stream)),
                new Failing("cuStreamWaitEvent", "cuStreamWaitEvent", () -> CU.streamWaitEvent(ctx, o.stream, o.event)),
                new Failing("cuEventCreate", "cuEventCreate", () -> CU.eventCreate(ctx)),
                new Failing("cuEventRecord", "cuEventRecord", () -> CU.eventRecord(ctx, o.event, o.stream)),
                new Failing("cuEventQuery", "cuEventQuery", () -> CU.eventQuery(ctx, o.event)),
                new Failing("cuEventSynchronize", "cuEventSynchronize", () -> CU.eventSynchronize(ctx, o.event)),
                new Failing("cuEventDestroy_v2", "cuEventDestroy", () -> CU.eventDestroy(ctx, o.event)));
    }

    private static void everyDriverFailureIsReportedUnderItsName() {
        run.test("every driver failure is reported under its unversioned name, with no call after it", () -> {
            long before = StandInDriver.liveAllocations();
            Objects o = new Objects();
            for (Failing failing : everyDriverCall(o)) {
                StandInDriver.reset();
                StandInDriver.failCall(failing.entryPoint(), OUT_OF_MEMORY);
                HardwareException e = raises(HardwareException.class, failing.call());
                equal(failing.reportedAs() + ERROR_LINES, e.getMessage(), failing.entryPoint());
                List<String> made = Arrays.asList(StandInDriver.calls());
                equal(List.of(failing.entryPoint(), "cuGetErrorName", "cuGetErrorString"),
                        made.subList(Math.max(0, made.size() - 3), made.size()), failing.entryPoint() + " ends the call");
            }
            StandInDriver.reset();
            o.release();
            equal(before, StandInDriver.liveAllocations(), "failed allocations left nothing behind");
        });
    }

    private static void invalidContextStopsAtBinding() {
        run.test("an invalid context stops every context method at cuCtxSetCurrent", () -> {
            Objects o = new Objects();
            long bogus = 0x1234;
            List<TestRun.Call> methods = List.of(
                    () -> CU.synchronize(bogus),
                    () -> CU.memAlloc(bogus, 16),
                    () -> CU.memAllocManaged(bogus, 16),
                    () -> CU.memFree(bogus, o.pointer),
                    () -> CU.memcpyHtoD(bogus, o.pointer, 0, o.buffer, 0, 8),
                    () -> CU.memcpyDtoH(bogus, o.buffer, 0, o.pointer, 0, 8),
                    () -> CU.memcpyDtoD(bogus, o.other, o.pointer, 8),
                    () -> CU.memcpyDtoDAsync(bogus, o.other, o.pointer, 8, 0),
                    () -> CU.moduleLoadData(bogus, ptx()),
                    () -> CU.moduleUnload(bogus, o.module),
                    () -> CU.moduleGetFunction(bogus, o.module, "twoPointers"),
                    () -> CU.launchKernel(bogus, o.function, 1, 1, new long[0], new int[0], new int[0], 0, 0, 0),
                    () -> CU.streamCreate(bogus),
                    () -> CU.streamDestroy(bogus, o.stream),
                    () -> CU.streamSynchronize(bogus, o.stream),
                    () -> CU.streamWaitEvent(bogus, o.stream, o.event),
                    () -> CU.eventCreate(bogus),
                    () -> CU.eventRecord(bogus, o.event, 0),
                    () -> CU.eventQuery(bogus, o.event),
                    () -> CU.eventSynchronize(bogus, o.event),
                    () -> CU.eventDestroy(bogus, o.event));
            for (int i = 0; i < methods.size(); i++) {
                StandInDriver.reset();
                HardwareException e = raises(HardwareException.class, methods.get(i));
                equal(INVALID_CONTEXT, e.getMessage(), "method #" + i);
                calls(BIND_FAILED, "method #" + i);
            }
            // functionAttribute answers 0 when it cannot bind; the value is visible only without an exception,
            // so the record must show that nothing was queried.
            StandInDriver.reset();
            raises(HardwareException.class, () -> CU.functionAttribute(bogus, o.function, 0));
            calls(BIND_FAILED, "functionAttribute");
            o.release();
        });
    }

    // ---- Memory ---------------------------------------------------------------------------

    private static void memory() {
        run.test("allocations are zero-filled over their full length", () -> {
            long managed = CU.memAllocManaged(ctx, 4096);
            ByteBuffer view = CU.hostView(managed, 4096);
            check(view.isDirect() && view.capacity() == 4096, "view over managed memory");
            equal(1L, StandInDriver.flagsOf(managed), "attached globally");
            for (int i = 0; i < 4096; i++) {
                check(view.get(i) == 0, "managed byte " + i + " is zero");
            }
            long device = CU.memAlloc(ctx, 1000);
            ByteBuffer back = ByteBuffer.allocateDirect(1000);
            for (int i = 0; i < 1000; i++) back.put(i, (byte) 0x55);
            CU.memcpyDtoH(ctx, back, 0, device, 0, 1000);
            for (int i = 0; i < 1000; i++) {
                check(back.get(i) == 0, "device byte " + i + " is zero");
            }
            calls(List.of("cuCtxSetCurrent", "cuMemAllocManaged", "cuMemsetD8_v2",
                    "cuCtxSetCurrent", "cuMemAlloc_v2", "cuMemsetD8_v2", "cuCtxSetCurrent", "cuMemcpyDtoH_v2"), "calls");
            check(CU.memFree(ctx, device) && CU.memFree(ctx, managed), "free");
        });

        run.test("a failed zero fill frees the new allocation", () -> {
            long before = StandInDriver.liveAllocations();
            for (boolean managed : new boolean[] {false, true}) {
                StandInDriver.reset();
                StandInDriver.failCall("cuMemsetD8_v2", OUT_OF_MEMORY);
                HardwareException e = raises(HardwareException.class,
                        () -> { if (managed) CU.memAllocManaged(ctx, 256); else CU.memAlloc(ctx, 256); });
                equal("cuMemsetD8" + ERROR_LINES, e.getMessage(), "message");
                calls(List.of("cuCtxSetCurrent", managed ? "cuMemAllocManaged" : "cuMemAlloc_v2", "cuMemsetD8_v2",
                        "cuGetErrorName", "cuGetErrorString", "cuMemFree_v2"), "fill failure");
                equal(before, StandInDriver.liveAllocations(), "nothing leaked");
            }
        });

        run.test("copies add each offset on its own side", () -> {
            long managed = CU.memAllocManaged(ctx, 64);
            ByteBuffer view = CU.hostView(managed, 64);
            ByteBuffer source = ByteBuffer.allocateDirect(32);
            for (int i = 0; i < 32; i++) source.put(i, (byte) (i + 1));

            CU.memcpyHtoD(ctx, managed, 16, source, 8, 8);  // device[16..24) = source[8..16)
            for (int i = 0; i < 64; i++) {
                equal((byte) (i >= 16 && i < 24 ? i - 16 + 9 : 0), view.get(i), "device byte " + i);
            }
            ByteBuffer target = ByteBuffer.allocateDirect(32);
            CU.memcpyDtoH(ctx, target, 4, managed, 18, 4);  // target[4..8) = device[18..22)
            for (int i = 0; i < 32; i++) {
                equal((byte) (i >= 4 && i < 8 ? i - 4 + 11 : 0), target.get(i), "host byte " + i);
            }

            long device = CU.memAlloc(ctx, 64);
            long stream = CU.streamCreate(ctx);
            check(CU.memcpyDtoD(ctx, device, managed + 16, 8), "device to device");
            check(CU.memcpyDtoDAsync(ctx, managed + 40, device + 2, 4, stream), "asynchronous copy");
            check(CU.streamSynchronize(ctx, stream), "synchronised");
            equal((byte) 11, view.get(40), "async copy start");
            equal((byte) 14, view.get(43), "async copy end");
            equal((byte) 0, view.get(44), "async copy stops after its bytes");

            check(CU.streamDestroy(ctx, stream) && CU.memFree(ctx, device) && CU.memFree(ctx, managed), "free");
        });

        run.test("heap buffers and null are refused after binding, copying nothing", () -> {
            long device = CU.memAlloc(ctx, 16);
            for (ByteBuffer host : new ByteBuffer[] {ByteBuffer.allocate(16), null}) {
                StandInDriver.reset();
                HardwareException up = raises(HardwareException.class, () -> CU.memcpyHtoD(ctx, device, 0, host, 0, 16));
                equal("memcpyHtoD requires a direct buffer", up.getMessage(), "to device");
                calls(List.of("cuCtxSetCurrent"), "to device");
                StandInDriver.reset();
                HardwareException down = raises(HardwareException.class, () -> CU.memcpyDtoH(ctx, host, 0, device, 0, 16));
                equal("memcpyDtoH requires a direct buffer", down.getMessage(), "to host");
                calls(List.of("cuCtxSetCurrent"), "to host");
            }
            check(CU.memFree(ctx, device), "free");
        });

        run.test("hostView leaves the VM's own exception alone", () -> {
            long managed = CU.memAllocManaged(ctx, 16);
            StandInDriver.reset();
            raises(IllegalArgumentException.class, () -> CU.hostView(managed, -1));
            calls(List.of(), "no driver call");
            check(CU.memFree(ctx, managed), "free");
        });
    }

    // ---- Compilation ------------------------------------------------------------------------

    private static int countZeros(byte[] bytes) {
        int zeros = 0;
        for (byte b : bytes) if (b == 0) zeros++;
        return zeros;
    }

    private static void compilation() {
        run.test("PTX output is exactly NVRTC's reported size, with null or empty options alike", () -> {
            byte[] withNull = CU.compile(KERNELS, "kernels.cu", null, false);
            byte[] withEmpty = CU.compile(KERNELS, "kernels.cu", new String[0], false);
            // NVRTC's size counts the text and its one terminating NUL.
            equal((byte) 0, withNull[withNull.length - 1], "ends with the NUL");
            equal(1, countZeros(withNull), "one NUL");
            String text = new String(withNull, 0, withNull.length - 1, StandardCharsets.US_ASCII);
            check(text.contains(".entry twoPointers") && text.contains(".entry trailingOnly"), "both kernels");
            equal(withNull, withEmpty, "same output");
        });

        run.test("options reach NVRTC in order", () -> {
            byte[] ptx = CU.compile(KERNELS, "kernels.cu", new String[] {"-arch=compute_75", "-DUNUSED=1"}, false);
            check(new String(ptx, StandardCharsets.US_ASCII).contains(".target sm_75"), "target chosen by option");
        });

        run.test("CUBIN output for a real architecture loads as a module", () -> {
            byte[] cubin = CU.compile(KERNELS, "kernels.cu", new String[] {"-arch=sm_80"}, true);
            equal((byte) 0x7f, cubin[0], "ELF magic");
            equal("ELF", new String(cubin, 1, 3, StandardCharsets.US_ASCII), "ELF magic");
            long module = CU.moduleLoadData(ctx, cubin);
            long function = CU.moduleGetFunction(ctx, module, "trailingOnly");
            check(function != 0, "kernel found in the CUBIN");
            CU.launchKernel(ctx, function, 1, 32, new long[0], new int[0], new int[0], 5, 6, 0);
            equal(2L, StandInDriver.lastLaunch()[9], "CUBIN kernel parameters");
            check(CU.moduleUnload(ctx, module), "unload");
        });

        run.test("a compile error carries the log after its first line", () -> {
            String broken = "extern \"C\" __global__ void broken() { undeclared_name = 1; }\n";
            HardwareException e = raises(HardwareException.class, () -> CU.compile(broken, "broken.cu", null, false));
            String[] lines = e.getMessage().split("\n", 2);
            equal("nvrtcCompileProgram failed: NVRTC_ERROR_COMPILATION", lines[0], "first line");
            check(lines.length == 2 && lines[1].contains("broken.cu") && lines[1].contains("undeclared_name")
                    && lines[1].contains("error"), "log follows: " + e.getMessage());
            check(!lines[1].contains("\0"), "log ends at its NUL");
        });

        run.test("an unknown option fails compilation", () -> {
            HardwareException e = raises(HardwareException.class,
                    () -> CU.compile(KERNELS, "kernels.cu", new String[] {"--no-such-option"}, false));
            check(e.getMessage().startsWith("nvrtcCompileProgram failed: NVRTC_ERROR_INVALID_OPTION"), e.getMessage());
        });
    }

    // ---- Modules and launch -----------------------------------------------------------------

    private static byte[] le(long value, int width) {
        ByteBuffer bytes = ByteBuffer.allocate(width).order(ByteOrder.LITTLE_ENDIAN);
        if (width == 8) bytes.putLong(value); else bytes.putInt((int) value);
        return bytes.array();
    }

    private static void modulesAndLaunch() {
        run.test("module images get one zero byte appended", () -> {
            // A length that is a multiple of 16 and a longer image loaded just before: a copy
            // without its own terminating zero would reuse the longer copy's memory and run on
            // into the blanks left there.
            StringBuilder text = new StringBuilder(new String(ptx(), 0, ptx().length - 1, StandardCharsets.US_ASCII));
            while (text.length() % 16 != 0) text.append(' ');
            byte[] bare = text.toString().getBytes(StandardCharsets.US_ASCII);
            byte[] longer = (text + "        ").getBytes(StandardCharsets.US_ASCII);
            for (int round = 0; round < 3; round++) {
                check(CU.moduleUnload(ctx, CU.moduleLoadData(ctx, longer)), "unload the longer image");
                long module = CU.moduleLoadData(ctx, bare);
                equal((long) bare.length, StandInDriver.lastImageLength(), "text without NUL read whole, no further");
                check(CU.moduleUnload(ctx, module), "unload");
            }
            long module = CU.moduleLoadData(ctx, ptx());
            equal((long) ptx().length - 1, StandInDriver.lastImageLength(), "text with its NUL read up to it");
            check(CU.moduleUnload(ctx, module), "unload");
        });

        run.test("a missing kernel name raises cuModuleGetFunction", () -> {
            long module = CU.moduleLoadData(ctx, ptx());
            StandInDriver.reset();
            HardwareException e = raises(HardwareException.class, () -> CU.moduleGetFunction(ctx, module, "absent"));
            equal("cuModuleGetFunction failed: CUDA_ERROR_NOT_FOUND (named symbol not found)", e.getMessage(), "message");
            long function = CU.moduleGetFunction(ctx, module, "twoPointers");
            equal(1024, CU.functionAttribute(ctx, function, 0), "max threads per block");
            check(CU.moduleUnload(ctx, module), "unload");
        });

        run.test("launch layouts for 0 and 2 pointers with grid 4 and block 256", () -> {
            long module = CU.moduleLoadData(ctx, ptx());
            long stream = CU.streamCreate(ctx);
            long trailing = CU.moduleGetFunction(ctx, module, "trailingOnly");
            long two = CU.moduleGetFunction(ctx, module, "twoPointers");

            CU.launchKernel(ctx, trailing, 4, 256, new long[0], new int[0], new int[0], 7, -9, stream);
            equal(new long[] {trailing, 4, 1, 1, 256, 1, 1, 0, stream, 2}, StandInDriver.lastLaunch(), "no pointers");
            equal(le(7, 8), StandInDriver.lastLaunchParameter(0), "first trailing");
            equal(le(-9, 8), StandInDriver.lastLaunchParameter(1), "second trailing");

            long a = CU.memAlloc(ctx, 1024);
            long b = CU.memAlloc(ctx, 1024);
            CU.launchKernel(ctx, two, 4, 256, new long[] {a, b}, new int[] {3, -5}, new int[] {100, 200},
                    1L << 40, -2, 0);
            equal(new long[] {two, 4, 1, 1, 256, 1, 1, 0, 0, 8}, StandInDriver.lastLaunch(), "two pointers");
            byte[][] expected = {le(a, 8), le(b, 8), le(3, 4), le(-5, 4), le(100, 4), le(200, 4), le(1L << 40, 8),
                le(-2, 8)};
            for (int i = 0; i < expected.length; i++) {
                equal(expected[i], StandInDriver.lastLaunchParameter(i), "parameter " + i);
            }
            equal(2L, StandInDriver.launchCount(), "launches");
            check(CU.memFree(ctx, a) && CU.memFree(ctx, b) && CU.streamDestroy(ctx, stream)
                    && CU.moduleUnload(ctx, module), "release");
        });

        run.test("offsets and sizes of the wrong length launch nothing", () -> {
            long module = CU.moduleLoadData(ctx, ptx());
            long two = CU.moduleGetFunction(ctx, module, "twoPointers");
            long[] pointers = {16, 32};
            int[][][] wrong = {{{1}, {1, 2}}, {{1, 2}, {1, 2, 3}}, {{}, {}}};
            for (int[][] arrays : wrong) {
                StandInDriver.reset();
                HardwareException e = raises(HardwareException.class,
                        () -> CU.launchKernel(ctx, two, 4, 256, pointers, arrays[0], arrays[1], 0, 0, 0));
                equal("launchKernel requires one offset and one size per pointer", e.getMessage(), "message");
                calls(List.of("cuCtxSetCurrent"), "nothing launched");
            }
            check(CU.moduleUnload(ctx, module), "unload");
        });
    }

    // ---- Streams and events -----------------------------------------------------------------

    private static void streamsAndEvents() {
        run.test("events are not ready, then ready once synchronised", () -> {
            long stream = CU.streamCreate(ctx);
            long event = CU.eventCreate(ctx);
            equal(1L, StandInDriver.flagsOf(stream), "streams are non-blocking");
            equal(2L, StandInDriver.flagsOf(event), "events have timing disabled");
            StandInDriver.holdEvents(true);
            check(CU.eventRecord(ctx, event, stream), "record");
            check(!CU.eventQuery(ctx, event), "not ready yet, and no exception");
            check(CU.streamWaitEvent(ctx, 0, event), "default stream waits");
            check(CU.eventSynchronize(ctx, event), "synchronise");
            check(CU.eventQuery(ctx, event), "ready");
            check(CU.eventRecord(ctx, event, 0), "record on the default stream");
            check(CU.synchronize(ctx) && CU.eventQuery(ctx, event), "ready after the context synchronised");
            check(CU.eventDestroy(ctx, event) && CU.streamDestroy(ctx, stream), "destroy");
            StandInDriver.reset();
            HardwareException e = raises(HardwareException.class, () -> CU.eventQuery(ctx, event));
            equal("cuEventQuery failed: CUDA_ERROR_INVALID_HANDLE (invalid resource handle)", e.getMessage(),
                    "destroyed event");
        });
    }

    // ---- Null arguments ---------------------------------------------------------------------

    private static void nullArguments() {
        run.test("null object arguments raise instead of crashing the VM", () -> {
            long module = CU.moduleLoadData(ctx, ptx());
            long function = CU.moduleGetFunction(ctx, module, "trailingOnly");
            List<TestRun.Call> calls = new ArrayList<>(List.of(
                    () -> CU.compile(null, "k.cu", null, false),
                    () -> CU.compile(KERNELS, null, null, false),
                    () -> CU.compile(KERNELS, "k.cu", new String[] {"-arch=sm_80", null}, false),
                    () -> CU.moduleLoadData(ctx, null),
                    () -> CU.moduleGetFunction(ctx, module, null),
                    () -> CU.launchKernel(ctx, function, 1, 1, null, new int[0], new int[0], 0, 0, 0),
                    () -> CU.launchKernel(ctx, function, 1, 1, new long[0], null, new int[0], 0, 0, 0),
                    () -> CU.launchKernel(ctx, function, 1, 1, new long[0], new int[0], null, 0, 0, 0)));
            for (TestRun.Call call : calls) {
                raises(HardwareException.class, call);
            }
            equal(0L, StandInDriver.launchCount(), "nothing launched");
            check(CU.moduleUnload(ctx, module), "unload");
        });
    }
}
