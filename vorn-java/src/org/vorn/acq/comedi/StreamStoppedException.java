package org.vorn.acq.comedi;

/**
 * Raised by a read of a {@link ComediAnalogStreamingDevice} whose stream {@code stop()} ended, on
 * the reading thread or another: a user's action, not a fault of the device, which a
 * {@link org.vorn.exception.ComediException} would report. {@code start()} runs the stream again.
 */
public class StreamStoppedException extends IllegalStateException {
    private static final long serialVersionUID = 1L;

    public StreamStoppedException(String device) {
        super("the stream of " + device + " is stopped");
    }
}
