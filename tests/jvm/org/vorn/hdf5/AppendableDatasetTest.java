// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static hdf.hdf5lib.HDF5Constants.H5F_ACC_TRUNC;
import static hdf.hdf5lib.HDF5Constants.H5P_DEFAULT;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_INT16;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_U16LE;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.file.Path;

import hdf.hdf5lib.H5;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The growing dataset under the scan log, on a failing write. */
class AppendableDatasetTest {
    @TempDir
    Path dir;

    @Test
    void aWriteThatFailsLeavesNoRowsOfFillValueBehind() {
        long file = H5.H5Fcreate(dir.resolve("append.h5").toString(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        long memoryType = H5.H5Tcopy(H5T_NATIVE_INT16);
        AppendableDataset codes = new AppendableDataset(file, "codes", H5T_STD_U16LE, memoryType, 2, 64);
        try {
            codes.append(new short[] {1, 2, 3, 4, 5, 6}, 3);
            H5.H5Tclose(memoryType); // from here every write fails, after the extent has grown
            assertThrows(RuntimeException.class, () -> codes.append(new short[] {7, 8, 9, 10}, 2));
            assertEquals(3, codes.rows());
            assertArrayEquals(new long[] {5, 2}, extent(codes.id()), "the failed rows wait to be taken back");
            codes.truncate(3);
            assertArrayEquals(new long[] {3, 2}, extent(codes.id()), "what a reader sees is what was written");
            codes.truncate(1);
            assertArrayEquals(new long[] {1, 2}, extent(codes.id()));
            assertThrows(IllegalArgumentException.class, () -> codes.truncate(2), "rows never written");
        } finally {
            codes.close(null);
            H5.H5Fclose(file);
        }
    }

    private static long[] extent(long dataset) {
        long space = H5.H5Dget_space(dataset);
        try {
            long[] dims = new long[2];
            H5.H5Sget_simple_extent_dims(space, dims, null);
            return dims;
        } finally {
            H5.H5Sclose(space);
        }
    }
}
