package org.vorn.exception;

/**
 * The board took its next output scan before the program had written it: the driver stopped the
 * output command (the outputs hold the last scan that went out), and every scan written before was
 * output. The output twin of {@link ComediOverrunException}; raised by the write after the buffer
 * ran dry, and by every write after that until the output is started again.
 */
public class ComediUnderrunException extends ComediException {
    private static final long serialVersionUID = 1L;

    private final String device;
    private final long scansDelivered;
    private final int driverBufferBytes;

    /**
     * Public as {@link ComediOverrunException}'s is, because the streaming output that raises it
     * lives in another package; applications have no reason to make one.
     *
     * @param device            the device path
     * @param scansDelivered    scans output before the buffer ran dry
     * @param channels          channels in a scan
     * @param driverBufferBytes size of the driver's buffer
     */
    public ComediUnderrunException(String device, long scansDelivered, int channels, int driverBufferBytes) {
        super("Underrun on " + device + ": the driver's buffer of " + driverBufferBytes + " bytes ran dry after "
                + scansDelivered + " scans of " + channels + " channels had been output; the outputs hold the last"
                + " of them, and the output must be stopped and started again");
        this.device = device;
        this.scansDelivered = scansDelivered;
        this.driverBufferBytes = driverBufferBytes;
    }

    public String getDevice() {
        return device;
    }

    /** Whole scans the board output before it ran dry: every scan written. */
    public long getScansDelivered() {
        return scansDelivered;
    }

    /** The size of the driver's buffer that ran dry. */
    public int getDriverBufferBytes() {
        return driverBufferBytes;
    }
}
