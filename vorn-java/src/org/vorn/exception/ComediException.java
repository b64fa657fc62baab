// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/**
 * The driver or comedilib failed: the message carries comedilib's (or the system's) error text
 * and the device, and {@link #getErrorNumber()} the error number, so that a program tells EBUSY
 * from EIO without reading the text.
 */
public class ComediException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** comedilib's error number when the failure came from it, 0 when none applies. */
    private final int errorNumber;

    /**
     * A failure without an error number; the native library raises most of its failures this way.
     *
     * @param message what failed
     */
    public ComediException(String message) {
        this(message, 0, null);
    }

    /** A failure with comedilib's error number ({@code comedi_errno()}); the natives call it too. */
    ComediException(String message, int errorNumber) {
        this(message, errorNumber, null);
    }

    /** A failure with its error number and the failure it explains. */
    ComediException(String message, int errorNumber, Throwable cause) {
        super(message, cause);
        this.errorNumber = errorNumber;
    }

    /**
     * The error number of the failure: comedilib's {@code comedi_errno()} right after the call that
     * failed (a system {@code errno} such as 16 for EBUSY, or one of comedilib's own above 0x1000),
     * or a system {@code errno} of a read; 0 when the failure has none.
     *
     * @return the error number, or 0
     */
    public int getErrorNumber() {
        return errorNumber;
    }
}
