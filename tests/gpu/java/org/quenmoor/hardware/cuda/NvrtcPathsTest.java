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

    /** The warning log of WARNED, as the message of a failure after compilation shows it. */
    private static String warningLog() {
        NvrtcShim.failCall("nvrtcGetPTXSize", INVALID_PROGRAM);
        String message = compileFailure(WARNED, null, false);
        NvrtcShim.reset();
        String log = message.substring(message.indexOf('\n') + 1);
        check(log.contains("warning") && log.contains("unused") && !log.contains("\0"), "warning log: " + log);
        return log;
    }

    public static void main(String[] args) {
        test("the forwarding NVRTC is the one in use", () -> {
            byte[] ptx = CU.compile(KERNEL, "paths.cu", null, false);
            check(ptx.length > 0, "PTX");
            equal(1L, NvrtcShim.created(), "program created through the shim");
        });

        test("CUBIN without the CUBIN entry points is refused and the program destroyed", () -> {
            equal("nvrtcGetCUBIN is unavailable in this NVRTC",
                    compileFailure(KERNEL, new String[] {"-arch=sm_80"}, true), "message");
            equal(1L, NvrtcShim.created(), "created");
        });

        test("a failed creation reports without a log and destroys nothing", () -> {
            NvrtcShim.failCall("nvrtcCreateProgram", OUT_OF_MEMORY);
            equal("nvrtcCreateProgram failed: NVRTC_ERROR_OUT_OF_MEMORY", compileFailure(KERNEL, null, false), "message");
            equal(0L, NvrtcShim.destroyed(), "nothing destroyed");
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
            warningLog();
            byte[] ptx = CU.compile(WARNED, "paths.cu", null, false);
            check(ptx.length > 0, "PTX despite the warning");
        });

        String log = warningLog();
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

        test("a failed nvrtcVersion answers with NVRTC's text and no log", () -> {
            NvrtcShim.failCall("nvrtcVersion", INVALID_INPUT);
            HardwareException e = raises(HardwareException.class, CU::nvrtcVersion);
            equal("nvrtcVersion failed: NVRTC_ERROR_INVALID_INPUT", e.getMessage(), "message");
        });

        run.finish();
    }
}
