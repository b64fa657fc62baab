// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.util.Objects;

/**
 * What one scan or write position converts, and how its raw codes become values: the hardware
 * channel, the range comedilib chose for it (the smallest that covers the request), the largest
 * raw code of the channel and the analog reference. Every analog device answers with it
 * ({@code getChannelRange(position)}), an acquisition task describes its stream with one per position
 * ({@code StreamInfo.positions()}) and the HDF5 log writes its fields as attributes.
 *
 * <p>{@link #toVolts(long)} is the library's conversion of a raw code: on a position that needs no
 * calibration (or does not get one), operation for operation the one comedilib's
 * {@code comedi_to_phys} makes with the ends of the range, and on a software-calibrated input
 * ({@link CalibrationState#CALIBRATED}) the calibration file's {@link ComediPolynomial}. Either way a
 * raw stream converted later gives the very doubles that the converting reads deliver. Linear
 * values never leave [{@code range.min()}, {@code range.max()}]: a signal beyond the range reads as
 * its end; calibrated ones may pass the ends by the board's error.
 *
 * @param channel    the hardware channel the position reads or drives
 * @param rangeIndex the index of the range among the channel's ranges (as comedilib numbers them),
 *                   or -1 where it is not known (a description built by hand)
 * @param range      the range: the values of raw code 0 and of {@code maxData}, and their unit
 * @param maxData    the largest raw code of the channel (65535 for a 16-bit converter), above 0
 * @param reference  the analog reference the position uses
 * @param calibration how the position converts: calibrated, or why it converts linearly
 * @param polynomial the calibration file's polynomial where {@code calibration} is
 *                   {@link CalibrationState#CALIBRATED} (to volts on an input, from volts on an
 *                   output), null where the position converts with the linear map
 */
public record ComediChannelRange(int channel, int rangeIndex, ComediRange range, long maxData,
        AnalogReference reference, CalibrationState calibration, ComediPolynomial polynomial) {

    /**
     * A position that converts with the linear map of its range ({@link CalibrationState#NOT_NEEDED}).
     *
     * @param channel the hardware channel
     * @param rangeIndex the range's index, or -1 where it is not known
     * @param range the range
     * @param maxData the largest raw code, above 0
     * @param reference the analog reference
     * @throws NullPointerException if {@code range} or {@code reference} is null
     * @throws IllegalArgumentException if {@code maxData} is not above 0
     */
    public ComediChannelRange(int channel, int rangeIndex, ComediRange range, long maxData, AnalogReference reference) {
        this(channel, rangeIndex, range, maxData, reference, CalibrationState.NOT_NEEDED, null);
    }

    /**
     * A position's conversion; a null part, or no code above 0, would describe none.
     *
     * @param channel the hardware channel
     * @param rangeIndex the range's index, or -1 where it is not known
     * @param range the range
     * @param maxData the largest raw code, above 0
     * @param reference the analog reference
     * @param calibration how the position converts
     * @param polynomial the polynomial of a calibrated position, null for any other
     * @throws NullPointerException if {@code range}, {@code reference} or {@code calibration} is null
     * @throws IllegalArgumentException if {@code maxData} is not above 0, or a polynomial is given
     *                                  exactly where the state is not CALIBRATED
     */
    public ComediChannelRange {
        Objects.requireNonNull(range, "range");
        Objects.requireNonNull(reference, "reference");
        Objects.requireNonNull(calibration, "calibration");
        if ((polynomial != null) != (calibration == CalibrationState.CALIBRATED)) {
            throw new IllegalArgumentException("channel " + channel + ": a " + calibration + " position "
                    + (polynomial == null ? "needs" : "has no") + " calibration polynomial");
        }
        if (maxData <= 0) {
            throw new IllegalArgumentException("the largest raw code " + maxData + " of channel " + channel
                    + " is not above 0");
        }
    }

    /**
     * The value of raw code {@code raw} (an unsigned code, 0 to {@link #maxData()}), in the unit of
     * the range: {@code raw / maxData * (max - min) + min}, in doubles, in that order; on a
     * calibrated input, {@code polynomial().apply(raw)}. (An output's polynomial converts the other
     * way: there, and on every position without one, the linear map.)
     *
     * @param raw the raw code as the driver delivers it, unsigned
     * @return the value the library's converting reads deliver for that code
     */
    public double toVolts(long raw) {
        if (polynomial != null && polynomial.direction() == ComediPolynomial.Direction.TO_PHYSICAL) {
            return polynomial.apply(raw);
        }
        return toPhysical(raw, range.min(), range.max(), maxData);
    }

    /** The conversion itself, for the deprecated record that also describes unconfigured positions. */
    static double toPhysical(long raw, double min, double max, long maxData) {
        double x = raw;
        x /= maxData;
        x *= max - min;
        x += min;
        return x;
    }

    /**
     * The value that one raw step stands for, in the unit of the range.
     *
     * @return {@code (max - min) / maxData}
     */
    public double resolution() {
        return (range.max() - range.min()) / maxData;
    }
}
