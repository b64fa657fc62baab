// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.file.Path;
import java.util.List;
import java.util.Objects;

/**
 * What a device offers, as comedilib reports it: driver and board, and every subdevice with its
 * channels, maximum raw values, ranges and command timing.
 *
 * <pre>
 * ComediDeviceInfo info = ComediDeviceInfo.describe("/dev/comedi0");
 * for (ComediSubdeviceInfo s : info.subdevices()) {
 *     System.out.println(s.index() + ": " + s.type().label() + ", " + s.channelCount() + " channels");
 * }
 * </pre>
 *
 * <p>A description is a value: it holds no device open and may be kept and shared between threads.
 *
 * @param device      the device path it was read from
 * @param driverName  the driver's name, e.g. "comedi_test"
 * @param boardName   the board's name as the driver reports it
 * @param versionCode the Comedi core's version, {@code major << 16 | minor << 8 | patch}
 * @param subdevices  every subdevice, subdevice number = list index
 * @param calibrationFile the calibration file that subdevices which need software calibration
 *                    ({@link ComediSubdeviceInfo#needsCalibration()}) take their polynomials from:
 *                    comedilib's default path for the device, or the file given to
 *                    {@link #describe(String, Path)}; null where no subdevice needs calibration
 *                    (and none was given) or comedilib names none
 * @param calibrationFileFound whether that file exists and is a calibration file for this driver and board
 */
public record ComediDeviceInfo(String device, String driverName, String boardName, int versionCode,
        List<ComediSubdeviceInfo> subdevices, String calibrationFile, boolean calibrationFileFound) {
    /**
     * A description; the list of subdevices is copied, unmodifiable.
     *
     * @param device the device path
     * @param driverName the driver's name
     * @param boardName the board's name
     * @param versionCode the Comedi core's version code
     * @param subdevices every subdevice
     * @param calibrationFile the calibration file, or null
     * @param calibrationFileFound whether it was found
     */
    public ComediDeviceInfo {
        subdevices = List.copyOf(subdevices);
    }

    /**
     * A description without a calibration file.
     *
     * @param device the device path
     * @param driverName the driver's name
     * @param boardName the board's name
     * @param versionCode the Comedi core's version code
     * @param subdevices every subdevice
     */
    public ComediDeviceInfo(String device, String driverName, String boardName, int versionCode,
            List<ComediSubdeviceInfo> subdevices) {
        this(device, driverName, boardName, versionCode, subdevices, null, false);
    }

    /**
     * Whether a subdevice converts only through a calibration file.
     *
     * @return true if any subdevice needs software calibration
     */
    public boolean needsCalibration() {
        return subdevices.stream().anyMatch(ComediSubdeviceInfo::needsCalibration);
    }

    /**
     * As {@link #describe(String)}, with {@code calibrationFile} as the calibration file in place of
     * comedilib's default one (what {@link ComediAnalogDevice#setCalibrationFile(Path)} gives a device).
     *
     * @param device the device path
     * @param calibrationFile a calibration file
     * @return the description
     * @throws IllegalArgumentException if {@code device} is null or holds a NUL character
     * @throws NullPointerException if {@code calibrationFile} is null
     */
    public static ComediDeviceInfo describe(String device, Path calibrationFile) {
        Objects.requireNonNull(calibrationFile, "calibrationFile");
        requirePath(device);
        return ComediDeviceDescription.read(device, calibrationFile.toString());
    }

    /**
     * Opens {@code device}, reads its description and closes it again: nothing stays open. Safe from
     * any thread; it shares nothing with devices open on the same path (the Comedi core serialises
     * the requests).
     *
     * @param device the device path, e.g. "/dev/comedi0"
     * @return what the device offers
     * @throws IllegalArgumentException if the path is null or holds a NUL character
     * @throws org.vorn.exception.ComediException if comedilib cannot open or read the device (the
     *         message names it)
     */
    public static ComediDeviceInfo describe(String device) {
        requirePath(device);
        return ComediDeviceDescription.read(device, null);
    }

    private static void requirePath(String device) {
        if (device == null) {
            throw new IllegalArgumentException("device path is null");
        }
        // The native side takes the path as a C string, which would end at the NUL.
        int nul = device.indexOf('\0');
        if (nul >= 0) {
            throw new IllegalArgumentException("device path \"" + device.replace("\0", "\\0")
                    + "\" contains a NUL character at index " + nul + "; a device path is a C string without NUL");
        }
    }

    /**
     * The first subdevice of a kind.
     *
     * @param type the kind sought
     * @return the subdevice with the lowest number of that kind, or null if the device has none
     */
    public ComediSubdeviceInfo firstOfType(ComediSubdeviceType type) {
        for (ComediSubdeviceInfo s : subdevices) {
            if (s.type() == type) {
                return s;
            }
        }
        return null;
    }

    /**
     * The Comedi core's version in words.
     *
     * @return "major.minor.patch" of {@link #versionCode()}
     */
    public String version() {
        return (versionCode >>> 16) + "." + ((versionCode >>> 8) & 0xff) + "." + (versionCode & 0xff);
    }

    /**
     * The device, driver, board, version and every subdevice by name.
     *
     * @return e.g. {@code ComediDeviceInfo[device=/dev/comedi0, driverName=comedi_test, boardName=comedi_test,
     *         version=0.7.76, subdevices=[ComediSubdeviceInfo[index=0, type=ANALOG_INPUT, ...], ...]]}
     */
    @Override
    public String toString() {
        return "ComediDeviceInfo[device=" + device + ", driverName=" + driverName + ", boardName=" + boardName
                + ", version=" + version() + ", subdevices=" + subdevices + ", calibrationFile=" + calibrationFile
                + ", calibrationFileFound=" + calibrationFileFound + "]";
    }
}
