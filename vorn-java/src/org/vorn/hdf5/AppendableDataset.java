// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static hdf.hdf5lib.HDF5Constants.H5D_FILL_TIME_NEVER;
import static hdf.hdf5lib.HDF5Constants.H5P_DATASET_ACCESS;
import static hdf.hdf5lib.HDF5Constants.H5P_DATASET_CREATE;
import static hdf.hdf5lib.HDF5Constants.H5P_DEFAULT;
import static hdf.hdf5lib.HDF5Constants.H5S_SELECT_SET;
import static hdf.hdf5lib.HDF5Constants.H5S_UNLIMITED;

import hdf.hdf5lib.H5;

/**
 * A chunked dataset of rows × {@code columns} (or a 1-D one when columns is 0, or rows of any
 * shape) that grows by appending rows at its end. Each append extends the dataset and writes the
 * new rows at once, so that the extent a reader sees never runs ahead of the data by more than one
 * call; after a failed append the owner cuts the extent back with {@link #truncate}.
 */
final class AppendableDataset {
    private final long id;
    /** The shape of one row: empty for a 1-D dataset. */
    private final long[] row;
    private final long memoryType;
    private final boolean ownsMemoryType;
    private long rows;
    /** A failed append left the extent beyond the rows written. */
    private boolean extentAhead;

    AppendableDataset(long parent, String name, long fileType, long memoryType, int columns, long chunkRows) {
        this(parent, name, fileType, memoryType, false, columns, chunkRows);
    }

    /** With {@code ownsMemoryType}, the memory type is closed with the dataset (also when creating it fails). */
    AppendableDataset(long parent, String name, long fileType, long memoryType, boolean ownsMemoryType, int columns,
            long chunkRows) {
        this(parent, name, fileType, memoryType, ownsMemoryType, columns == 0 ? new long[0] : new long[] {columns},
                chunkRows);
    }

    /** Rows of shape {@code row} (e.g. scans × positions for a dataset of records). */
    AppendableDataset(long parent, String name, long fileType, long memoryType, boolean ownsMemoryType, long[] row,
            long chunkRows) {
        this.row = row.clone();
        this.memoryType = memoryType;
        this.ownsMemoryType = ownsMemoryType;
        long[] empty = shape(0);
        long[] max = shape(H5S_UNLIMITED);
        long[] chunk = shape(chunkRows);
        long space = -1, create = -1, access = -1, created = -1;
        try {
            space = H5.H5Screate_simple(empty.length, empty, max);
            create = H5.H5Pcreate(H5P_DATASET_CREATE);
            H5.H5Pset_chunk(create, chunk.length, chunk);
            // No fill value: HDF5 would pass every new chunk through its chunk cache to fill it
            // first, and write it only at the next flush, long after the write that the caller
            // counted as done (on a full disk it then fails, and the rows read as fill value).
            // Without one, each write goes to the file at once, and its failure is its own.
            H5.H5Pset_fill_time(create, H5D_FILL_TIME_NEVER);
            // No chunk cache: a chunk reaches the file when it is written, never later than the
            // extent that covers it.
            access = H5.H5Pcreate(H5P_DATASET_ACCESS);
            H5.H5Pset_chunk_cache(access, 0, 0, 1.0);
            created = H5.H5Dcreate(parent, name, fileType, space, H5P_DEFAULT, create, access);
        } finally {
            RuntimeException failed = null;
            failed = Hdf5Objects.close(failed, space, H5::H5Sclose);
            failed = Hdf5Objects.close(failed, create, H5::H5Pclose);
            failed = Hdf5Objects.close(failed, access, H5::H5Pclose);
            if (created < 0 && ownsMemoryType) {
                failed = Hdf5Objects.close(failed, memoryType, H5::H5Tclose);
            }
            if (failed != null) {
                Hdf5Objects.close(null, created, H5::H5Dclose);
                throw failed;
            }
        }
        id = created;
    }

    /** {@code first} rows, then the row's own shape. */
    private long[] shape(long first) {
        long[] s = new long[1 + row.length];
        s[0] = first;
        System.arraycopy(row, 0, s, 1, row.length);
        return s;
    }

    long rows() {
        return rows;
    }

    /** Appends the first {@code count} rows of {@code data} (a short[], int[], long[], double[] or byte[]). */
    void append(Object data, int count) {
        if (count == 0) {
            return;
        }
        long[] extent = shape(rows + count);
        long[] start = new long[1 + row.length];
        start[0] = rows;
        long[] size = shape(count);
        H5.H5Dset_extent(id, extent);
        long fileSpace = -1, memorySpace = -1;
        try {
            fileSpace = H5.H5Dget_space(id);
            H5.H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, null, size, null);
            memorySpace = H5.H5Screate_simple(size.length, size, null);
            if (data instanceof short[] s) {
                H5.H5Dwrite_short(id, memoryType, memorySpace, fileSpace, H5P_DEFAULT, s, true);
            } else if (data instanceof int[] i) {
                H5.H5Dwrite_int(id, memoryType, memorySpace, fileSpace, H5P_DEFAULT, i, true);
            } else if (data instanceof long[] l) {
                H5.H5Dwrite_long(id, memoryType, memorySpace, fileSpace, H5P_DEFAULT, l, true);
            } else if (data instanceof double[] d) {
                H5.H5Dwrite_double(id, memoryType, memorySpace, fileSpace, H5P_DEFAULT, d, true);
            } else {
                H5.H5Dwrite(id, memoryType, memorySpace, fileSpace, H5P_DEFAULT, (byte[]) data, true);
            }
            rows += count;
        } catch (RuntimeException e) {
            // The extent now covers rows that were never written. Cutting it back may itself
            // need disk space (HDF5 rewrites the chunk it cuts through), which the caller may
            // have to free first: it calls truncate(rows()).
            extentAhead = true;
            throw e;
        } finally {
            RuntimeException failed = null;
            failed = Hdf5Objects.close(failed, fileSpace, H5::H5Sclose);
            failed = Hdf5Objects.close(failed, memorySpace, H5::H5Sclose);
            if (failed != null) {
                throw failed;
            }
        }
    }

    /**
     * Shrinks the dataset to its first {@code keep} rows (no more than were written), also when a
     * failed append left its extent beyond them: rows that were never written would read as
     * codes that look acquired.
     */
    void truncate(long keep) {
        if (keep > rows) {
            throw new IllegalArgumentException(keep + " rows asked to be kept of " + rows);
        }
        if (keep < rows || extentAhead) {
            H5.H5Dset_extent(id, shape(keep));
            rows = keep;
            extentAhead = false;
        }
    }

    long id() {
        return id;
    }

    /** Closes the dataset (and the memory type it owns); returns the first failure, or {@code first}. */
    RuntimeException close(RuntimeException first) {
        RuntimeException failed = Hdf5Objects.close(first, id, H5::H5Dclose);
        return ownsMemoryType ? Hdf5Objects.close(failed, memoryType, H5::H5Tclose) : failed;
    }

    /**
     * Closes the datasets (those not made yet are null) and then their file, keeping the first
     * failure with the later ones suppressed in it.
     */
    static RuntimeException closeWithFile(RuntimeException first, long fileId, AppendableDataset... datasets) {
        RuntimeException failed = first;
        for (AppendableDataset d : datasets) {
            if (d != null) {
                failed = d.close(failed);
            }
        }
        return Hdf5Objects.close(failed, fileId, H5::H5Fclose);
    }
}
