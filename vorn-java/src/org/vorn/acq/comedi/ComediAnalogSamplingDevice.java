package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/**
 * Software-timed analog input: every {@link #scan} reads one value from each configured channel,
 * in channel-index order, converted to volts.
 *
 * <pre>
 * try (var ai = new ComediAnalogSamplingDevice("/dev/comedi0", 2)) {
 *     ai.configureChannel(0, 5, -10, 10, AnalogReference.GROUND);
 *     ai.configureChannel(1, 0, -1, 1, AnalogReference.DIFF);
 *     double[] volts = ai.scan();
 * }
 * </pre>
 */
public final class ComediAnalogSamplingDevice extends ComediAnalogDevice {

    /** Opens the first analog input subdevice of {@code device} for a scan of {@code nChannels} channels. */
    public ComediAnalogSamplingDevice(String device, int nChannels) {
        super(device, nChannels);
        attach(nCreateTask(device, nChannels));
    }

    /** Reads one scan into {@code volts}: a direct, native-order buffer, value i at byte 8 × i. */
    public void scan(ByteBuffer volts) {
        requireDataBuffer(volts, 8L * nChannels, "scan");
        requireWritable(volts, "scan");
        ByteBuffer h = lockConfigured("scan()");
        try {
            nScan(h, volts);
        } finally {
            unlock();
        }
    }

    /** Reads one scan into the first {@code getChannelCount()} elements of {@code volts}. */
    public void scan(double[] volts) {
        requireLength(volts.length, nChannels, "scan array");
        ByteBuffer h = lockConfigured("scan()");
        try {
            ByteBuffer buf = scratch(8 * nChannels);
            nScan(h, buf);
            buf.asDoubleBuffer().get(volts, 0, nChannels);
        } finally {
            unlock();
        }
    }

    /** Reads one scan and returns it as a new array. */
    public double[] scan() {
        double[] volts = new double[nChannels];
        scan(volts);
        return volts;
    }

    native ByteBuffer nCreateTask(String devString, int nChannels);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nScan(ByteBuffer handle, ByteBuffer buf);

    native void nDestroy(ByteBuffer handle);
}
