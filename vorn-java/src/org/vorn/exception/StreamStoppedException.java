// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/**
 * A read of a stream that {@code stop()} ended, on the reading thread or another: the program's
 * own action, not a fault, which a {@link ComediException} would report. {@code start()} runs the
 * stream again.
 */
public class StreamStoppedException extends DeviceStateException {
    private static final long serialVersionUID = 1L;

    /**
     * The library's own; kept open to the deprecated class of the same name in
     * {@code org.vorn.acq.comedi}.
     *
     * @param device the device path
     */
    protected StreamStoppedException(String device) {
        super(device, "the stream of " + device + " is stopped");
    }
}
