// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static hdf.hdf5lib.HDF5Constants.H5T_COMPOUND;
import static hdf.hdf5lib.HDF5Constants.H5T_CSET_UTF8;
import static hdf.hdf5lib.HDF5Constants.H5T_C_S1;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_INT64;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_I64LE;
import static hdf.hdf5lib.HDF5Constants.H5T_STR_NULLPAD;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;

import hdf.hdf5lib.H5;

/**
 * The {@code /events} dataset: one row per thing that happened to the stream, a compound of
 * {@code scan_index} (int64: scans delivered before it), {@code time_ns} (int64, ns since the
 * epoch when it was logged; for a "trigger", when its scan began), {@code kind} (16 bytes of
 * text) and {@code detail} (112 bytes).
 * Fixed-size text, because single-writer mode can grow a dataset but not create heap objects
 * for variable-length strings safely; longer text is cut at a character boundary. The text is
 * typed as UTF-8, so that a reader decodes it as such (h5py hands text in a dataset over as
 * bytes whatever its type: {@code numpy.char.decode(events["kind"], "utf-8")}).
 */
final class Hdf5Events {
    static final int KIND_BYTES = 16;
    static final int DETAIL_BYTES = 112;
    static final int ROW_BYTES = 16 + KIND_BYTES + DETAIL_BYTES;

    private Hdf5Events() {
    }

    static AppendableDataset create(long fileId) {
        long fileType = type(H5T_STD_I64LE);
        try {
            // The memory type lives as long as the dataset, which writes through it.
            return new AppendableDataset(fileId, "events", fileType, type(H5T_NATIVE_INT64), true, 0, 16);
        } finally {
            H5.H5Tclose(fileType);
        }
    }

    private static long type(long integer) {
        long row = H5.H5Tcreate(H5T_COMPOUND, ROW_BYTES);
        H5.H5Tinsert(row, "scan_index", 0, integer);
        H5.H5Tinsert(row, "time_ns", 8, integer);
        insertText(row, "kind", 16, KIND_BYTES);
        insertText(row, "detail", 16 + KIND_BYTES, DETAIL_BYTES);
        return row;
    }

    private static void insertText(long row, String name, long offset, int bytes) {
        long text = H5.H5Tcopy(H5T_C_S1);
        try {
            H5.H5Tset_size(text, bytes);
            H5.H5Tset_strpad(text, H5T_STR_NULLPAD);
            H5.H5Tset_cset(text, H5T_CSET_UTF8);
            H5.H5Tinsert(row, name, offset, text);
        } finally {
            H5.H5Tclose(text);
        }
    }

    static void append(AppendableDataset events, String kind, long scanIndex, long timeNs, String detail) {
        ByteBuffer row = ByteBuffer.allocate(ROW_BYTES).order(ByteOrder.nativeOrder());
        row.putLong(scanIndex).putLong(timeNs);
        putText(row, kind, KIND_BYTES);
        putText(row, detail == null ? "" : detail, DETAIL_BYTES);
        events.append(row.array(), 1);
    }

    private static void putText(ByteBuffer row, String text, int bytes) {
        int start = row.position();
        byte[] utf8 = text.getBytes(StandardCharsets.UTF_8);
        int n = Math.min(utf8.length, bytes);
        while (n < utf8.length && n > 0 && (utf8[n] & 0xC0) == 0x80) {
            n--; // never cut a character in two
        }
        row.put(utf8, 0, n);
        row.position(start + bytes);
    }
}
