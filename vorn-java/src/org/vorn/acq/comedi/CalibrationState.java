// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * How a configured analog position converts between raw codes and volts
 * ({@link ComediAnalogDevice#getCalibrationState(int)}, {@link ComediChannelRange#calibration()}).
 * Boards whose subdevice carries {@code SDF_SOFT_CALIBRATED} are calibrated in software: their
 * codes mean the right volts only through the polynomials of the board's calibration file.
 */
public enum CalibrationState {
    /** Converted with the calibration file's polynomial for the position's channel, range and direction. */
    CALIBRATED,
    /** The subdevice needs calibration, but no calibration file for this board was found: converted linearly. */
    UNCALIBRATED_NO_FILE,
    /** The subdevice needs calibration, but the file has no entry for the position's channel and range: converted linearly. */
    UNCALIBRATED_NO_ENTRY,
    /** The subdevice is calibrated in hardware (no {@code SDF_SOFT_CALIBRATED}): the linear map of the range is right. */
    NOT_NEEDED,
    /** The program asked for the linear map ({@link Calibration#linear()}). */
    LINEAR_REQUESTED;

    /**
     * Whether the position's values lack a calibration the board needs.
     *
     * @return true for {@link #UNCALIBRATED_NO_FILE} and {@link #UNCALIBRATED_NO_ENTRY}
     */
    public boolean isUncalibrated() {
        return this == UNCALIBRATED_NO_FILE || this == UNCALIBRATED_NO_ENTRY;
    }
}
