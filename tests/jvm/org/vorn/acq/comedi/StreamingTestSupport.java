// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.vorn.testsupport.DirectBuffers.direct;

import java.nio.ByteBuffer;
import java.util.Arrays;

import org.vorn.emu.EmulatedBoard;

/** What the streaming tests share: the emulated AI ranges and comedilib's raw-to-volt rule. */
final class StreamingTestSupport {
    private StreamingTestSupport() {
    }

    /** Ranges of the emulated AI subdevices (multi, ai18), in µV as the driver reports them. */
    static final int[][] AI_RANGES_UV = {
        {-10000000, 10000000}, {-5000000, 5000000}, {-1000000, 1000000}, {0, 10000000}, {0, 5000000},
    };

    /** Ranges of the comedi_test model. */
    static final int[][] CT_RANGES_UV = {{-10000000, 10000000}, {-5000000, 5000000}};

    static final long MAXDATA_16 = 65535;
    static final long MAXDATA_18 = 262143;

    /** The range index comedi_find_range picks for [min, max] on the emulated AI subdevices. */
    static int rangeIndex(double min, double max) {
        int best = -1;
        double bestSpan = Double.MAX_VALUE;
        for (int i = 0; i < AI_RANGES_UV.length; i++) {
            double lo = AI_RANGES_UV[i][0] * 1e-6;
            double hi = AI_RANGES_UV[i][1] * 1e-6;
            if (lo <= min && hi >= max && hi - lo < bestSpan) {
                best = i;
                bestSpan = hi - lo;
            }
        }
        return best;
    }

    /** comedi_to_phys with out-of-range values as numbers, in comedilib's order of operations. */
    static double toPhys(long raw, int[] rangeUv, long maxdata) {
        double min = rangeUv[0] * 1e-6;
        double max = rangeUv[1] * 1e-6;
        double x = raw;
        x /= maxdata;
        x *= max - min;
        x += min;
        return x;
    }

    /** The value the emulated board delivered as stream sample {@code index} of the running command. */
    static double expectedVolts(String board, int chan, int range, long index, int[][] ranges, long maxdata) {
        long t = EmulatedBoard.sampleTimeNs(board, 0, index);
        long raw = EmulatedBoard.expectedRaw(board, chan, range, t, index);
        if (t < 0 || raw < 0) {
            throw new AssertionError("the board knows no sample " + index + " of channel " + chan);
        }
        return toPhys(raw, ranges[range], maxdata);
    }

    /** The channel of the generic emulated boards whose raw value counts the samples of the stream. */
    static final int COUNTER_CHANNEL = 7;

    /**
     * Position i on hardware channel {@code channels[i]}, in the emulated AI range {@code ranges[i]}
     * (an index into {@link #AI_RANGES_UV}), against ground.
     */
    static void configureAiRanges(ComediAnalogDevice d, int[] channels, int[] ranges) {
        for (int i = 0; i < ranges.length; i++) {
            int[] r = AI_RANGES_UV[ranges[i]];
            d.configureChannel(i, channels[i], r[0] * 1e-6, r[1] * 1e-6, AnalogReference.GROUND);
        }
    }

    /** Every position on the counter channel, position i in the emulated AI range {@code ranges[i]}. */
    static void configureCounter(ComediAnalogDevice d, int[] ranges) {
        int[] channels = new int[ranges.length];
        Arrays.fill(channels, COUNTER_CHANNEL);
        configureAiRanges(d, channels, ranges);
    }

    /**
     * Configures position {@code index} through the channel native itself, for what the public API
     * refuses (positions beyond the count, empty ranges) but the native keeps accepting.
     */
    static void configureNative(ComediAnalogDevice d, int index, int channel, double min, double max, String reference) {
        ByteBuffer h = d.lockHandle();
        try {
            d.nCreateChannels(h, index, (short) channel, min, max, reference);
        } finally {
            d.unlock();
        }
    }

    static ByteBuffer doubles(int n) {
        return direct(8 * n);
    }

    static long bytesRead(String board) {
        long[] cmd = EmulatedBoard.currentCmd(board, 0);
        if (cmd == null) {
            throw new AssertionError("no command on " + board);
        }
        return cmd[EmulatedBoard.CMD_BYTES_READ];
    }
}
