package org.quenmoor.hardware;

/** Raised by the native GPU bridge for every failed driver or compiler step. */
public class HardwareException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public HardwareException(String message) {
        super(message);
    }
}
