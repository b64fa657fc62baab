// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * What turned the raw codes of one scan position into physical values in 0.1: the ends of the
 * range comedilib chose and the largest code of the channel.
 *
 * @param min     the value of code 0
 * @param max     the value of code {@code maxdata}
 * @param unit    comedilib's unit word ({@code UNIT_volt} = 0, {@code UNIT_mA} = 1, {@code UNIT_none} = 2)
 * @param maxdata the largest raw code (65535 for a 16-bit converter); 0 for a position never configured
 * @deprecated {@link ComediChannelRange} describes a position's conversion for every analog device,
 *             with {@link ComediChannelRange#toVolts(long)}; ask the device's {@code getChannelRange(position)}.
 */
@Deprecated(since = "0.2", forRemoval = true)
public record RawConversion(double min, double max, int unit, long maxdata) {
    /** comedilib's {@code UNIT_volt}. */
    public static final int UNIT_VOLT = 0;

    /**
     * The physical value of {@code raw} by the linear map of the range, bit for bit
     * {@link ComediChannelRange#toVolts(long)} on a position without a calibration polynomial. It
     * knows no calibration: on a position that is {@link CalibrationState#CALIBRATED} the device
     * delivers what {@code getChannelRange(position).toVolts(raw)} gives, not this.
     *
     * @param raw an unsigned code, 0 to {@code maxdata}
     * @return the value in the unit of the range
     */
    public double toPhysical(long raw) {
        return ComediChannelRange.toPhysical(raw, min, max, maxdata);
    }
}
