package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.acq.comedi.StreamingTestSupport.AI_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_16;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;
import static org.vorn.acq.comedi.StreamingTestSupport.rangeIndex;
import static org.vorn.acq.comedi.StreamingTestSupport.toPhys;

import java.nio.ByteBuffer;
import java.nio.DoubleBuffer;

import org.junit.jupiter.api.Test;
import org.vorn.emu.EmulatedBoard;
import org.vorn.testsupport.NativeStdout;

/**
 * Sixteen channels at 100 kS/s aggregate (6250 scans/s) for ten seconds of board time: every one of
 * the million samples must arrive once, in order, converted with its own channel's range. The clock
 * is driven by hand in steps of a tenth of a second, so the run takes the same course on any machine.
 */
class ComediAnalogStreamingLongRunTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final int CHANNELS = 16;
    private static final double SCAN_RATE = 6250;
    private static final long SCANS_PER_STEP = 625;
    private static final int STEPS = 100;
    private static final int BUF_SIZE = 4096;

    /** A range per hardware channel that holds its signal (ch7 counts samples, 14/15 see the DACs). */
    private static final double[][] RANGES = {
        {-1, 1}, {0, 5}, {-5, 5}, {0, 5}, {-5, 5}, {-5, 5}, {-5, 5}, {-10, 10},
        {0, 10}, {-10, 10}, {-1, 1}, {-1, 1}, {0, 5}, {-10, 10}, {-10, 10}, {0, 10},
    };

    @Test
    void tenSecondsOfSixteenChannelsArriveWhole() {
        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_MANUAL);
        int openBefore = EmulatedBoard.openCount();
        // Scan position p reads hardware channel 15 - p, so position and channel number differ.
        int[] chan = new int[CHANNELS];
        int[] range = new int[CHANNELS];
        try (var ai = new ComediAnalogStreamingDevice(MULTI, CHANNELS, SCAN_RATE, BUF_SIZE)) {
            for (int p = 0; p < CHANNELS; p++) {
                chan[p] = CHANNELS - 1 - p;
                double[] r = RANGES[chan[p]];
                range[p] = rangeIndex(r[0], r[1]);
                ai.configureChannel(p, chan[p], r[0], r[1], AnalogReference.GROUND);
            }
            NativeStdout.capture(ai::configure);
            ai.start();
            long[] cmd = EmulatedBoard.currentCmd(MULTI, 0);
            assertEquals(160000, cmd[EmulatedBoard.CMD_SCAN_BEGIN_ARG]);
            assertEquals(10000, cmd[EmulatedBoard.CMD_CONVERT_ARG]);

            ByteBuffer buf = doubles(BUF_SIZE);
            DoubleBuffer view = buf.asDoubleBuffer();
            double[] got = new double[BUF_SIZE];
            long index = 0;
            long calls = 0;
            for (int step = 0; step < STEPS; step++) {
                assertEquals(0, EmulatedBoard.advanceScans(MULTI, SCANS_PER_STEP));
                long due = (step + 1) * SCANS_PER_STEP * CHANNELS;
                int n;
                while ((n = ai.read(buf)) > 0) {
                    calls++;
                    assertTrue(n <= BUF_SIZE);
                    view.get(0, got, 0, n);
                    for (int k = 0; k < n; k++, index++) {
                        int p = (int) (index % CHANNELS);
                        long t = EmulatedBoard.sampleTimeNs(MULTI, 0, index);
                        long raw = EmulatedBoard.expectedRaw(MULTI, chan[p], range[p], t, index);
                        double want = toPhys(raw, AI_RANGES_UV[range[p]], MAXDATA_16);
                        if (Double.doubleToRawLongBits(want) != Double.doubleToRawLongBits(got[k])) {
                            assertEquals(want, got[k], "sample " + index + " (position " + p + ", channel "
                                    + chan[p] + ")");
                        }
                    }
                }
                assertEquals(due, index, "after step " + step + " every converted sample has been read");
            }
            assertEquals(1_000_000, index);
            assertTrue(calls >= 1_000_000 / BUF_SIZE, "no call returned more than bufSize values");
            assertEquals(2L * index, cmd(MULTI)[EmulatedBoard.CMD_BYTES_READ]);
            ai.stop();
        }
        assertEquals(openBefore, EmulatedBoard.openCount());
    }

    private static long[] cmd(String board) {
        return EmulatedBoard.currentCmd(board, 0);
    }
}
