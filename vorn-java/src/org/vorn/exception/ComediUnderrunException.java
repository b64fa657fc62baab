// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/**
 * The board took its next output scan before the program had written it: the driver stopped the
 * output command (the outputs hold the last scan that went out), and every scan written before was
 * output. The output twin of {@link ComediOverrunException}; raised by the write after the buffer
 * ran dry, and by every write after that until the output is started again.
 */
public class ComediUnderrunException extends ComediException {
    /** The version of the serialized form. */
    private static final long serialVersionUID = 1L;

    /** The device path. */
    private final String device;
    /** Scans output before the buffer ran dry. */
    private final long scansDelivered;
    /** The size of the driver's buffer. */
    private final int driverBufferBytes;

    /** Made by the library alone, as every exception of this package. */
    ComediUnderrunException(String device, long scansDelivered, int channels, int driverBufferBytes) {
        super("Underrun on " + device + ": the driver's buffer of " + driverBufferBytes + " bytes ran dry after "
                + scansDelivered + " scans of " + channels + " channels had been output; the outputs hold the last"
                + " of them, and the output must be stopped and started again");
        this.device = device;
        this.scansDelivered = scansDelivered;
        this.driverBufferBytes = driverBufferBytes;
    }

    /**
     * The device whose output ran dry.
     *
     * @return the device path
     */
    public String getDevice() {
        return device;
    }

    /**
     * Whole scans the board output before it ran dry: every scan written.
     *
     * @return the scans put out before the buffer ran dry
     */
    public long getScansDelivered() {
        return scansDelivered;
    }

    /**
     * The size of the driver's buffer that ran dry.
     *
     * @return the driver buffer size in bytes
     */
    public int getDriverBufferBytes() {
        return driverBufferBytes;
    }
}
