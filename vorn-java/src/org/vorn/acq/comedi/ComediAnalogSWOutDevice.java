package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/**
 * Software-timed analog output: every {@link #write} sets each configured channel to a new
 * voltage, all channels in one call to the driver. Voltages beyond a channel's range are written
 * as the nearest end of the range.
 *
 * <pre>
 * try (var ao = new ComediAnalogSWOutDevice("/dev/comedi0", 2)) {
 *     ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ao.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
 *     ao.write(1.25, -3.5);
 * }
 * </pre>
 */
public final class ComediAnalogSWOutDevice extends ComediAnalogDevice {

    /** Opens the first analog output subdevice of {@code device} for {@code nChannels} channels. */
    public ComediAnalogSWOutDevice(String device, int nChannels) {
        super(device, nChannels);
        attach(nCreateTask(device, nChannels));
    }

    /** Writes the voltages in {@code volts}: a direct, native-order buffer, value i at byte 8 × i. */
    public void write(ByteBuffer volts) {
        requireDataBuffer(volts, 8L * nChannels, "value");
        ByteBuffer h = lockConfigured("write()");
        try {
            nWrite(h, volts);
        } finally {
            unlock();
        }
    }

    /** Writes the first {@code getChannelCount()} voltages of {@code volts}. */
    public void write(double... volts) {
        requireLength(volts.length, nChannels, "value array");
        ByteBuffer h = lockConfigured("write()");
        try {
            ByteBuffer buf = scratch(8 * nChannels);
            buf.asDoubleBuffer().put(volts, 0, nChannels);
            nWrite(h, buf);
        } finally {
            unlock();
        }
    }

    native ByteBuffer nCreateTask(String devString, int nChannels);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nWrite(ByteBuffer handle, ByteBuffer buf);

    native void nDestroy(ByteBuffer handle);
}
