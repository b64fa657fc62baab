// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.util.Locale;

/** The per-channel table after a streaming run: what arrived, and whether anything was lost. */
final class Statistics {
    private Statistics() {
    }

    static void print(Acquisition acq, Input[] inputs, PrintStream out) {
        long rows = acq.rows();
        int n = acq.nChannels;
        out.println();
        out.printf(Locale.ROOT, "%-8s %-13s %9s %10s %10s %10s %10s %6s%n",
                "channel", "range got", "samples", "min [V]", "max [V]", "mean [V]", "RMS [V]", "lost");
        for (int c = 0; c < n; c++) {
            double min = Double.POSITIVE_INFINITY;
            double max = Double.NEGATIVE_INFINITY;
            double sum = 0;
            double sumSq = 0;
            for (long r = 0; r < rows; r++) {
                double v = acq.value(r, c);
                min = Math.min(min, v);
                max = Math.max(max, v);
                sum += v;
                sumSq += v * v;
            }
            double mean = rows > 0 ? sum / rows : Double.NaN;
            double rms = rows > 0 ? Math.sqrt(sumSq / rows) : Double.NaN;
            if (rows == 0) {
                min = max = Double.NaN;
            }
            out.printf(Locale.ROOT, "%-8s %-13s %9d %+10.4f %+10.4f %+10.4f %10.4f %6d%n",
                    inputs[c].name(), acq.ranges[c], rows, min, max, mean, rms, acq.lostScans);
        }
        if (acq.lostScans == 0 && acq.failure == null) {
            out.printf(Locale.ROOT, "%d scans in %.2f s, none lost (no overrun reported, and every read kept up "
                    + "with the clock).%n", rows, acq.seconds);
        } else if (acq.lostScans > 0 && acq.overran) {
            out.printf(Locale.ROOT, "%d scans per channel never arrived: the driver's buffer overran, which "
                    + "stopped the acquisition.%n", acq.lostScans);
        } else if (acq.lostScans > 0) {
            out.printf(Locale.ROOT, "%d scans per channel never arrived: the clock says they were converted, "
                    + "but the reads fell behind.%n", acq.lostScans);
        }
    }
}
