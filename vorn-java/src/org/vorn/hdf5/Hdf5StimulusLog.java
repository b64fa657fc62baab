// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static hdf.hdf5lib.HDF5Constants.H5F_ACC_RDWR;
import static hdf.hdf5lib.HDF5Constants.H5F_LIBVER_LATEST;
import static hdf.hdf5lib.HDF5Constants.H5P_FILE_ACCESS;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_UINT;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_USHORT;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_U16LE;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_U32LE;

import java.io.IOException;
import java.nio.file.Path;
import java.util.List;

import hdf.hdf5lib.H5;
import hdf.hdf5lib.exceptions.HDF5Exception;

import org.vorn.acq.comedi.ComediChannelRange;

/**
 * Adds to the scan log of a response (an {@link Hdf5ScanLog}, closed) the stimulus that caused
 * it: {@code /stimulus}, scans × output positions of the codes the output put out, with the same
 * per-position attributes as {@code /scans} (so volts come back the same way), row {@code j} being
 * the output scan that went out {@code (j + 1)} scan periods after the shared start, at the end of
 * response scan {@code j}.
 *
 * <p>The stimulus is added after the run rather than while it goes: a log in single-writer mode
 * takes no new dataset once it is being written.
 */
public final class Hdf5StimulusLog {
    private Hdf5StimulusLog() {
    }

    /**
     * Adds {@code /stimulus} to {@code file}: {@code scans} scans of {@code volts} (one value a
     * position, scan after scan), stored as the codes the output converted them to (comedilib's
     * {@code comedi_from_phys}: nearest code, the range's ends for volts beyond it).
     *
     * @param file      a scan log that was closed cleanly
     * @param volts     the stimulus, scan after scan
     * @param scans     the scans of {@code volts} to store
     * @param positions the output's positions (channel, range, maxdata)
     * @throws IOException when the file cannot be opened or written
     */
    public static void append(Path file, double[] volts, int scans, List<ComediChannelRange> positions)
            throws IOException {
        int n = positions.size();
        if (n == 0 || (long) scans * n > volts.length) {
            throw new IllegalArgumentException(scans + " scans of " + n + " positions need " + (long) scans * n
                    + " values, not " + volts.length);
        }
        boolean wide = positions.stream().anyMatch(c -> c.maxData() > 0xffff);
        Object codes = wide ? new int[scans * n] : new short[scans * n];
        for (int i = 0; i < scans * n; i++) {
            long c = code(volts[i], positions.get(i % n));
            if (wide) {
                ((int[]) codes)[i] = (int) c;
            } else {
                ((short[]) codes)[i] = (short) c;
            }
        }
        long access = H5.H5Pcreate(H5P_FILE_ACCESS);
        long fileId = -1;
        AppendableDataset stimulus = null;
        RuntimeException failed = null;
        try {
            H5.H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
            fileId = H5.H5Fopen(file.toString(), H5F_ACC_RDWR, access);
            stimulus = new AppendableDataset(fileId, "stimulus", wide ? H5T_STD_U32LE : H5T_STD_U16LE,
                    wide ? H5T_NATIVE_UINT : H5T_NATIVE_USHORT, n, Math.max(1, Math.min(scans, 65536)));
            Hdf5ScanLog.writePositionAttributes(stimulus.id(), positions);
            Hdf5Objects.text(stimulus.id(), "alignment", "row j went out at start_time_ns + (j + 1) * scan_period_ns,"
                    + " at the end of response scan j");
            stimulus.append(codes, scans);
        } catch (HDF5Exception e) {
            failed = new java.io.UncheckedIOException(new IOException("cannot add the stimulus to " + file + ": "
                    + e.getMessage(), e));
        } catch (RuntimeException e) {
            failed = e;
        } finally {
            failed = AppendableDataset.closeWithFile(failed, fileId < 0 ? -1 : fileId, stimulus);
            failed = Hdf5Objects.close(failed, access, H5::H5Pclose);
        }
        if (failed instanceof java.io.UncheckedIOException u) {
            throw u.getCause();
        }
        if (failed != null) {
            throw failed;
        }
    }

    /** comedi_from_phys: the code the output device wrote for {@code volts}. */
    static long code(double volts, ComediChannelRange r) {
        double s = (volts - r.range().min()) / (r.range().max() - r.range().min()) * r.maxData();
        return s < 0 ? 0 : s > r.maxData() ? r.maxData() : (long) Math.floor(s + 0.5);
    }
}
