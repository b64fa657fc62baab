package org.vorn.exception;

/** Raised by the native library for every device failure; the message carries the device name and comedilib's error text. */
public class ComediException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public ComediException(String message) {
        super(message);
    }
}
