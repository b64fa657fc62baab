// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Path;
import java.util.Locale;

import javax.imageio.ImageIO;

import org.jfree.chart.JFreeChart;
import org.jfree.chart.axis.LogarithmicAxis;
import org.jfree.chart.axis.NumberAxis;
import org.jfree.chart.plot.CombinedDomainXYPlot;
import org.jfree.chart.plot.XYPlot;
import org.jfree.chart.renderer.xy.XYLineAndShapeRenderer;
import org.jfree.data.xy.XYSeries;
import org.jfree.data.xy.XYSeriesCollection;

/** The Bode diagram of {@code --stimulus}: gain and phase over a logarithmic frequency axis, measured and model. */
final class BodePlot {
    private BodePlot() {
    }

    static void write(Stimulus.Row[] rows, String device, Path file) throws IOException {
        XYSeriesCollection gain = new XYSeriesCollection();
        XYSeriesCollection phase = new XYSeriesCollection();
        XYSeries gMeasured = new XYSeries("measured, AI1 against AI0");
        XYSeries pMeasured = new XYSeries("measured, AI1 against AI0");
        XYSeries gModel = new XYSeries("model 1/(1+j\u00b72\u03c0f\u03c4), \u03c4 = 1 ms");
        XYSeries pModel = new XYSeries("model 1/(1+j\u00b72\u03c0f\u03c4), \u03c4 = 1 ms");
        double lo = rows[0].hz();
        double hi = rows[rows.length - 1].hz();
        for (Stimulus.Row r : rows) {
            gMeasured.add(r.hz(), r.gainDb());
            pMeasured.add(r.hz(), r.phaseDeg());
        }
        // The model as a smooth line over the sweep, 40 points a decade.
        int points = (int) Math.ceil(40 * Math.log10(hi / lo));
        for (int i = 0; i <= points; i++) {
            double f = lo * Math.pow(hi / lo, (double) i / points);
            double wtau = 2 * Math.PI * f * Stimulus.TAU_SECONDS;
            gModel.add(f, -10 * Math.log10(1 + wtau * wtau));
            pModel.add(f, -Math.toDegrees(Math.atan(wtau)));
        }
        gain.addSeries(gMeasured);
        gain.addSeries(gModel);
        phase.addSeries(pMeasured);
        phase.addSeries(pModel);

        LogarithmicAxis frequency = new LogarithmicAxis("frequency [Hz]");
        frequency.setRange(lo / 1.2, hi * 1.2);
        CombinedDomainXYPlot plot = new CombinedDomainXYPlot(frequency);
        plot.setGap(12);
        plot.add(subplot(gain, "gain [dB]"), 1);
        XYPlot phasePlot = subplot(phase, "phase [deg]");
        phasePlot.getRenderer().setSeriesVisibleInLegend(0, false); // the gain's legend says it
        phasePlot.getRenderer().setSeriesVisibleInLegend(1, false);
        plot.add(phasePlot, 1);
        JFreeChart chart = new JFreeChart("Frequency response on " + device, JFreeChart.DEFAULT_TITLE_FONT, plot, true);
        ChartStyle.frame(chart, String.format(Locale.ROOT, "StimulusResponseTask, %d frequencies from %s to %s Hz,"
                + " AO0 stepped sines, AI1 (RC low-pass) against AI0 (direct)", rows.length,
                Numbers.plain(Math.round(lo * 10) / 10.0), Numbers.plain(Math.round(hi * 10) / 10.0)));
        ChartStyle.axis(frequency);
        BufferedImage image = chart.createBufferedImage(Plot.WIDTH, Plot.HEIGHT);
        if (!ImageIO.write(image, "png", file.toFile())) {
            throw new IOException("no PNG writer in this Java runtime");
        }
    }

    /** Measured points as marks, the model as a line. */
    private static XYPlot subplot(XYSeriesCollection data, String label) {
        // The renderer ChartStyle sets draws lines only: the measured points become marks.
        NumberAxis y = new NumberAxis(label);
        XYPlot p = new XYPlot(data, null, y, new XYLineAndShapeRenderer());
        ChartStyle.plot(p, 2);
        XYLineAndShapeRenderer renderer = (XYLineAndShapeRenderer) p.getRenderer();
        renderer.setSeriesLinesVisible(0, false);
        renderer.setSeriesShapesVisible(0, true);
        renderer.setSeriesShapesVisible(1, false);
        y.setAutoRangeIncludesZero(false);
        return p;
    }
}
