// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

import org.vorn.exception.ComediException;

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

    /**
     * Opens the first analog input subdevice of {@code device} for a scan of {@code nChannels} channels.
     *
     * @param device    the device path
     * @param nChannels the positions of a scan, 0 to 255
     */
    public ComediAnalogSamplingDevice(String device, int nChannels) {
        this(device, FIRST_ANALOG_INPUT, nChannels);
    }

    /**
     * As above, on analog input subdevice {@code subdevice} (see {@link ComediDeviceInfo}), or the
     * first one with {@link #FIRST_ANALOG_INPUT}.
     *
     * @param device    the device path
     * @param subdevice the subdevice index, or {@link #FIRST_ANALOG_INPUT}
     * @param nChannels the positions of a scan, 0 to 255
     */
    public ComediAnalogSamplingDevice(String device, int subdevice, int nChannels) {
        super(device, nChannels);
        requireSubdeviceChoice(subdevice);
        attach(created(() -> subdevice == FIRST_ANALOG_INPUT ? nCreateTask(device, nChannels)
                : nCreateTaskOn(device, subdevice, nChannels)));
    }

    /** The first analog input subdevice of the device: the subdevice choice of the shorter constructor. */
    public static final int FIRST_ANALOG_INPUT = -1;

    /**
     * Reads one scan into {@code volts}: a direct, native-order buffer, value i at byte 8 × i.
     *
     * @param volts the buffer for the scan
     */
    public void scan(ByteBuffer volts) {
        requireDataBuffer(volts, 8L * nChannels, "scan");
        requireWritable(volts, "scan");
        long h = lockConfiguredAddress("scan()");
        try {
            nScanAt(h, address(volts));
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    /**
     * Reads one scan into the first {@code getChannelCount()} elements of {@code volts}.
     *
     * @param volts the array for the scan
     */
    public void scan(double[] volts) {
        requireLength(volts.length, nChannels, "scan array");
        long h = lockConfiguredAddress("scan()");
        try {
            nScanAt(h, scratchAddress(8 * nChannels));
            scratch(8 * nChannels).asDoubleBuffer().get(volts, 0, nChannels);
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    /**
     * Reads one scan and returns it as a new array.
     *
     * @return the scan's volts, in position order
     */
    public double[] scan() {
        double[] volts = new double[nChannels];
        scan(volts);
        return volts;
    }

    native ByteBuffer nCreateTask(String devString, int nChannels);

    native ByteBuffer nCreateTaskOn(String devString, int subdevice, int nChannels);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nScan(ByteBuffer handle, ByteBuffer buf);

    /** nScan on the record at {@code handle} into the memory at {@code volts}, both checked by the caller. */
    static native void nScanAt(long handle, long volts);

    native void nDestroy(ByteBuffer handle);
}
