// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

/** How the demo writes numbers where a user reads them back: options, titles, the CSV file. */
final class Numbers {
    private Numbers() {
    }

    /** A whole number without its ".0" (a rate of 1000 reads "1000"), any other as Java writes it. */
    static String plain(double v) {
        if (v == Math.rint(v) && Math.abs(v) < 1e15) {
            return Long.toString((long) v);
        }
        return Double.toString(v);
    }

    /**
     * Six decimals (1 µs, 1 µV: finer than a 16-bit step of a ±1 V range), written without
     * String.format, which would dominate the time of a long run's file.
     */
    static void appendSixDecimals(StringBuilder sb, double v) {
        long micro = Math.round(v * 1e6);
        if (micro < 0) {
            sb.append('-');
            micro = -micro;
        }
        sb.append(micro / 1_000_000).append('.');
        String frac = Long.toString(micro % 1_000_000);
        for (int i = frac.length(); i < 6; i++) {
            sb.append('0');
        }
        sb.append(frac);
    }
}
