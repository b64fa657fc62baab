// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.BufferedWriter;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * {@code time_s}, then one column per channel in volts, then with --trigger a column
 * {@code trigger} (1 on the scan of a record's trigger, 0 elsewhere); one row per kept scan.
 */
final class CsvFile {
    private CsvFile() {
    }

    static void write(Acquisition acq, Input[] inputs, boolean triggers, Path file) throws IOException {
        int n = acq.nChannels;
        long rows = acq.rows();
        // Times are scan index x the period the driver accepted (the command test rounds the
        // requested one to what the board's timer can do), in whole ns before the division.
        StringBuilder line = new StringBuilder(32 + 16 * n);
        try (BufferedWriter w = Files.newBufferedWriter(file, StandardCharsets.US_ASCII)) {
            line.append("time_s");
            for (Input in : inputs) {
                line.append(',').append(in.column());
            }
            if (triggers) {
                line.append(",trigger");
            }
            w.append(line).append('\n');
            int nextRecord = 0;
            for (long r = 0; r < rows; r++) {
                line.setLength(0);
                Numbers.appendSixDecimals(line, r * acq.scanPeriodNanos / 1e9);
                for (int c = 0; c < n; c++) {
                    line.append(',');
                    Numbers.appendSixDecimals(line, acq.value(r, c));
                }
                if (triggers) {
                    boolean at = nextRecord < acq.records.size() && acq.records.get(nextRecord)[0] == r;
                    line.append(at ? ",1" : ",0");
                    nextRecord += at ? 1 : 0;
                }
                w.append(line).append('\n');
            }
        }
    }
}
