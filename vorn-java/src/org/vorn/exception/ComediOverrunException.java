package org.vorn.exception;

/**
 * The driver's buffer filled before the stream was read: the driver stopped the command, and every
 * sample converted before the overrun has been delivered. The stream has ended; stop it and start
 * it again.
 */
public class ComediOverrunException extends ComediException {
    private static final long serialVersionUID = 1L;

    private final String device;
    private final long samplesDelivered;
    private final long scansDelivered;
    private final int driverBufferBytes;

    /**
     * @param driverMessage the library's own report of the overrun, kept as the message's prefix;
     *                      null when the overrun came as a read's condition
     */
    public ComediOverrunException(String device, long samplesDelivered, int channels, int driverBufferBytes,
            String driverMessage) {
        super((driverMessage == null ? "Overrun" : driverMessage + ": overrun") + " on " + device
                + ": the driver's buffer of " + driverBufferBytes + " bytes filled after " + samplesDelivered
                + " samples (" + samplesDelivered / channels + " whole scans of " + channels
                + " channels) had been delivered; the stream has ended and must be stopped and started again");
        this.device = device;
        this.samplesDelivered = samplesDelivered;
        this.scansDelivered = samplesDelivered / channels;
        this.driverBufferBytes = driverBufferBytes;
    }

    public String getDevice() {
        return device;
    }

    /** Samples of the stream delivered to Java before the overrun, every one of them valid. */
    public long getSamplesDelivered() {
        return samplesDelivered;
    }

    /** Whole scans among them. */
    public long getScansDelivered() {
        return scansDelivered;
    }

    /** The size of the driver's buffer that filled. */
    public int getDriverBufferBytes() {
        return driverBufferBytes;
    }
}
