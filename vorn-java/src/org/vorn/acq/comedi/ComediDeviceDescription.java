// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;


/** Reads a {@link ComediDeviceInfo}: one native call opens the device, encodes what comedilib knows and closes it. */
final class ComediDeviceDescription {
    static {
        NativeLoading.load();
    }

    private ComediDeviceDescription() {
    }

    /** {@code calibrationFile}: the program's calibration file, or null for comedilib's default one. */
    static ComediDeviceInfo read(String device, String calibrationFile) {
        ComediDeviceInfo info = decode(device, ByteBuffer.wrap(nDescribe(device)).order(ByteOrder.nativeOrder()));
        if (calibrationFile == null && !info.needsCalibration()) {
            return info;
        }
        boolean[] found = new boolean[1];
        String file = nCalibrationFile(device, calibrationFile, found);
        return new ComediDeviceInfo(info.device(), info.driverName(), info.boardName(), info.versionCode(),
                info.subdevices(), file, found[0]);
    }

    /* The layout is the one device_info.cpp writes. */
    private static ComediDeviceInfo decode(String device, ByteBuffer in) {
        int versionCode = in.getInt();
        String driver = name(in);
        String board = name(in);
        int nSubdevices = in.getInt();
        List<ComediSubdeviceInfo> subdevices = new ArrayList<>(nSubdevices);
        for (int s = 0; s < nSubdevices; s++) {
            subdevices.add(subdevice(s, in));
        }
        return new ComediDeviceInfo(device, driver, board, versionCode, subdevices);
    }

    private static ComediSubdeviceInfo subdevice(int index, ByteBuffer in) {
        int type = in.getInt();
        int flags = in.getInt();
        int nChannels = in.getInt();
        boolean maxDataPerChannel = in.getInt() != 0;
        int nMaxData = in.getInt();
        List<Long> maxData = new ArrayList<>(nMaxData);
        for (int i = 0; i < nMaxData; i++) {
            maxData.add(Integer.toUnsignedLong(in.getInt()));
        }
        boolean rangesPerChannel = in.getInt() != 0;
        int nLists = in.getInt();
        List<List<ComediRange>> ranges = new ArrayList<>(nLists);
        for (int i = 0; i < nLists; i++) {
            int nRanges = in.getInt();
            List<ComediRange> list = new ArrayList<>(nRanges);
            for (int r = 0; r < nRanges; r++) {
                double min = in.getDouble();
                double max = in.getDouble();
                list.add(ComediRange.of(min, max, in.getInt()));
            }
            ranges.add(list);
        }
        ComediCommandSources sources = null;
        ComediTimedCommand fastest = null;
        if (in.getInt() != 0) {
            int[] mask = command(in);
            sources = new ComediCommandSources(mask[0], mask[2], mask[4], mask[6], mask[8]);
            if (in.getInt() != 0) {
                int[] c = command(in);
                fastest = new ComediTimedCommand(c[0], unsigned(c[1]), c[2], unsigned(c[3]), c[4], unsigned(c[5]),
                        c[6], unsigned(c[7]), c[8], unsigned(c[9]));
            }
        }
        return new ComediSubdeviceInfo(index, type, flags, nChannels, maxDataPerChannel, maxData, rangesPerChannel,
                ranges, sources, fastest);
    }

    /** Sources and arguments in comedi_cmd order: start, scan begin, convert, scan end, stop. */
    private static int[] command(ByteBuffer in) {
        int[] fields = new int[10];
        for (int i = 0; i < fields.length; i++) {
            fields[i] = in.getInt();
        }
        return fields;
    }

    private static long unsigned(int value) {
        return Integer.toUnsignedLong(value);
    }

    private static String name(ByteBuffer in) {
        byte[] bytes = new byte[in.getInt()];
        in.get(bytes);
        return new String(bytes, StandardCharsets.UTF_8);
    }

    private static native byte[] nDescribe(String device);

    /** The calibration file of the device (calibration.cpp): the given one or comedilib's default, and whether it is one for this board. */
    private static native String nCalibrationFile(String device, String path, boolean[] found);
}
