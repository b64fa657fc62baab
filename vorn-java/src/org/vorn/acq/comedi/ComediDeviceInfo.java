package org.vorn.acq.comedi;

import java.util.List;

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
 * @param device      the device path it was read from
 * @param versionCode the Comedi core's version, {@code major << 16 | minor << 8 | patch}
 */
public record ComediDeviceInfo(String device, String driverName, String boardName, int versionCode,
        List<ComediSubdeviceInfo> subdevices) {
    public ComediDeviceInfo {
        subdevices = List.copyOf(subdevices);
    }

    /**
     * Opens {@code device}, reads its description and closes it again: nothing stays open. Safe from
     * any thread; it shares nothing with devices open on the same path (the Comedi core serialises
     * the requests). Fails with a ComediException that names the device.
     */
    public static ComediDeviceInfo describe(String device) {
        if (device == null) {
            throw new IllegalArgumentException("device path is null");
        }
        // The native side takes the path as a C string, which would end at the NUL.
        int nul = device.indexOf('\0');
        if (nul >= 0) {
            throw new IllegalArgumentException("device path \"" + device.replace("\0", "\\0")
                    + "\" contains a NUL character at index " + nul + "; a device path is a C string without NUL");
        }
        return ComediDeviceDescription.read(device);
    }

    /** The first subdevice of {@code type}, or null if the device has none. */
    public ComediSubdeviceInfo firstOfType(ComediSubdeviceType type) {
        for (ComediSubdeviceInfo s : subdevices) {
            if (s.type() == type) {
                return s;
            }
        }
        return null;
    }

    /** "major.minor.patch" of {@link #versionCode()}. */
    public String version() {
        return (versionCode >>> 16) + "." + ((versionCode >>> 8) & 0xff) + "." + (versionCode & 0xff);
    }
}
