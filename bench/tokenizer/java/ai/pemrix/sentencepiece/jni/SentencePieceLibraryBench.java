package ai.pemrix.sentencepiece.jni;

import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

/**
 * Throughput of encode and decode through lexbridge, one sentence per call, as
 * an application would call it. Arguments: library, model, corpus, warm-up passes
 * (the JIT needs them), timed passes, corpus repeats per pass. Prints one line in the same form as the
 * direct C++ baseline: best tokens per second of wall time and of the process's
 * CPU time (which includes the VM's own threads, garbage collection among them;
 * the VM reads that clock in 10 ms steps, so passes repeat the corpus).
 */
public final class SentencePieceLibraryBench {
    private static final com.sun.management.OperatingSystemMXBean OS =
            (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();

    private SentencePieceLibraryBench() {
    }

    /** Best wall and CPU seconds of the timed passes. */
    private static final class Best {
        double wall = Double.MAX_VALUE;
        double cpu = Double.MAX_VALUE;

        void add(long wallStart, long cpuStart) {
            wall = Math.min(wall, (System.nanoTime() - wallStart) / 1e9);
            cpu = Math.min(cpu, (OS.getProcessCpuTime() - cpuStart) / 1e9);
        }
    }

    public static void main(String[] args) throws Exception {
        System.load(Path.of(args[0]).toAbsolutePath().toString());
        List<String> sentences = Files.readAllLines(Path.of(args[2]), StandardCharsets.UTF_8);
        int warmUp = Integer.parseInt(args[3]);
        int passes = Integer.parseInt(args[4]);
        int repeats = Integer.parseInt(args[5]);

        long handle = SentencePieceLibrary.createSentencePieceProcessor();
        try {
            SentencePieceLibrary.loadModel(handle, args[1]);
            int[][] ids = new int[sentences.size()][];
            String[] texts = new String[sentences.size()];
            Best encode = new Best();
            Best decode = new Best();
            long tokens = 0;
            long characters = 0;
            for (int pass = 0; pass < warmUp + passes; pass++) {
                long wallStart = System.nanoTime();
                long cpuStart = OS.getProcessCpuTime();
                for (int r = 0; r < repeats; r++) {
                    for (int i = 0; i < ids.length; i++) {
                        ids[i] = SentencePieceLibrary.encode(handle, sentences.get(i));
                    }
                }
                if (pass >= warmUp) {
                    encode.add(wallStart, cpuStart);
                }

                wallStart = System.nanoTime();
                cpuStart = OS.getProcessCpuTime();
                for (int r = 0; r < repeats; r++) {
                    for (int i = 0; i < ids.length; i++) {
                        texts[i] = SentencePieceLibrary.decode(handle, ids[i]);
                    }
                }
                if (pass >= warmUp) {
                    decode.add(wallStart, cpuStart);
                }

                tokens = 0;
                characters = 0;
                for (int i = 0; i < ids.length; i++) {
                    tokens += ids[i].length;
                    characters += texts[i].getBytes(StandardCharsets.UTF_8).length;
                }
            }
            System.out.printf("sentences=%d tokens=%d encode_wall=%.0f decode_wall=%.0f encode_cpu=%.0f "
                    + "decode_cpu=%.0f check=%d%n", sentences.size(), tokens, tokens * repeats / encode.wall,
                    tokens * repeats / decode.wall, tokens * repeats / encode.cpu, tokens * repeats / decode.cpu,
                    characters);
        } finally {
            SentencePieceLibrary.deleteSentencePieceProcessor(handle);
        }
    }
}
