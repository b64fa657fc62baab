// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.file.Path;
import java.util.Objects;
import java.util.Optional;

/**
 * Where an analog device takes its software calibration from ({@link ComediAnalogDevice#setCalibration}):
 * the calibration file comedilib names for the device (the default), a file the program names, or
 * none (the linear map of each range, also on boards that need calibration). Only subdevices with
 * {@code SDF_SOFT_CALIBRATED} use it; every other board converts linearly whatever is chosen.
 */
public final class Calibration {
    private static final Calibration DEFAULT_FILE = new Calibration(null, false);
    private static final Calibration LINEAR = new Calibration(null, true);

    private final Path file;
    private final boolean linear;

    private Calibration(Path file, boolean linear) {
        this.file = file;
        this.linear = linear;
    }

    /**
     * The file comedilib's {@code comedi_get_default_calibration_path} gives for the device,
     * {@code /var/lib/comedi/calibrations/<driver>_<board>_comedi<minor>}, where
     * {@code comedi_soft_calibrate} writes it. The default of every device.
     *
     * @return the default choice
     */
    public static Calibration defaultFile() {
        return DEFAULT_FILE;
    }

    /**
     * A calibration file in comedilib's format, for this driver and board.
     *
     * @param file the file
     * @return the choice of that file
     * @throws NullPointerException if {@code file} is null
     */
    public static Calibration file(Path file) {
        return new Calibration(Objects.requireNonNull(file, "file"), false);
    }

    /**
     * No calibration: every position converts with the linear map of its range.
     *
     * @return the linear choice
     */
    public static Calibration linear() {
        return LINEAR;
    }

    /**
     * The file the program named.
     *
     * @return the file, or empty for the default file and for the linear map
     */
    public Optional<Path> file() {
        return Optional.ofNullable(file);
    }

    /**
     * Whether the linear map was asked for.
     *
     * @return true for {@link #linear()}
     */
    public boolean isLinear() {
        return linear;
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof Calibration c && c.linear == linear && Objects.equals(c.file, file);
    }

    @Override
    public int hashCode() {
        return Objects.hash(file, linear);
    }

    @Override
    public String toString() {
        return linear ? "Calibration[linear]" : file == null ? "Calibration[default file]" : "Calibration[" + file + "]";
    }
}
