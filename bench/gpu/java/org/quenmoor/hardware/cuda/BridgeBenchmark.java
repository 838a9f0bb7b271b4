package org.quenmoor.hardware.cuda;

import java.nio.ByteBuffer;
import java.util.Arrays;

/**
 * Per-call cost of the GPU bridge from Java against the same driver and NVRTC calls made
 * directly from C++ in this process, against the CPU-backed stand-in driver.
 */
public final class BridgeBenchmark {
    static {
        System.load(System.getProperty("cudabridge.bench.direct"));
    }

    private static native long directMemcpyHtoD(long ctx, long dst, ByteBuffer src, int bytes, int iterations);
    private static native long directLaunch(long ctx, long function, long[] pointers, int iterations);
    private static native long directEventQuery(long ctx, long event, int iterations);
    private static native long directCompile(String source, String name);

    private static final int ITERATIONS = 1_000_000;
    private static final int ROUNDS = 7;
    private static final int COMPILES = 9;

    private static final String KERNEL = String.join("\n",
            "extern \"C\" __global__ void fourPointers(float* a, float* b, float* c, float* d,",
            "        int oa, int ob, int oc, int od, int sa, int sb, int sc, int sd, long long x, long long y) {",
            "    int i = blockIdx.x * blockDim.x + threadIdx.x;",
            "    if (i < sa) a[oa + i] = b[ob + i] * c[oc + i] + d[od + i] + (float)(x - y);",
            "}",
            "");

    interface Loop {
        long run(int iterations);  // nanoseconds for that many calls
    }

    /** Best of several rounds, in nanoseconds per call: the least disturbed measurement. */
    private static double perCall(Loop loop) {
        loop.run(ITERATIONS / 5);  // warm-up: JIT, caches
        double best = Double.MAX_VALUE;
        for (int round = 0; round < ROUNDS; round++) {
            long elapsed = loop.run(ITERATIONS);
            if (elapsed < 0) {
                throw new IllegalStateException("a direct driver call failed");
            }
            best = Math.min(best, (double) elapsed / ITERATIONS);
        }
        return best;
    }

    private static void report(String what, double bridge, double direct) {
        System.out.printf("%-28s bridge %8.1f ns  direct %8.1f ns  overhead %7.1f ns  ratio %.3f%n",
                what, bridge, direct, bridge - direct, bridge / direct);
    }

    private static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    public static void main(String[] args) {
        CU.init();
        long ctx = CU.primaryContextRetain(CU.device(0));
        StandInDriver.recordCalls(false);

        long device = CU.memAlloc(ctx, 4096);
        ByteBuffer host = ByteBuffer.allocateDirect(4096);
        double bridgeCopy = perCall(n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; i++) CU.memcpyHtoD(ctx, device, 0, host, 0, 4096);
            return System.nanoTime() - start;
        });
        double directCopy = perCall(n -> directMemcpyHtoD(ctx, device, host, 4096, n));
        report("memcpyHtoD (4 KiB)", bridgeCopy, directCopy);

        long module = CU.moduleLoadData(ctx, CU.compile(KERNEL, "bench.cu", null, false));
        long function = CU.moduleGetFunction(ctx, module, "fourPointers");
        long[] pointers = new long[4];
        for (int i = 0; i < 4; i++) pointers[i] = CU.memAlloc(ctx, 1024);
        int[] offsets = new int[4];
        int[] sizes = {256, 256, 256, 256};
        double bridgeLaunch = perCall(n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; i++) CU.launchKernel(ctx, function, 4, 256, pointers, offsets, sizes, 1, 2, 0);
            return System.nanoTime() - start;
        });
        double directLaunch = perCall(n -> directLaunch(ctx, function, pointers, n));
        report("launchKernel (4 pointers)", bridgeLaunch, directLaunch);

        long event = CU.eventCreate(ctx);
        CU.eventRecord(ctx, event, 0);
        double bridgeQuery = perCall(n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; i++) CU.eventQuery(ctx, event);
            return System.nanoTime() - start;
        });
        double directQuery = perCall(n -> directEventQuery(ctx, event, n));
        report("eventQuery", bridgeQuery, directQuery);

        // Compilation: interleaved so that both sides see the same machine load.
        CU.compile(KERNEL, "bench.cu", null, false);
        directCompile(KERNEL, "bench.cu");
        double[] bridgeCompile = new double[COMPILES];
        double[] directCompile = new double[COMPILES];
        for (int i = 0; i < COMPILES; i++) {
            long start = System.nanoTime();
            CU.compile(KERNEL, "bench.cu", null, false);
            bridgeCompile[i] = (System.nanoTime() - start) / 1e6;
            long direct = directCompile(KERNEL, "bench.cu");
            if (direct < 0) throw new IllegalStateException("direct NVRTC compile failed");
            directCompile[i] = direct / 1e6;
        }
        double bridgeMs = median(bridgeCompile);
        double directMs = median(directCompile);
        System.out.printf("%-28s bridge %8.2f ms  direct %8.2f ms  ratio %.3f (median of %d)%n",
                "compile (small kernel, PTX)", bridgeMs, directMs, bridgeMs / directMs, COMPILES);

        double worstOverhead = Math.max(bridgeCopy - directCopy, Math.max(bridgeLaunch - directLaunch,
                bridgeQuery - directQuery));
        System.out.printf("goals: compile within 5%%: %s (%.1f%%); overhead under 1 us per call: %s (worst %.1f ns)%n",
                bridgeMs <= directMs * 1.05 ? "met" : "missed", (bridgeMs / directMs - 1) * 100,
                worstOverhead < 1000 ? "met" : "missed", worstOverhead);

        CU.eventDestroy(ctx, event);
        for (long pointer : pointers) CU.memFree(ctx, pointer);
        CU.memFree(ctx, device);
        CU.moduleUnload(ctx, module);
        CU.primaryContextRelease(CU.device(0));
    }
}
