package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/**
 * Hardware-timed continuous analog input. The board scans the configured channels at a fixed rate
 * into the driver's buffer; {@link #read} drains what has arrived, converted to volts, without
 * waiting. Values come in arrival order, cycling through the channel positions, and a read that
 * ends in the middle of a scan is continued at the right position by the next.
 *
 * <pre>
 * try (var ai = new ComediAnalogStreamingDevice("/dev/comedi0", 2, 1000.0, 4096)) {
 *     ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ai.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
 *     ai.configure();              // tests the command; the device is closed afterwards
 *     ai.start();
 *     double[] volts = new double[ai.getBufferSize()];
 *     int n = ai.read(volts);      // 0 when nothing has arrived yet
 *     ai.stop();
 * }
 * </pre>
 * The driver's buffer must be drained often enough that it never fills: an overrun is reported as
 * a {@link org.vorn.exception.ComediException} once the samples before it have been read.
 */
public final class ComediAnalogStreamingDevice extends ComediAnalogDevice {
    private final int nChannels;
    private final int bufSize;

    /**
     * Opens the first analog input subdevice of {@code device} and builds a command that scans
     * {@code nChannels} channels {@code scanRateHz} times a second; one {@link #read} returns at
     * most {@code bufSize} values.
     */
    public ComediAnalogStreamingDevice(String device, int nChannels, double scanRateHz, int bufSize) {
        super(device);
        this.nChannels = nChannels;
        this.bufSize = bufSize;
        attach(nCreateTask(device, nChannels, scanRateHz, bufSize));
    }

    public int getChannelCount() {
        return nChannels;
    }

    /** The most values one {@link #read} returns. */
    public int getBufferSize() {
        return bufSize;
    }

    /**
     * Has the driver test the command (correcting its timing to what the board can do), writing
     * the trace to standard output, and closes the device. Call once, after every channel is
     * configured.
     */
    public void configure() {
        nConfigTask(handle());
    }

    /** Opens the device and starts the acquisition, from scan position 0. */
    public void start() {
        nStart(handle());
    }

    /**
     * Converts what has arrived into {@code volts} (a direct, native-order buffer with room for
     * {@link #getBufferSize()} doubles) and returns how many values it wrote, 0 when none.
     */
    public int read(ByteBuffer volts) {
        requireDataBuffer(volts, 8L * bufSize, "sample");
        requireWritable(volts, "sample");
        return nScan(handle(), volts);
    }

    /** Converts what has arrived into {@code volts} (at least {@link #getBufferSize()} long) and returns the count. */
    public int read(double[] volts) {
        requireLength(volts.length, bufSize, "sample array");
        ByteBuffer buf = scratch(8 * bufSize);
        int n = nScan(handle(), buf);
        buf.asDoubleBuffer().get(volts, 0, n);
        return n;
    }

    /** Cancels the acquisition and closes the device; {@link #start()} may run it again. */
    public void stop() {
        nStop(handle());
    }

    @Override
    void destroy(ByteBuffer handle) {
        nDestroy(handle);
    }

    native ByteBuffer nCreateTask(String devString, int nChannels, double freq, int bufSize);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nConfigTask(ByteBuffer handle);

    native void nStart(ByteBuffer handle);

    native int nScan(ByteBuffer handle, ByteBuffer buf);

    native void nStop(ByteBuffer handle);

    native void nDestroy(ByteBuffer handle);
}
