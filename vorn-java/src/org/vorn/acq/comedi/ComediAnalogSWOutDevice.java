// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

import org.vorn.exception.ComediException;

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

    /**
     * Opens the first analog output subdevice of {@code device} for {@code nChannels} channels.
     *
     * @param device    the device path
     * @param nChannels the positions of a write, 0 to 255
     */
    public ComediAnalogSWOutDevice(String device, int nChannels) {
        this(device, FIRST_ANALOG_OUTPUT, nChannels);
    }

    /**
     * As above, on analog output subdevice {@code subdevice} (see {@link ComediDeviceInfo}), or the
     * first one with {@link #FIRST_ANALOG_OUTPUT}.
     *
     * @param device    the device path
     * @param subdevice the subdevice index, or {@link #FIRST_ANALOG_OUTPUT}
     * @param nChannels the positions of a write, 0 to 255
     */
    public ComediAnalogSWOutDevice(String device, int subdevice, int nChannels) {
        super(device, nChannels);
        requireSubdeviceChoice(subdevice);
        attach(created(() -> subdevice == FIRST_ANALOG_OUTPUT ? nCreateTask(device, nChannels)
                : nCreateTaskOn(device, subdevice, nChannels)));
    }

    /** The first analog output subdevice of the device: the subdevice choice of the shorter constructor. */
    public static final int FIRST_ANALOG_OUTPUT = -1;

    /**
     * Writes the voltages in {@code volts}: a direct, native-order buffer, value i at byte 8 × i.
     * A NaN is refused (IllegalArgumentException) before anything is written.
     *
     * @param volts the voltages, in position order
     */
    public void write(ByteBuffer volts) {
        requireDataBuffer(volts, 8L * nChannels, "value");
        for (int i = 0; i < nChannels; i++) {
            requireNumber(i, volts.getDouble(8 * i));
        }
        ByteBuffer h = lockConfigured("write()");
        try {
            nWrite(h, volts);
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    /**
     * Writes the first {@code getChannelCount()} voltages of {@code volts}. A NaN is refused
     * (IllegalArgumentException) before anything is written.
     *
     * @param volts the voltages, in position order
     */
    public void write(double... volts) {
        requireLength(volts.length, nChannels, "value array");
        for (int i = 0; i < nChannels; i++) {
            requireNumber(i, volts[i]);
        }
        ByteBuffer h = lockConfigured("write()");
        try {
            ByteBuffer buf = scratch(8 * nChannels);
            buf.asDoubleBuffer().put(volts, 0, nChannels);
            nWrite(h, buf);
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    /** A voltage has no code when it is not a number: refused as the argument it is, before the driver. */
    private void requireNumber(int position, double volts) {
        if (Double.isNaN(volts)) {
            throw new IllegalArgumentException("device " + getDevice() + ": value " + position
                    + " is NaN; a voltage to write must be a number");
        }
    }

    native ByteBuffer nCreateTask(String devString, int nChannels);

    native ByteBuffer nCreateTaskOn(String devString, int subdevice, int nChannels);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nWrite(ByteBuffer handle, ByteBuffer buf);

    native void nDestroy(ByteBuffer handle);
}
