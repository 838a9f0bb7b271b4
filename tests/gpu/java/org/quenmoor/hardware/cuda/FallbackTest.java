package org.quenmoor.hardware.cuda;

import static org.quenmoor.hardware.cuda.TestRun.calls;
import static org.quenmoor.hardware.cuda.TestRun.check;
import static org.quenmoor.hardware.cuda.TestRun.equal;
import static org.quenmoor.hardware.cuda.TestRun.raises;

import java.util.List;

/**
 * Runs on a class path without org.quenmoor.hardware.HardwareException: the bridge must then
 * raise a plain RuntimeException with the same message, leaving no class-lookup error behind.
 */
public final class FallbackTest {
    public static void main(String[] args) {
        TestRun run = new TestRun("gpu-fallback");
        run.test("without HardwareException the bridge raises RuntimeException with the same message", () -> {
            raises(ClassNotFoundException.class, () -> Class.forName("org.quenmoor.hardware.HardwareException"));
            StandInDriver.failCall("cuInit", 3);
            RuntimeException e = raises(RuntimeException.class, CU::init);
            equal("cuInit failed: CUDA_ERROR_NOT_INITIALIZED (initialization error)", e.getMessage(), "message");
            check(e.getCause() == null, "no class-lookup error attached");
            calls(List.of("cuInit", "cuGetErrorName", "cuGetErrorString"), "init");
        });
        run.test("bridge-made messages fall back too", () -> {
            check(CU.init(), "init");
            long ctx = CU.primaryContextRetain(0);
            RuntimeException e = raises(RuntimeException.class,
                    () -> CU.memcpyHtoD(ctx, 0, 0, java.nio.ByteBuffer.allocate(4), 0, 4));
            equal("memcpyHtoD requires a direct buffer", e.getMessage(), "message");
            check(CU.primaryContextRelease(0), "release");
        });
        run.finish();
    }
}
