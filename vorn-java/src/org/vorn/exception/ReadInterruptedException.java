// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/**
 * The thread of a waiting read was interrupted ({@link Thread#interrupt()}) before the read had
 * anything to return. The read consumed nothing: the stream still runs, and the next read
 * continues where the last one ended. The thread's interrupt status stays set, as
 * {@link java.nio.channels.InterruptibleChannel} leaves it.
 */
public class ReadInterruptedException extends DeviceStateException {
    private static final long serialVersionUID = 1L;

    ReadInterruptedException(String device) {
        super(device, "a waiting read of " + device + " was interrupted");
    }
}
