// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

/**
 * What an {@link OutputTask} puts out: fills the next block of scans, in volts, on the task's
 * output thread.
 */
@FunctionalInterface
public interface ScanGenerator {
    /**
     * Fills scans {@code firstScan} to {@code firstScan + scans - 1} of the output (counted from 0,
     * the first scan of the run) into {@code volts}: one value a position, scan after scan, from
     * index 0. The array is the task's and is reused for the next block; values outside a
     * position's range go out as its nearest end, NaN ends the task
     * ({@link TaskEnd.Reason#GENERATOR_FAILED}).
     *
     * @param firstScan the index of the block's first scan
     * @param scans     the scans to fill, at least 1
     * @param volts     at least {@code scans x positions} values; only those are put out
     */
    void fill(long firstScan, int scans, double[] volts);
}
