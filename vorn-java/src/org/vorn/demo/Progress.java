// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.util.Locale;

/** The progress line: redrawn in place on a terminal, one line a second otherwise. */
final class Progress {
    private static final int WIDTH = 30;
    private final Acquisition acq;
    private final PrintStream out;
    private final boolean terminal;
    private final double total;
    private long nextNs;
    private boolean drawn;
    private long drawnValues = -1;

    Progress(Acquisition acq, double rate, PrintStream out, boolean terminal) {
        this.acq = acq;
        this.out = out;
        this.terminal = terminal;
        this.total = acq.wantedScans / rate;
        this.nextNs = System.nanoTime();
    }

    void update(long now) {
        if (now < nextNs) {
            return;
        }
        nextNs = now + (terminal ? 100_000_000L : 1_000_000_000L);
        draw();
    }

    void finish() {
        if (terminal || drawnValues != acq.receivedValues) {
            draw();
        }
        if (terminal && drawn) {
            out.println();
        }
        out.flush();
    }

    private void draw() {
        long values = Math.min(acq.receivedValues, acq.samples.length);
        double fraction = Math.min(1.0, (double) values / acq.samples.length);
        double rate = acq.seconds > 0 ? values / acq.seconds : 0;
        if (terminal) {
            int filled = (int) Math.round(fraction * WIDTH);
            out.printf(Locale.ROOT, "\r  [%s%s] %5.1f %%  %6.2f / %.2f s  %,10d samples  %,9.0f samples/s ",
                    "#".repeat(filled), ".".repeat(WIDTH - filled), 100 * fraction, acq.seconds, total,
                    values, rate);
        } else {
            out.printf(Locale.ROOT, "  %5.1f %%  %6.2f / %.2f s  %d samples  %.0f samples/s%n",
                    100 * fraction, acq.seconds, total, values, rate);
        }
        out.flush();
        drawn = true;
        drawnValues = acq.receivedValues;
    }
}
