package org.quenmoor.hardware.cuda;

import static org.quenmoor.hardware.cuda.TestRun.check;
import static org.quenmoor.hardware.cuda.TestRun.equal;
import static org.quenmoor.hardware.cuda.TestRun.raises;

import org.quenmoor.hardware.HardwareException;

/**
 * The compile pipeline's failure paths, with NvrtcShim forwarding to the real NVRTC: every
 * program created is destroyed exactly once, and the compile log follows into later failures.
 */
public final class NvrtcPathsTest {
    private static final int OUT_OF_MEMORY = 1;
    private static final int INVALID_INPUT = 3;
    private static final int INVALID_PROGRAM = 4;

    private static final String KERNEL = "extern \"C\" __global__ void k(long long a, long long b) {}\n";
    /** Compiles, with a warning in its log. */
    private static final String WARNED = "extern \"C\" __global__ void warned() { int unused = 1; }\n";
    private static final String BROKEN = "extern \"C\" __global__ void broken() { undeclared_name = 1; }\n";

    private static final TestRun run = new TestRun("gpu-nvrtc");

    private static void test(String name, TestRun.Body body) {
        run.test(name, () -> {
            NvrtcShim.reset();
            body.run();
            equal(NvrtcShim.created(), NvrtcShim.destroyed(), "every program destroyed exactly once");
        });
    }

    private static String compileFailure(String source, String[] options, boolean cubin) {
        return raises(HardwareException.class, () -> CU.compile(source, "paths.cu", options, cubin)).getMessage();
    }

    /** The warning log of WARNED under these options, as the message of a failure after compilation shows it. */
    private static String warningLog(String[] options) {
        NvrtcShim.failCall("nvrtcGetPTXSize", INVALID_PROGRAM);
        String message = compileFailure(WARNED, options, false);
        NvrtcShim.reset();
        String log = message.substring(message.indexOf('\n') + 1);
        check(log.contains("warning") && log.contains("unused") && !log.contains("\0"), "warning log: " + log);
        return log;
    }

    /** Which CUBIN entry points the forwarding NVRTC in use has: none, size (only) or both. */
    public static void main(String[] args) {
        String cubinEntryPoints = System.getProperty("cudabridge.nvrtc.cubin", "none");
        test("the forwarding NVRTC is the one in use, and PTX is exactly its reported size", () -> {
            byte[] ptx = CU.compile(KERNEL, "paths.cu", null, false);
            check(ptx.length > 0, "PTX");
            equal((long) ptx.length, NvrtcShim.lastOutputSize(), "bytes returned against nvrtcGetPTXSize");
            equal(1L, NvrtcShim.created(), "program created through the shim");
        });
        switch (cubinEntryPoints) {
            case "none" -> {
                cubinUnavailable();
                pipeline();
            }
            case "size" -> cubinUnavailable();
            case "both" -> cubinOutput();
            default -> throw new IllegalArgumentException("cudabridge.nvrtc.cubin: " + cubinEntryPoints);
        }
        run.finish();
    }

    private static void cubinUnavailable() {
        test("CUBIN without both CUBIN entry points is refused and the program destroyed", () -> {
            equal("nvrtcGetCUBIN is unavailable in this NVRTC",
                    compileFailure(KERNEL, new String[] {"-arch=sm_80"}, true), "message");
            equal(1L, NvrtcShim.created(), "created");
        });
    }

    private static void cubinOutput() {
        String[] arch = {"-arch=sm_80"};
        test("CUBIN comes from the entry points found at run time, exactly their reported size", () -> {
            byte[] cubin = CU.compile(KERNEL, "paths.cu", arch, true);
            equal("ELF", new String(cubin, 1, 3, java.nio.charset.StandardCharsets.US_ASCII), "ELF image");
            equal((long) cubin.length, NvrtcShim.lastOutputSize(), "bytes returned against nvrtcGetCUBINSize");
        });

        String log = warningLog(arch);
        for (String step : new String[] {"nvrtcGetCUBINSize", "nvrtcGetCUBIN"}) {
            test(step + " failure carries the compile log", () -> {
                NvrtcShim.failCall(step, INVALID_PROGRAM);
                equal(step + " failed: NVRTC_ERROR_INVALID_PROGRAM\n" + log, compileFailure(WARNED, arch, true),
                        "message");
            });
        }
    }

    private static void pipeline() {
        test("a failed creation reports without a log and destroys nothing", () -> {
            NvrtcShim.failCall("nvrtcCreateProgram", OUT_OF_MEMORY);
            equal("nvrtcCreateProgram failed: NVRTC_ERROR_OUT_OF_MEMORY", compileFailure(KERNEL, null, false), "message");
            equal(0L, NvrtcShim.destroyed(), "nothing destroyed");
        });

        test("null and empty options compile with a count of 0 and a null list; others in order", () -> {
            Object[][] cases = {
                {null, 0, true},
                {new String[0], 0, true},
                {new String[] {"-arch=compute_75", "-DUNUSED=1"}, 2, false},
            };
            for (Object[] c : cases) {
                String[] options = (String[]) c[0];
                CU.compile(KERNEL, "paths.cu", options, false);
                equal(c[1], NvrtcShim.lastOptionCount(), "count for " + java.util.Arrays.toString(options));
                equal(c[2], NvrtcShim.lastOptionListNull(), "null list for " + java.util.Arrays.toString(options));
                equal(options == null ? new String[0] : options, NvrtcShim.lastOptions(), "texts");
            }
        });

        test("a compile log of size 1 adds no line feed", () -> {
            NvrtcShim.reportLogSize(1);
            equal("nvrtcCompileProgram failed: NVRTC_ERROR_COMPILATION", compileFailure(BROKEN, null, false), "message");
        });

        test("an unreadable log size leaves the log empty", () -> {
            NvrtcShim.failCall("nvrtcGetProgramLogSize", INVALID_PROGRAM);
            equal("nvrtcCompileProgram failed: NVRTC_ERROR_COMPILATION", compileFailure(BROKEN, null, false), "message");
        });

        test("a successful compile with warnings raises nothing", () -> {
            warningLog(null);
            byte[] ptx = CU.compile(WARNED, "paths.cu", null, false);
            check(ptx.length > 0, "PTX despite the warning");
        });

        String log = warningLog(null);
        for (String step : new String[] {"nvrtcGetPTXSize", "nvrtcGetPTX"}) {
            test(step + " failure carries the compile log", () -> {
                NvrtcShim.failCall(step, INVALID_PROGRAM);
                equal(step + " failed: NVRTC_ERROR_INVALID_PROGRAM\n" + log, compileFailure(WARNED, null, false),
                        "message");
            });
        }

        test("an option that is null raises and destroys the program", () -> {
            raises(HardwareException.class, () -> CU.compile(KERNEL, "paths.cu", new String[] {null}, false));
            equal(1L, NvrtcShim.created(), "created");
        });

        test("nvrtcVersion is major * 1000 + minor * 10", () -> {
            int[][] versions = {{13, 0, 13000}, {12, 4, 12040}, {11, 8, 11080}};
            for (int[] v : versions) {
                NvrtcShim.reportVersion(v[0], v[1]);
                equal(v[2], CU.nvrtcVersion(), v[0] + "." + v[1]);
            }
        });

        test("a failed nvrtcVersion answers with NVRTC's text and no log", () -> {
            NvrtcShim.failCall("nvrtcVersion", INVALID_INPUT);
            HardwareException e = raises(HardwareException.class, CU::nvrtcVersion);
            equal("nvrtcVersion failed: NVRTC_ERROR_INVALID_INPUT", e.getMessage(), "message");
        });
    }
}
