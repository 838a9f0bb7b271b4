package ai.pemrix.sentencepiece.jni;

import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.createSentencePieceProcessor;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.decode;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.deleteSentencePieceProcessor;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.detokenize;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.encode;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.idToPiece;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.loadModel;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.loadModelFromBytes;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.pieceToId;
import static ai.pemrix.sentencepiece.jni.SentencePieceLibrary.tokenize;

import ai.pemrix.engine.EngineException;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.stream.Stream;

/**
 * Drives liblexbridge from a real VM. Arguments: the library, spm_train, and the
 * training corpus. Both models are trained here, in a temporary directory, so the
 * run depends on nothing but its arguments. Ends with "N passed, M failed".
 */
public final class SentencePieceLibraryTest {

    private interface Case {
        void run() throws Exception;
    }

    /** A trained model: its file, its serialized bytes and its vocabulary size. */
    private record Model(String name, Path file, byte[] bytes, int vocabSize) {
    }

    /** Texts whose every character is in both models' vocabularies. */
    private static final String[] ROUND_TRIP_TEXTS = {
        "",
        "The choir plays a forgotten waltz while the audience waits.",
        "Good news travels fast 😀 and music faster 🎵🎶.",
        "The score shows a G clef 𝄞 above the staff 𝄢.",
        "音楽は心の言葉です。",
        "Café musicians play naïve tunes in the façade’s shade.",
        "Музыка звучит в тишине.",
    };

    /** Supplementary characters that are single pieces of the unigram model. */
    private static final String[] SUPPLEMENTARY_PIECES = {"😀", "🎵", "𝄞"};

    private final Path spmTrain;
    private final Path corpus;
    private final Path workDir;
    private final List<String> corpusLines;
    private int passed;
    private int failed;

    private SentencePieceLibraryTest(Path spmTrain, Path corpus, Path workDir) throws IOException {
        this.spmTrain = spmTrain;
        this.corpus = corpus;
        this.workDir = workDir;
        this.corpusLines = Files.readAllLines(corpus, StandardCharsets.UTF_8);
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 3) {
            System.out.println("usage: SentencePieceLibraryTest <liblexbridge.so> <spm_train> <corpus>");
            System.exit(2);
        }
        System.load(Path.of(args[0]).toAbsolutePath().toString());
        Path workDir = Files.createTempDirectory("lexbridge-test");
        int failures;
        try {
            SentencePieceLibraryTest test = new SentencePieceLibraryTest(Path.of(args[1]), Path.of(args[2]), workDir);
            failures = test.runAll();
        } finally {
            deleteTree(workDir);
        }
        System.exit(failures == 0 ? 0 : 1);
    }

    private int runAll() throws Exception {
        Model unigram = train("unigram", 200, "--model_type=unigram");
        Model bpe = train("bpe", 600, "--model_type=bpe", "--byte_fallback=true");
        List<Model> models = List.of(unigram, bpe);

        check("a model loads from its file and from its bytes, zero bytes included, with the same results",
                () -> loadsFromFileAndBytesAlike(models));
        check("a missing model file raises SentencePiece's status text", this::missingModelFile);
        check("a null model path is the empty path", this::nullModelPath);
        check("a corrupt model raises SentencePiece's status text", () -> corruptModel(unigram));
        check("encode/decode and tokenize/detokenize round trips keep every character", () -> roundTrips(models));
        check("characters outside the vocabulary round trip through byte pieces and unknown pieces",
                () -> outOfVocabularyRoundTrips(unigram, bpe));
        check("supplementary characters come back whole from tokenize and idToPiece",
                () -> supplementaryPieces(unigram));
        check("null text is the empty text", () -> nullTextIsEmpty(models));
        check("a null piece in detokenize is an empty piece", () -> nullPieceIsEmpty(models));
        check("decoded text ends at its first zero byte; tokenize keeps it", () -> zeroBytes(unigram, bpe));
        check("unknown ids raise EngineException naming the id; unknown pieces give the unknown id",
                () -> unknownIdsAndPieces(models));
        check("a processor without a model raises SentencePiece's status", this::processorWithoutModel);
        check("handle 0 raises EngineException for every method and deleting it does nothing", this::zeroHandle);
        check("null arrays raise EngineException", () -> nullArrays(unigram));
        check("several threads use separate processors at once", () -> separateProcessorsInThreads(models));
        check("several threads share one processor for encoding", () -> sharedProcessorInThreads(unigram));

        System.out.println(passed + " passed, " + failed + " failed");
        return failed;
    }

    private void check(String name, Case c) {
        try {
            c.run();
            passed++;
            System.out.println("ok   " + name);
        } catch (Throwable t) {
            failed++;
            System.out.println("FAIL " + name + ": " + t);
            t.printStackTrace(System.out);
        }
    }

    // ---- cases ----

    private void loadsFromFileAndBytesAlike(List<Model> models) {
        for (Model model : models) {
            assertTrue(indexOfZero(model.bytes()) >= 0, model.name() + " model has zero bytes inside");
            long fromFile = open(model, false);
            long fromBytes = open(model, true);
            try {
                for (String text : sample()) {
                    assertArrayEquals(encode(fromFile, text), encode(fromBytes, text), "ids of " + quote(text));
                    assertArrayEquals(tokenize(fromFile, text), tokenize(fromBytes, text), "pieces of " + quote(text));
                }
            } finally {
                deleteSentencePieceProcessor(fromFile);
                deleteSentencePieceProcessor(fromBytes);
            }
        }
    }

    /** The message carries the file name as it was given, characters outside the BMP included. */
    private void missingModelFile() {
        withProcessor(h -> {
            for (String name : List.of("no-such.model", "no-such-café.model", "no-such-🎵.model")) {
                String path = workDir.resolve(name).toString();
                String message = expectEngineException(() -> loadModel(h, path));
                assertEquals("Not found: \"" + path + "\": No such file or directory Error #2", message,
                        "message for " + quote(name));
            }
        });
    }

    private void nullModelPath() {
        withProcessor(h -> assertEquals(
                expectEngineException(() -> loadModel(h, "")),
                expectEngineException(() -> loadModel(h, null)),
                "message for a null path"));
    }

    private void corruptModel(Model model) throws IOException {
        byte[] truncated = Arrays.copyOf(model.bytes(), model.bytes().length / 2);
        Path file = workDir.resolve("truncated.model");
        Files.write(file, truncated);
        withProcessor(h -> {
            String fromBytes = expectEngineException(() -> loadModelFromBytes(h, truncated));
            String fromFile = expectEngineException(() -> loadModel(h, file.toString()));
            String garbage = expectEngineException(
                    () -> loadModelFromBytes(h, "not a model".getBytes(StandardCharsets.UTF_8)));
            for (String message : List.of(fromBytes, fromFile, garbage)) {
                assertTrue(message.startsWith("Internal: "), "message " + quote(message));
            }
            assertEquals(fromBytes, garbage, "same parse failure for any bad bytes");
        });
    }

    private void roundTrips(List<Model> models) {
        for (Model model : models) {
            withModel(model, h -> {
                List<String> texts = new ArrayList<>(Arrays.asList(ROUND_TRIP_TEXTS));
                texts.add(String.join(" ", corpusLines.subList(0, 12)));
                for (String text : texts) {
                    assertEquals(text, decode(h, encode(h, text)), model.name() + " decode(encode)");
                    assertEquals(text, detokenize(h, tokenize(h, text)), model.name() + " detokenize(tokenize)");
                }
            });
        }
    }

    private void outOfVocabularyRoundTrips(Model unigram, Model bpe) {
        String text = "A unicorn 🦄 joins the band 🦩 tonight.";
        withModel(bpe, h -> {
            int[] ids = encode(h, text);
            assertTrue(Arrays.stream(ids).anyMatch(id -> idToPiece(h, id).equals("<0xF0>")), "byte pieces used");
            assertEquals(text, decode(h, ids), "bpe decode(encode) through byte pieces");
        });
        withModel(unigram, h -> {
            String[] pieces = tokenize(h, text);
            assertTrue(Arrays.asList(pieces).contains("🦄"), "unknown character comes back as its own piece");
            assertEquals(text, detokenize(h, pieces), "unigram detokenize(tokenize) through unknown pieces");
        });
    }

    private void supplementaryPieces(Model unigram) {
        withModel(unigram, h -> {
            int unknown = pieceToId(h, "<unk>");
            for (String character : SUPPLEMENTARY_PIECES) {
                assertTrue(Arrays.asList(tokenize(h, "x " + character)).contains(character),
                        "tokenize gives the piece " + quote(character));
                int id = pieceToId(h, character);
                assertTrue(id != unknown, quote(character) + " is in the vocabulary");
                assertEquals(character, idToPiece(h, id), "idToPiece(" + id + ")");
                assertEquals(character, decode(h, new int[] {id}), "decode of " + id);
                assertEquals(character, detokenize(h, new String[] {character}), "detokenize of the piece");
            }
        });
    }

    private void nullTextIsEmpty(List<Model> models) {
        for (Model model : models) {
            withModel(model, h -> {
                assertArrayEquals(tokenize(h, ""), tokenize(h, null), "tokenize(null)");
                assertArrayEquals(encode(h, ""), encode(h, null), "encode(null)");
                assertEquals(0, encode(h, null).length, "ids of null text");
                assertEquals(pieceToId(h, ""), pieceToId(h, null), "pieceToId(null)");
            });
        }
    }

    private void nullPieceIsEmpty(List<Model> models) {
        for (Model model : models) {
            withModel(model, h -> {
                String[] pieces = tokenize(h, "The choir hums");
                String[] withNull = insert(pieces, 1, null);
                String[] withEmpty = insert(pieces, 1, "");
                assertEquals(detokenize(h, withEmpty), detokenize(h, withNull), model.name() + " null piece");
                assertEquals("The choir hums", detokenize(h, withNull), model.name() + " text around a null piece");
            });
        }
    }

    private void zeroBytes(Model unigram, Model bpe) {
        withModel(unigram, h -> {
            String[] pieces = tokenize(h, "a\u0000b c");
            assertEquals("▁a\u0000b▁c", String.join("", pieces), "pieces keep the zero character");
            assertEquals("a", detokenize(h, new String[] {"▁a", "\u0000", "b"}), "detokenize cut at zero");
        });
        withModel(bpe, h -> {
            int zeroByte = pieceToId(h, "<0x00>");
            int[] ids = concat(encode(h, "a"), new int[] {zeroByte}, encode(h, "b"));
            assertEquals("a", decode(h, ids), "decode cut at zero");
        });
    }

    private void unknownIdsAndPieces(List<Model> models) {
        for (Model model : models) {
            withModel(model, h -> {
                int size = model.vocabSize();
                assertTrue(idToPiece(h, size - 1) != null, "last id has a piece");
                for (int id : new int[] {size, -1, Integer.MAX_VALUE, Integer.MIN_VALUE}) {
                    String message = expectEngineException(() -> idToPiece(h, id));
                    assertTrue(message.contains("id " + id + " "), "idToPiece message " + quote(message));
                    String decodeMessage = expectEngineException(() -> decode(h, new int[] {1, id}));
                    assertEquals("Out of range: Invalid id: " + id, decodeMessage, "decode message");
                }
                assertEquals(0, pieceToId(h, "no-such-piece"), "unknown piece");
                assertEquals(0, pieceToId(h, "<unk>"), "id of <unk>");
            });
        }
    }

    private void processorWithoutModel() {
        withProcessor(h -> {
            List<Case> calls = List.of(
                    () -> tokenize(h, "text"),
                    () -> encode(h, "text"),
                    () -> detokenize(h, new String[] {"▁text"}),
                    () -> decode(h, new int[] {3}));
            for (Case call : calls) {
                String message = expectEngineException(call);
                assertTrue(message.startsWith("Internal: ") && message.endsWith("Model is not initialized."),
                        "message " + quote(message));
            }
        });
    }

    private void zeroHandle() {
        List<Case> calls = List.of(
                () -> loadModel(0, corpus.toString()),
                () -> loadModelFromBytes(0, new byte[] {1, 2, 3}),
                () -> tokenize(0, "text"),
                () -> encode(0, "text"),
                () -> detokenize(0, new String[] {"▁text"}),
                () -> decode(0, new int[] {1}),
                () -> idToPiece(0, 1),
                () -> pieceToId(0, "▁text"));
        for (Case call : calls) {
            String message = expectEngineException(call);
            assertTrue(message.contains("handle is 0"), "message " + quote(message));
        }
        deleteSentencePieceProcessor(0);
    }

    private void nullArrays(Model model) {
        withModel(model, h -> {
            assertTrue(expectEngineException(() -> loadModelFromBytes(h, null)).contains("is null"), "model bytes");
            assertTrue(expectEngineException(() -> detokenize(h, null)).contains("is null"), "pieces");
            assertTrue(expectEngineException(() -> decode(h, null)).contains("is null"), "ids");
            assertEquals("The choir", decode(h, encode(h, "The choir")), "processor still usable");
        });
    }

    private void separateProcessorsInThreads(List<Model> models) throws Exception {
        List<String> lines = corpusLines;
        List<int[][]> expected = new ArrayList<>();
        List<List<String>> expectedTexts = new ArrayList<>();
        for (Model model : models) {
            expected.add(withModelResult(model, h -> encodeAll(h, lines)));
            expectedTexts.add(withModelResult(model, h -> lines.stream().map(l -> decode(h, encode(h, l))).toList()));
        }
        List<Callable<Void>> jobs = new ArrayList<>();
        for (int t = 0; t < 4; t++) {
            int index = t % models.size();
            boolean fromBytes = t >= models.size();
            jobs.add(() -> {
                long h = open(models.get(index), fromBytes);
                try {
                    for (int round = 0; round < 3; round++) {
                        int[][] ids = encodeAll(h, lines);
                        for (int i = 0; i < lines.size(); i++) {
                            assertArrayEquals(expected.get(index)[i], ids[i], "ids of line " + i);
                            assertEquals(expectedTexts.get(index).get(i), decode(h, ids[i]), "text of line " + i);
                        }
                    }
                } finally {
                    deleteSentencePieceProcessor(h);
                }
                return null;
            });
        }
        runConcurrently(jobs);
    }

    private void sharedProcessorInThreads(Model model) throws Exception {
        long h = open(model, false);
        try {
            int[][] expected = encodeAll(h, corpusLines);
            List<Callable<Void>> jobs = new ArrayList<>();
            for (int t = 0; t < 4; t++) {
                jobs.add(() -> {
                    for (int round = 0; round < 5; round++) {
                        int[][] ids = encodeAll(h, corpusLines);
                        for (int i = 0; i < ids.length; i++) {
                            assertArrayEquals(expected[i], ids[i], "ids of line " + i);
                        }
                    }
                    return null;
                });
            }
            runConcurrently(jobs);
        } finally {
            deleteSentencePieceProcessor(h);
        }
    }

    // ---- models and processors ----

    private Model train(String name, int vocabSize, String... options) throws IOException, InterruptedException {
        Path prefix = workDir.resolve(name);
        List<String> command = new ArrayList<>(List.of(
                spmTrain.toString(),
                "--input=" + corpus,
                "--model_prefix=" + prefix,
                "--vocab_size=" + vocabSize,
                "--character_coverage=1.0",
                "--num_threads=2"));
        command.addAll(Arrays.asList(options));
        Path log = workDir.resolve(name + ".log");
        Process process = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(log.toFile()).start();
        if (process.waitFor() != 0) {
            throw new IOException("spm_train for " + name + " failed:\n" + Files.readString(log));
        }
        Path file = workDir.resolve(name + ".model");
        return new Model(name, file, Files.readAllBytes(file), vocabSize);
    }

    private static long open(Model model, boolean fromBytes) {
        long h = createSentencePieceProcessor();
        assertTrue(h != 0, "processor handle");
        try {
            if (fromBytes) {
                loadModelFromBytes(h, model.bytes());
            } else {
                loadModel(h, model.file().toString());
            }
        } catch (RuntimeException e) {
            deleteSentencePieceProcessor(h);
            throw e;
        }
        return h;
    }

    private interface HandleUse {
        void accept(long handle) throws Exception;
    }

    private interface HandleFunction<T> {
        T apply(long handle) throws Exception;
    }

    private static void withProcessor(HandleUse use) {
        long h = createSentencePieceProcessor();
        try {
            use.accept(h);
        } catch (RuntimeException | Error e) {
            throw e;
        } catch (Exception e) {
            throw new AssertionError(e);
        } finally {
            deleteSentencePieceProcessor(h);
        }
    }

    private static void withModel(Model model, HandleUse use) {
        withModelResult(model, h -> {
            use.accept(h);
            return null;
        });
    }

    private static <T> T withModelResult(Model model, HandleFunction<T> function) {
        long h = open(model, false);
        try {
            return function.apply(h);
        } catch (RuntimeException | Error e) {
            throw e;
        } catch (Exception e) {
            throw new AssertionError(e);
        } finally {
            deleteSentencePieceProcessor(h);
        }
    }

    private static int[][] encodeAll(long h, List<String> lines) {
        int[][] ids = new int[lines.size()][];
        for (int i = 0; i < ids.length; i++) {
            ids[i] = encode(h, lines.get(i));
        }
        return ids;
    }

    private List<String> sample() {
        List<String> texts = new ArrayList<>(corpusLines.subList(0, 30));
        texts.addAll(Arrays.asList(ROUND_TRIP_TEXTS));
        return texts;
    }

    private static void runConcurrently(List<Callable<Void>> jobs) throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(jobs.size());
        try {
            List<Future<Void>> futures = pool.invokeAll(jobs);
            for (Future<Void> future : futures) {
                future.get();
            }
        } finally {
            pool.shutdownNow();
        }
    }

    // ---- assertions and small utilities ----

    private static String expectEngineException(Case call) {
        try {
            call.run();
        } catch (EngineException e) {
            assertTrue(e.getMessage() != null, "EngineException has a message");
            return e.getMessage();
        } catch (Exception e) {
            throw new AssertionError("expected EngineException, got " + e, e);
        }
        throw new AssertionError("expected EngineException, nothing was raised");
    }

    private static void assertTrue(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError("not true: " + what);
        }
    }

    private static void assertEquals(Object expected, Object actual, String what) {
        if (!java.util.Objects.equals(expected, actual)) {
            throw new AssertionError(what + ": expected " + show(expected) + " but got " + show(actual));
        }
    }

    private static void assertArrayEquals(int[] expected, int[] actual, String what) {
        if (!Arrays.equals(expected, actual)) {
            throw new AssertionError(what + ": expected " + Arrays.toString(expected) + " but got "
                    + Arrays.toString(actual));
        }
    }

    private static void assertArrayEquals(String[] expected, String[] actual, String what) {
        if (!Arrays.equals(expected, actual)) {
            throw new AssertionError(what + ": expected " + show(expected) + " but got " + show(actual));
        }
    }

    private static String show(Object value) {
        if (value instanceof String s) {
            return quote(s);
        }
        if (value instanceof String[] array) {
            return Arrays.stream(array).map(p -> p == null ? "null" : quote(p)).toList().toString();
        }
        return String.valueOf(value);
    }

    /** Quoted, with every non-ASCII or control character as its code point, so faults are visible. */
    private static String quote(String s) {
        StringBuilder out = new StringBuilder("\"");
        s.codePoints().forEach(cp -> {
            if (cp >= 0x20 && cp < 0x7f) {
                out.appendCodePoint(cp);
            } else {
                out.append(String.format("\\u{%X}", cp));
            }
        });
        return out.append('"').toString();
    }

    private static int indexOfZero(byte[] bytes) {
        for (int i = 0; i < bytes.length; i++) {
            if (bytes[i] == 0) {
                return i;
            }
        }
        return -1;
    }

    private static String[] insert(String[] array, int index, String value) {
        List<String> list = new ArrayList<>(Arrays.asList(array));
        list.add(index, value);
        return list.toArray(new String[0]);
    }

    private static int[] concat(int[]... parts) {
        return Arrays.stream(parts).flatMapToInt(Arrays::stream).toArray();
    }

    private static void deleteTree(Path root) throws IOException {
        try (Stream<Path> paths = Files.walk(root)) {
            for (Path path : paths.sorted(Comparator.reverseOrder()).toList()) {
                Files.deleteIfExists(path);
            }
        }
    }
}
