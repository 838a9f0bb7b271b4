package org.quenmoor.hardware.cuda;

import java.util.Arrays;
import java.util.List;

/** A small test runner: named cases, plain assertions, one summary line, exit status. */
final class TestRun {
    interface Body {
        void run() throws Exception;
    }

    interface Call {
        void run() throws Exception;
    }

    private final String suite;
    private int passed;
    private int failed;

    TestRun(String suite) {
        this.suite = suite;
    }

    void test(String name, Body body) {
        StandInDriver.reset();
        try {
            body.run();
            passed++;
            System.out.println("PASS " + name);
        } catch (Throwable failure) {
            failed++;
            System.out.println("FAIL " + name + ": " + failure);
            failure.printStackTrace(System.out);
        } finally {
            StandInDriver.reset();
        }
    }

    /** Prints the summary line and ends the VM with a status that tells the outcome. */
    void finish() {
        System.out.println(suite + ": " + passed + " passed, " + failed + " failed");
        System.exit(failed == 0 && passed > 0 ? 0 : 1);
    }

    static void check(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }

    static void equal(Object expected, Object actual, String what) {
        boolean same = expected == null ? actual == null
                : expected.getClass().isArray() ? Arrays.deepEquals(new Object[] {expected}, new Object[] {actual})
                : expected.equals(actual);
        if (!same) {
            throw new AssertionError(what + ": expected <" + show(expected) + "> but was <" + show(actual) + ">");
        }
    }

    private static String show(Object value) {
        if (value instanceof Object[]) return Arrays.toString((Object[]) value);
        if (value instanceof byte[]) return Arrays.toString((byte[]) value);
        if (value instanceof long[]) return Arrays.toString((long[]) value);
        return String.valueOf(value);
    }

    /** Runs the call and returns the exception it raised, which must be of exactly the given class. */
    static <T extends Throwable> T raises(Class<T> type, Call call) {
        try {
            call.run();
        } catch (Throwable raised) {
            if (raised.getClass() != type) {
                throw new AssertionError("expected " + type.getName() + " but got " + raised, raised);
            }
            return type.cast(raised);
        }
        throw new AssertionError("expected " + type.getName() + " but nothing was raised");
    }

    static void calls(List<String> expected, String what) {
        equal(expected, Arrays.asList(StandInDriver.calls()), what + " (driver calls)");
    }
}
