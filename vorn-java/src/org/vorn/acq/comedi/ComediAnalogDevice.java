package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/** The channel configuration that the three analog devices share: scan or write position, hardware channel, range, reference. */
abstract class ComediAnalogDevice extends ComediDevice {
    /** The positions the device was opened for: as asked, the native creation refuses a count it cannot hold. */
    final int nChannels;

    ComediAnalogDevice(String device, int nChannels) {
        super(device);
        this.nChannels = nChannels;
    }

    /**
     * Makes position {@code index} (0 to 255) use hardware channel {@code channel}, in the smallest
     * voltage range that covers [{@code minVolts}, {@code maxVolts}].
     */
    public final void configureChannel(int index, int channel, double minVolts, double maxVolts,
            AnalogReference reference) {
        configureChannel(index, channel, minVolts, maxVolts, reference.nativeName());
    }

    /**
     * As above, with the reference by name: "ground", "common", "diff" or "other" (anything else
     * means "diff"). {@code index} must be below {@link #getChannelCount()}, {@code minVolts} below
     * {@code maxVolts}; a streaming device refuses it while its stream runs.
     */
    public final void configureChannel(int index, int channel, double minVolts, double maxVolts, String reference) {
        short hardware = hardwareChannel(channel);
        ByteBuffer h = lockHandle();
        try {
            int positions = requirePosition(index);
            if (!(minVolts < maxVolts)) {
                throw new IllegalArgumentException("device " + getDevice() + ", position " + index + ": the range ["
                        + minVolts + ", " + maxVolts + "] V is empty; minVolts must be a number below maxVolts");
            }
            if (isRunning()) {
                throw new IllegalStateException("device " + getDevice() + ": position " + index
                        + " cannot be configured while the stream runs (the board keeps the running command's"
                        + " channels); stop() it first");
            }
            nCreateChannels(h, index, hardware, minVolts, maxVolts, reference);
            markConfigured(index, positions);
        } finally {
            unlock();
        }
    }

    /** {@code index} is one of the device's positions; returns their count. */
    private int requirePosition(int index) {
        int positions = getChannelCount();
        if (index < 0 || index >= positions) {
            throw new IllegalArgumentException("device " + getDevice() + ": position " + index + " is outside 0.."
                    + (positions - 1) + " (the device was opened for " + positions + " channels)");
        }
        return positions;
    }

    /** The number of positions the device was opened for. */
    public final int getChannelCount() {
        return nChannels;
    }

    /** Lock held: a stream is running; nothing else ever runs. */
    boolean isRunning() {
        return false;
    }

    /** Lock held. Positions configured so far; null before the first configureChannel. */
    private boolean[] configured;
    /** Lock held. Positions still unconfigured; -1 before the first configureChannel. */
    private int unconfigured = -1;

    private void markConfigured(int index, int positions) {
        if (configured == null) {
            configured = new boolean[positions];
            unconfigured = positions;
        }
        if (!configured[index]) {
            configured[index] = true;
            unconfigured--;
        }
    }

    /**
     * Lock held: every position has been configured, or IllegalStateException naming those that
     * have not, before {@code call} uses them.
     */
    final void requireConfigured(String call) {
        if (unconfigured == 0) {
            return;
        }
        int positions = getChannelCount();
        StringBuilder missing = new StringBuilder();
        int count = 0;
        for (int i = 0; i < positions; i++) {
            if (configured == null || !configured[i]) {
                missing.append(count++ == 0 ? "" : ", ").append(i);
            }
        }
        if (count == 0) {
            unconfigured = 0;
            return;
        }
        throw new IllegalStateException("device " + getDevice() + ": " + (count == 1 ? "position " : "positions ")
                + missing + " of 0.." + (positions - 1) + (count == 1 ? " is" : " are")
                + " not configured; call configureChannel for every position before " + call);
    }

    /**
     * {@link #lockHandle()}, then {@link #requireConfigured(String)}: the handle for {@code call},
     * with the lock held; a refusal gives the lock back before it raises.
     */
    final ByteBuffer lockConfigured(String call) {
        ByteBuffer h = lockHandle();
        try {
            requireConfigured(call);
        } catch (Throwable refused) {
            unlock();
            throw refused;
        }
        return h;
    }

    /**
     * What position {@code index} got from {@code configureChannel}: its channel, the range comedilib
     * chose with its ends and unit, and the maximum raw value; null while the position is not configured.
     */
    public final ComediChannelRange channelRange(int index) {
        double[] fields = new double[CHANNEL_RANGE_FIELDS];
        ByteBuffer h = lockHandle();
        try {
            int positions = requirePosition(index);
            if (!nChannelRange(h, index, fields)) {
                return null;
            }
        } finally {
            unlock();
        }
        return new ComediChannelRange((int) fields[4], (int) fields[5],
                ComediRange.of(fields[0], fields[1], (int) fields[2]), (long) fields[3],
                AnalogReference.values()[(int) fields[6]]); // AREF_GROUND, COMMON, DIFF, OTHER: 0 to 3
    }

    /** min, max, unit word, maximum raw value, channel, range index, reference (analog_channel.cpp). */
    private static final int CHANNEL_RANGE_FIELDS = 7;

    static native boolean nChannelRange(ByteBuffer handle, int index, double[] out);

    abstract void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    // The names of the API conventions (README); the 0.1 names above answer the same.

    /**
     * The scan or write positions the device was opened for: values a scan holds, or voltages a
     * write takes.
     *
     * @return the position count, as {@link #getChannelCount()}
     */
    public final int getPositionCount() {
        return nChannels;
    }

    /**
     * What position {@code position} got from {@code configureChannel}: its hardware channel, the
     * range comedilib chose, the largest raw code and the reference, with the conversion of its
     * raw codes ({@link ComediChannelRange#toVolts(long)}).
     *
     * @param position a position, 0 to {@code getPositionCount() - 1}
     * @return the position's conversion, or null while it is not configured
     * @throws IllegalArgumentException if the position is outside the device's positions
     * @throws IllegalStateException    if the device is closed
     */
    public final ComediChannelRange getChannelRange(int position) {
        return channelRange(position);
    }
}
