package ai.pemrix.sentencepiece.jni;

/**
 * Native methods implemented by liblexbridge. A processor is a handle that the
 * caller owns from createSentencePieceProcessor until it passes it, exactly once,
 * to deleteSentencePieceProcessor. Every failure is an ai.pemrix.engine.EngineException.
 * The library must be loaded (System.load) before the first call.
 */
public final class SentencePieceLibrary {
    private SentencePieceLibrary() {
    }

    public static native long createSentencePieceProcessor();

    public static native void loadModel(long handle, String modelPath);

    public static native void loadModelFromBytes(long handle, byte[] serializedModel);

    public static native void deleteSentencePieceProcessor(long handle);

    public static native String[] tokenize(long handle, String text);

    public static native int[] encode(long handle, String text);

    public static native String detokenize(long handle, String[] pieces);

    public static native String decode(long handle, int[] ids);

    public static native String idToPiece(long handle, int id);

    public static native int pieceToId(long handle, String piece);
}
