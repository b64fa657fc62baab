// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Path;
import java.util.Locale;

import javax.imageio.ImageIO;

import org.jfree.chart.ChartFactory;
import org.jfree.chart.JFreeChart;
import org.jfree.chart.axis.NumberAxis;
import org.jfree.chart.plot.PlotOrientation;
import org.jfree.chart.plot.ValueMarker;
import org.jfree.data.xy.XYSeries;
import org.jfree.data.xy.XYSeriesCollection;

/** The PNG plot of a run: one line per channel over time (its look is {@link ChartStyle}'s). */
final class Plot {
    static final int WIDTH = 1200;
    static final int HEIGHT = 700;
    /** At most this many points per line; longer runs keep each bucket's minimum and maximum. */
    static final int POINTS = 8000;
    /** At most this many trigger instants are marked. */
    static final int MARKERS = 500;

    private Plot() {
    }

    static void write(Acquisition acq, Input[] inputs, Options opt, Path file) throws IOException {
        int n = acq.nChannels;
        long rows = acq.rows();
        XYSeriesCollection data = new XYSeriesCollection();
        for (int c = 0; c < n; c++) {
            Input in = inputs[c];
            String label = in.name() + " (" + in.plotRange() + ")"
                    + (opt.emulated() ? ": " + in.emulatedSignal().replace("+/-", "\u00b1") : "");
            data.addSeries(series(label, acq, c, acq.scanRate));
        }

        String title = String.format(Locale.ROOT, "%d channel%s at %s Hz on %s", n, n == 1 ? "" : "s",
                Numbers.plain(Math.round(acq.scanRate * 1000) / 1000.0), opt.device);
        JFreeChart chart = ChartFactory.createXYLineChart(title, "time [s]", "voltage [V]", data,
                PlotOrientation.VERTICAL, true, false, false);
        ChartStyle.apply(chart, String.format(Locale.ROOT,
                "ComediAnalogStreamingDevice, %d scans in %.2f s, %d lost%s", rows, acq.seconds, acq.lostScans,
                acq.stoppedByUser ? ", stopped early" : ""), n);
        // The trigger instants as thin vertical lines; past a few hundred they would hide the signals.
        for (int k = 0; k < Math.min(acq.records.size(), MARKERS); k++) {
            ValueMarker m = new ValueMarker(acq.records.get(k)[0] * acq.scanPeriodNanos / 1e9);
            m.setPaint(java.awt.Color.GRAY);
            m.setStroke(new java.awt.BasicStroke(1f, java.awt.BasicStroke.CAP_BUTT, java.awt.BasicStroke.JOIN_MITER,
                    1f, new float[] {4f, 4f}, 0f));
            chart.getXYPlot().addDomainMarker(m);
        }
        if (rows > 1) {
            NumberAxis x = (NumberAxis) chart.getXYPlot().getDomainAxis();
            x.setRange(0, Math.max((rows - 1) / acq.scanRate, 1e-9));
        }

        BufferedImage image = chart.createBufferedImage(WIDTH, HEIGHT);
        if (!ImageIO.write(image, "png", file.toFile())) {
            throw new IOException("no PNG writer in this Java runtime");
        }
    }

    /** Channel {@code c} over time, every scan or, past {@link #POINTS}, each bucket's envelope. */
    private static XYSeries series(String label, Acquisition acq, int c, double rate) {
        long rows = acq.rows();
        long bucket = Math.max(1, (2 * rows + POINTS - 1) / POINTS);
        XYSeries s = new XYSeries(label, false, true);
        if (bucket == 1) {
            for (long r = 0; r < rows; r++) {
                s.add(r / rate, acq.value(r, c), false);
            }
            return s;
        }
        // The envelope of each bucket, in time order, so that peaks and edges survive.
        for (long r0 = 0; r0 < rows; r0 += bucket) {
            long r1 = Math.min(rows, r0 + bucket);
            long rMin = r0;
            long rMax = r0;
            for (long r = r0; r < r1; r++) {
                double v = acq.value(r, c);
                if (v < acq.value(rMin, c)) {
                    rMin = r;
                }
                if (v > acq.value(rMax, c)) {
                    rMax = r;
                }
            }
            long first = Math.min(rMin, rMax);
            long second = Math.max(rMin, rMax);
            s.add(first / rate, acq.value(first, c), false);
            if (second != first) {
                s.add(second / rate, acq.value(second, c), false);
            }
        }
        return s;
    }
}
