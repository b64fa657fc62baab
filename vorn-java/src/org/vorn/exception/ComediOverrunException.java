// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/**
 * The driver's buffer filled before the stream was read: the driver stopped the command, and every
 * sample converted before the overrun has been delivered. The stream has ended; stop it and start
 * it again.
 */
public class ComediOverrunException extends ComediException {
    private static final long serialVersionUID = 1L;

    /** The device whose stream overran. */
    private final String device;
    /** Samples delivered before the overrun. */
    private final long samplesDelivered;
    /** Whole scans among them. */
    private final long scansDelivered;
    /** The size of the driver's buffer, -1 when unknown. */
    private final int driverBufferBytes;

    /**
     * Only the library raises it; this constructor stays for programs built against 0.1.
     *
     * @param device            the device path
     * @param samplesDelivered  samples delivered before the overrun
     * @param channels          positions of a scan
     * @param driverBufferBytes the size of the driver's buffer
     * @param driverMessage     a report to put before the message, or null
     * @deprecated only the library creates overrun exceptions
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public ComediOverrunException(String device, long samplesDelivered, int channels, int driverBufferBytes,
            String driverMessage) {
        this(device, samplesDelivered, channels, driverBufferBytes, driverMessage, 0);
    }

    /** The library's: the overrun as a read's condition, with what it cost beyond the stream's end (or null). */
    ComediOverrunException(String device, String lostSample, long samplesDelivered, int channels,
            int driverBufferBytes) {
        this(device, samplesDelivered, channels, driverBufferBytes, lostSample, 0);
    }

    private ComediOverrunException(String device, long samplesDelivered, int channels, int driverBufferBytes,
            String driverMessage, int errorNumber) {
        super((driverMessage == null ? "Overrun" : driverMessage + ": overrun") + " on " + device
                + ": the driver's buffer of " + driverBufferBytes + " bytes filled after " + samplesDelivered
                + " samples (" + samplesDelivered / channels + " whole scans of " + channels
                + " channels) had been delivered; the stream has ended and must be stopped and started again", errorNumber);
        this.device = device;
        this.samplesDelivered = samplesDelivered;
        this.scansDelivered = samplesDelivered / channels;
        this.driverBufferBytes = driverBufferBytes;
    }

    /**
     * The path of the device whose stream overran.
     *
     * @return the device path
     */
    public String getDevice() {
        return device;
    }

    /**
     * Samples of the stream delivered to Java before the overrun, every one of them valid.
     *
     * @return the samples delivered
     */
    public long getSamplesDelivered() {
        return samplesDelivered;
    }

    /**
     * Whole scans among them.
     *
     * @return the whole scans delivered
     */
    public long getScansDelivered() {
        return scansDelivered;
    }

    /**
     * The size of the driver's buffer that filled.
     *
     * @return bytes, or -1 when the driver could not tell
     */
    public int getDriverBufferBytes() {
        return driverBufferBytes;
    }
}
