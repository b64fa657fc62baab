// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.image.BufferedImage;

import javax.imageio.ImageIO;

import org.jfree.chart.JFreeChart;
import org.jfree.chart.axis.NumberAxis;
import org.jfree.chart.block.BlockBorder;
import org.jfree.chart.plot.XYPlot;
import org.jfree.chart.renderer.xy.XYLineAndShapeRenderer;
import org.jfree.chart.title.TextTitle;
import org.jfree.ui.RectangleEdge;

/** How the plot looks: white, light grid, the legend below, one colour per channel. */
final class ChartStyle {
    static final Color[] PALETTE = {
        new Color(0x1f77b4), new Color(0xd62728), new Color(0x2ca02c), new Color(0xff7f0e),
        new Color(0x9467bd), new Color(0x8c564b), new Color(0xe377c2), new Color(0x7f7f7f),
        new Color(0xbcbd22), new Color(0x17becf), new Color(0x393b79), new Color(0xad494a),
        new Color(0x637939), new Color(0x8c6d31), new Color(0x843c39), new Color(0x7b4173),
    };

    private ChartStyle() {
    }

    /**
     * After ^C the plot is drawn while the JVM shuts down, when nothing may add a shutdown hook any
     * more. ImageIO's file cache adds one per stream (and is of no use for a file written at
     * once), and the graphics and font set-up may: both are done now, before the acquisition.
     */
    static void prepareGraphics() {
        ImageIO.setUseCache(false);
        BufferedImage probe = new BufferedImage(8, 8, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = probe.createGraphics();
        g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
        g.drawString("0", 0, 8);
        g.dispose();
    }

    static void apply(JFreeChart chart, String subtitleText, int series) {
        frame(chart, subtitleText);
        plot(chart.getXYPlot(), series);
    }

    /** The title, the subtitle and the legend. */
    static void frame(JFreeChart chart, String subtitleText) {
        chart.setAntiAlias(true);
        chart.setTextAntiAlias(true);
        chart.setBackgroundPaint(Color.WHITE);
        chart.getTitle().setFont(new Font(Font.SANS_SERIF, Font.BOLD, 18));
        TextTitle subtitle = new TextTitle(subtitleText, new Font(Font.SANS_SERIF, Font.PLAIN, 13));
        subtitle.setPaint(Color.DARK_GRAY);
        chart.addSubtitle(subtitle);
        chart.getLegend().setPosition(RectangleEdge.BOTTOM);
        chart.getLegend().setFrame(BlockBorder.NONE);
        chart.getLegend().setItemFont(new Font(Font.SANS_SERIF, Font.PLAIN, 13));
    }

    /** The plot's background, grid and lines, and its axes (a subplot of a combined plot has no domain axis of its own). */
    static void plot(XYPlot plot, int series) {
        plot.setBackgroundPaint(Color.WHITE);
        plot.setOutlinePaint(Color.GRAY);
        plot.setDomainGridlinePaint(new Color(0xd0d0d0));
        plot.setRangeGridlinePaint(new Color(0xd0d0d0));
        plot.setDomainGridlineStroke(new BasicStroke(0.8f));
        plot.setRangeGridlineStroke(new BasicStroke(0.8f));
        plot.setRangeZeroBaselineVisible(true);
        plot.setRangeZeroBaselinePaint(Color.GRAY);

        XYLineAndShapeRenderer lines = new XYLineAndShapeRenderer(true, false);
        for (int c = 0; c < series; c++) {
            lines.setSeriesPaint(c, PALETTE[c % PALETTE.length]);
            lines.setSeriesStroke(c, new BasicStroke(1.5f, BasicStroke.CAP_ROUND, BasicStroke.JOIN_ROUND));
        }
        plot.setRenderer(lines);

        if (plot.getDomainAxis() instanceof NumberAxis x) {
            axis(x);
            x.setAutoRangeIncludesZero(true);
            x.setLowerMargin(0);
            x.setUpperMargin(0);
        }
        NumberAxis y = (NumberAxis) plot.getRangeAxis();
        axis(y);
        y.setAutoRangeIncludesZero(true);
        y.setUpperMargin(0.08);
        y.setLowerMargin(0.08);
    }

    static void axis(NumberAxis axis) {
        axis.setLabelFont(new Font(Font.SANS_SERIF, Font.PLAIN, 14));
        axis.setTickLabelFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
    }
}
