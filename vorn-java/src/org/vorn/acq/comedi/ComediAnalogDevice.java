// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.nio.file.Path;
import java.util.Objects;

import org.vorn.exception.ComediException;

/**
 * Any analog device: a list of positions (the scan or write order), each configured with a
 * hardware channel, the smallest range that covers the voltages asked for, and a reference.
 *
 * <p>Threads: as every {@link ComediDevice}, any thread may call any method; calls on one device
 * run one at a time, and {@link #close()} may come from any thread at any time.
 */
public abstract sealed class ComediAnalogDevice extends ComediDevice
        permits ComediAnalogStreamingDevice, ComediAnalogStreamingOutDevice, ComediAnalogSamplingDevice,
        ComediAnalogSWOutDevice {
    /** The positions the device was opened for: as asked, the native creation refuses a count it cannot hold. */
    final int nChannels;

    ComediAnalogDevice(String device, int nChannels) {
        super(device);
        this.nChannels = nChannels;
    }

    /**
     * Makes position {@code index} use hardware channel {@code channel}, in the smallest voltage
     * range that covers [{@code minVolts}, {@code maxVolts}]. {@code index} must be below
     * {@link #getChannelCount()}, {@code minVolts} below {@code maxVolts}. A position may be
     * configured again at any time but while a stream runs (a
     * {@link org.vorn.exception.DeviceStateException} then): a streaming device then needs
     * {@code configure()} again before its next start. A range the device lacks raises
     * {@link org.vorn.exception.SettingRefusedException}.
     *
     * @param index     the position, 0 to {@code getChannelCount() - 1}
     * @param channel   the hardware channel
     * @param minVolts  the lowest voltage the range must hold
     * @param maxVolts  the highest voltage the range must hold
     * @param reference the analog reference
     */
    public final void configureChannel(int index, int channel, double minVolts, double maxVolts,
            AnalogReference reference) {
        configure(index, channel, minVolts, maxVolts, reference.nativeName());
    }

    /**
     * As {@link #configureChannel(int, int, double, double, AnalogReference)}, with the reference
     * by name: "ground", "common", "diff" or "other"; another word raises
     * IllegalArgumentException naming the accepted ones.
     *
     * @param index     the position
     * @param channel   the hardware channel
     * @param minVolts  the lowest voltage the range must hold
     * @param maxVolts  the highest voltage the range must hold
     * @param reference the reference by name
     */
    public final void configureChannel(int index, int channel, double minVolts, double maxVolts, String reference) {
        configure(index, channel, minVolts, maxVolts, AnalogReference.fromName(reference).nativeName());
    }

    private void configure(int index, int channel, double minVolts, double maxVolts, String reference) {
        short hardware = hardwareChannel(channel);
        ByteBuffer h = lockHandle();
        try {
            int positions = requirePosition(index);
            if (!(minVolts < maxVolts)) {
                throw new IllegalArgumentException("device " + getDevice() + ", position " + index + ": the range ["
                        + minVolts + ", " + maxVolts + "] V is empty; minVolts must be a number below maxVolts");
            }
            beforeChannelChange(h, index);
            try {
                nCreateChannels(h, index, hardware, minVolts, maxVolts, reference);
            } catch (ComediException e) {
                throw Failures.refused(e.getMessage(), e.getErrorNumber(), e); // the natives' text names the device
            }
            markConfigured(index, positions);
            warnIfUncalibrated(h, index);
        } finally {
            unlock();
        }
    }

    // Software calibration: where the device's subdevice needs it, each position converts with the
    // polynomial of the calibration file, fetched by configureChannel (calibration.cpp).

    private static final System.Logger LOG = System.getLogger("org.vorn");

    /** Lock held. What {@link #setCalibration} chose; the default file until then. */
    private Calibration calibration = Calibration.defaultFile();
    /** Lock held. The warning about an uncalibrated position has been given: once a device. */
    private boolean calibrationWarned;

    /**
     * Chooses where the device's software calibration comes from: the file comedilib names for
     * the device ({@link Calibration#defaultFile()}, the default), a file of the program
     * ({@link Calibration#file(Path)}), or none ({@link Calibration#linear()}). It matters only on a
     * subdevice that carries {@code SDF_SOFT_CALIBRATED}: there every position converts with the
     * file's polynomial for its channel, range and direction, and a position whose file or entry is
     * missing converts linearly, says so in {@link #getCalibrationState(int)} and makes the device
     * log one warning (System.Logger "org.vorn"). Positions configured before are fetched again; call
     * it before {@code configure()} of a streaming device, never while a stream runs
     * ({@link org.vorn.exception.DeviceStateException}).
     *
     * @param calibration where the calibration comes from
     * @throws NullPointerException if {@code calibration} is null
     */
    public final void setCalibration(Calibration calibration) {
        Objects.requireNonNull(calibration, "calibration");
        ByteBuffer h = lockHandle();
        try {
            if (isRunning()) {
                throw Failures.state(getDevice(), "device " + getDevice()
                        + ": the calibration cannot change while a stream runs; stop it first");
            }
            nSetCalibration(h, calibration.isLinear() ? 2 : calibration.file().isPresent() ? 1 : 0,
                    calibration.file().map(Path::toString).orElse(null));
            this.calibration = calibration;
            for (int i = 0; configured != null && i < configured.length; i++) {
                if (configured[i]) {
                    warnIfUncalibrated(h, i);
                }
            }
        } finally {
            unlock();
        }
    }

    /**
     * {@link #setCalibration(Calibration)} with {@link Calibration#file(Path)}.
     *
     * @param file a calibration file in comedilib's format for the device's driver and board
     * @throws NullPointerException if {@code file} is null
     */
    public final void setCalibrationFile(Path file) {
        setCalibration(Calibration.file(file));
    }

    /**
     * Where the calibration comes from.
     *
     * @return the last choice of {@link #setCalibration(Calibration)}, or the default file
     */
    public final Calibration getCalibration() {
        lockHandle();
        try {
            return calibration;
        } finally {
            unlock();
        }
    }

    /**
     * How position {@code position} converts: with its calibration polynomial, or linearly and why.
     *
     * @param position a position, 0 to {@code getPositionCount() - 1}
     * @return the state, or null while the position is not configured
     * @throws IllegalArgumentException if the position is outside the device's positions
     * @throws IllegalStateException    if the device is closed
     */
    public final CalibrationState getCalibrationState(int position) {
        ComediChannelRange c = getChannelRange(position);
        return c == null ? null : c.calibration();
    }

    /** Lock held: one warning a device, for the first position that lacks a calibration it needs. */
    private void warnIfUncalibrated(ByteBuffer h, int index) {
        if (calibrationWarned) {
            return;
        }
        double[] conversion = new double[CONVERSION_FIELDS];
        int state = nCalibration(h, index, conversion);
        if (state < 0 || !CalibrationState.values()[state].isUncalibrated()) {
            return;
        }
        calibrationWarned = true;
        double[] fields = new double[CHANNEL_RANGE_FIELDS];
        nChannelRange(h, index, fields);
        String file = calibration.file().map(f -> "the calibration file " + f)
                .orElse("the device's default calibration file");
        LOG.log(System.Logger.Level.WARNING, "device " + getDevice() + ": position " + index + " (channel "
                + (int) fields[4] + ", range " + (int) fields[5] + ") needs software calibration, but "
                + (state == CalibrationState.UNCALIBRATED_NO_FILE.ordinal() ? file + " was not found (or is for another board)"
                        : file + " has no entry for its channel and range")
                + "; its values are converted linearly, without calibration (setCalibrationFile names a file, "
                + "setCalibration(Calibration.linear()) asks for the linear map and silences this)");
    }

    /** Origin, divisor and four coefficients of a position's conversion (calibration.cpp). */
    private static final int CONVERSION_FIELDS = 6;

    static native void nSetCalibration(ByteBuffer handle, int mode, String path);

    static native int nCalibration(ByteBuffer handle, int index, double[] out);

    /** {@code index} is one of the device's positions; returns their count. */
    private int requirePosition(int index) {
        int positions = getPositionCount();
        if (index < 0 || index >= positions) {
            throw new IllegalArgumentException("device " + getDevice() + ": position " + index + " is outside 0.."
                    + (positions - 1) + " (the device was opened for " + positions + " channels)");
        }
        return positions;
    }

    /**
     * The number of positions the device was opened for, under its 0.1 name.
     *
     * @return the position count
     * @deprecated use {@link #getPositionCount()}: a position is a place in the scan list, a channel
     *             the hardware's
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public final int getChannelCount() {
        return getPositionCount();
    }

    /** Lock held: a stream is running; nothing else ever runs. */
    boolean isRunning() {
        return false;
    }

    /** Lock held, before position {@code position} changes: a streaming device refuses it while it runs. */
    void beforeChannelChange(ByteBuffer h, int position) {
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
     * Lock held: every position has been configured, or DeviceStateException naming those that
     * have not, before {@code call} uses them.
     */
    final void requireConfigured(String call) {
        if (unconfigured == 0) {
            return;
        }
        int positions = getPositionCount();
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
        throw Failures.state(getDevice(), "device " + getDevice() + ": " + (count == 1 ? "position " : "positions ")
                + missing + " of 0.." + (positions - 1) + (count == 1 ? " is" : " are")
                + " not configured; call configureChannel for every position before " + call);
    }

    /**
     * {@link #lockHandle()}, then {@link #requireConfigured(String)}: the handle for {@code call},
     * with the lock held; a refusal gives the lock back before it raises.
     */
    final ByteBuffer lockConfigured(String call) {
        ByteBuffer h = lockHandle();
        requireConfiguredOrUnlock(call);
        return h;
    }

    /** As {@link #lockConfigured(String)}, for a native that takes the record's address. */
    final long lockConfiguredAddress(String call) {
        long h = lockHandleAddress();
        requireConfiguredOrUnlock(call);
        return h;
    }

    private void requireConfiguredOrUnlock(String call) {
        try {
            requireConfigured(call);
        } catch (Throwable refused) {
            unlock();
            throw refused;
        }
    }

    /**
     * What position {@code index} got from {@code configureChannel}, under its 0.1 name.
     *
     * @param index the position
     * @return the position's channel and range, or null
     * @deprecated use {@link #getChannelRange(int)}, the name of the API conventions
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public final ComediChannelRange channelRange(int index) {
        return getChannelRange(index);
    }

    private ComediChannelRange readChannelRange(int index) {
        double[] fields = new double[CHANNEL_RANGE_FIELDS];
        double[] conversion = new double[CONVERSION_FIELDS];
        int state;
        ByteBuffer h = lockHandle();
        try {
            int positions = requirePosition(index);
            if (!nChannelRange(h, index, fields)) {
                return null;
            }
            state = nCalibration(h, index, conversion);
        } finally {
            unlock();
        }
        CalibrationState calibrated = CalibrationState.values()[state];
        ComediPolynomial polynomial = calibrated != CalibrationState.CALIBRATED ? null
                : new ComediPolynomial(isOutput() ? ComediPolynomial.Direction.FROM_PHYSICAL
                        : ComediPolynomial.Direction.TO_PHYSICAL, conversion[0], conversion[2], conversion[3],
                        conversion[4], conversion[5]);
        return new ComediChannelRange((int) fields[4], (int) fields[5],
                ComediRange.of(fields[0], fields[1], (int) fields[2]), (long) fields[3],
                AnalogReference.values()[(int) fields[6]], // AREF_GROUND, COMMON, DIFF, OTHER: 0 to 3
                calibrated, polynomial);
    }

    private boolean isOutput() {
        return this instanceof ComediAnalogSWOutDevice || this instanceof ComediAnalogStreamingOutDevice;
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
     * @return the position count
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
        return readChannelRange(position);
    }
}
