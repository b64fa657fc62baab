// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

/** What one streaming run collected: exactly the scans asked for, or fewer if it ended early. */
final class Acquisition {
    final int nChannels;
    final long wantedScans;
    /** The range each position got from the library, e.g. "[-5, 5] V". */
    final String[] ranges;
    /** Scan after scan, one value per channel, in volts. */
    final double[] samples;
    long receivedValues;      // every value read, including those past the last kept scan
    int storedValues;
    long lostScans;
    /** The driver's buffer overran: the command stopped, so the scans after it were never converted. */
    boolean overran;
    double seconds;
    String failure;
    boolean stoppedByUser;

    /** --trigger: each record as {trigger scan, first scan, scans, complete (1 or 0)}, in order. */
    final java.util.List<long[]> records = new java.util.ArrayList<>();

    /** The scan period the driver accepted, in ns: row r was scanned r x this after the first. */
    final long scanPeriodNanos;
    final double scanRate;

    Acquisition(int nChannels, long wantedScans, String[] ranges, long scanPeriodNanos) {
        this.nChannels = nChannels;
        this.scanPeriodNanos = scanPeriodNanos;
        this.scanRate = 1e9 / scanPeriodNanos;
        this.ranges = ranges;
        this.wantedScans = wantedScans;
        this.samples = new double[Math.toIntExact(wantedScans * nChannels)];
    }

    long rows() {
        return storedValues / nChannels;
    }

    double value(long row, int channel) {
        return samples[(int) (row * nChannels + channel)];
    }
}
