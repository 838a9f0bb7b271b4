package ai.pemrix.engine;

/** Raised by the native engine libraries; lexbridge raises it for every failure. */
public class EngineException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public EngineException(String message) {
        super(message);
    }
}
