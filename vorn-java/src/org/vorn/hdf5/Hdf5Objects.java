// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static hdf.hdf5lib.HDF5Constants.H5P_DEFAULT;
import static hdf.hdf5lib.HDF5Constants.H5S_SCALAR;
import static hdf.hdf5lib.HDF5Constants.H5T_CSET_UTF8;
import static hdf.hdf5lib.HDF5Constants.H5T_C_S1;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_DOUBLE;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_INT64;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_I64LE;
import static hdf.hdf5lib.HDF5Constants.H5T_IEEE_F64LE;
import static hdf.hdf5lib.HDF5Constants.H5T_VARIABLE;

import hdf.hdf5lib.H5;

/**
 * Attributes as h5py shows them: text as variable-length UTF-8 strings (Python {@code str}),
 * numbers as little-endian 64-bit integers or doubles, per-position values as 1-D arrays. Every
 * identifier opened here is closed here, also when HDF5 refuses.
 */
final class Hdf5Objects {
    private Hdf5Objects() {
    }

    static void text(long object, String name, String value) {
        texts(object, name, new String[] {value}, true);
    }

    static void texts(long object, String name, String[] values) {
        texts(object, name, values, false);
    }

    private static void texts(long object, String name, String[] values, boolean scalar) {
        long type = H5.H5Tcopy(H5T_C_S1);
        try {
            H5.H5Tset_size(type, H5T_VARIABLE);
            H5.H5Tset_cset(type, H5T_CSET_UTF8);
            attribute(object, name, type, values.length, scalar, attr -> H5.H5AwriteVL(attr, type, values));
        } finally {
            H5.H5Tclose(type);
        }
    }

    static void integer(long object, String name, long value) {
        integers(object, name, new long[] {value}, true);
    }

    static void integers(long object, String name, long[] values) {
        integers(object, name, values, false);
    }

    private static void integers(long object, String name, long[] values, boolean scalar) {
        attribute(object, name, H5T_STD_I64LE, values.length, scalar,
                attr -> H5.H5Awrite_long(attr, H5T_NATIVE_INT64, values));
    }

    static void real(long object, String name, double value) {
        reals(object, name, new double[] {value}, true);
    }

    static void reals(long object, String name, double[] values) {
        reals(object, name, values, false);
    }

    private static void reals(long object, String name, double[] values, boolean scalar) {
        attribute(object, name, H5T_IEEE_F64LE, values.length, scalar,
                attr -> H5.H5Awrite_double(attr, H5T_NATIVE_DOUBLE, values));
    }

    /** Attribute {@code name} of {@code fileType}, a scalar or {@code count} values, filled by {@code write}. */
    private static void attribute(long object, String name, long fileType, int count, boolean scalar,
            java.util.function.LongConsumer write) {
        long space = scalar ? H5.H5Screate(H5S_SCALAR) : H5.H5Screate_simple(1, new long[] {count}, null);
        try {
            long attr = H5.H5Acreate(object, name, fileType, space, H5P_DEFAULT, H5P_DEFAULT);
            try {
                write.accept(attr);
            } finally {
                H5.H5Aclose(attr);
            }
        } finally {
            H5.H5Sclose(space);
        }
    }

    /** Closes an identifier that may not have been opened (negative), keeping the first failure. */
    static RuntimeException close(RuntimeException first, long id, java.util.function.LongUnaryOperator closer) {
        if (id < 0) {
            return first;
        }
        try {
            closer.applyAsLong(id);
        } catch (RuntimeException e) {
            if (first == null) {
                return e;
            }
            first.addSuppressed(e);
        }
        return first;
    }
}
