// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

/**
 * comedilib called directly, one library function per method, for tests that compare what libvorn
 * reports with comedilib's own answers. A handle is a comedi_t pointer; 0 means the open failed.
 */
public final class ComediReference {
    static {
        System.loadLibrary("vorntestsupport");
    }

    private ComediReference() {
    }

    public static native long open(String path);

    public static native void close(long handle);

    public static native int versionCode(long handle);

    public static native String driverName(long handle);

    public static native String boardName(long handle);

    public static native int subdeviceCount(long handle);

    public static native int subdeviceType(long handle, int subdev);

    public static native int subdeviceFlags(long handle, int subdev);

    public static native int channelCount(long handle, int subdev);

    public static native boolean maxDataIsChannelSpecific(long handle, int subdev);

    public static native boolean rangeIsChannelSpecific(long handle, int subdev);

    public static native long maxData(long handle, int subdev, int chan);

    public static native int rangeCount(long handle, int subdev, int chan);

    /** {min, max, unit word} of range {@code range}, or null. */
    public static native double[] range(long handle, int subdev, int chan, int range);

    /** comedi_cmd's sources and arguments, start to stop, or null when comedilib refuses. */
    public static native int[] commandSourceMask(long handle, int subdev);

    public static native int[] genericTimed(long handle, int subdev, int chanlistLength, int scanPeriodNs);

    /** comedi_find_range in volts. */
    public static native int findRange(long handle, int subdev, int chan, double min, double max);

    /** comedi_set_global_oor_behavior (0: numbers at the range ends, 1: NaN): the previous one. */
    public static native int outOfRangeBehavior(int behavior);
}
