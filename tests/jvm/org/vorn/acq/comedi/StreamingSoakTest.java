// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static org.vorn.acq.comedi.StreamingTestSupport.AI_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_16;
import static org.vorn.acq.comedi.StreamingTestSupport.configureCounter;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;
import static org.vorn.acq.comedi.StreamingTestSupport.rangeIndex;
import static org.vorn.acq.comedi.StreamingTestSupport.toPhys;

import java.nio.ByteBuffer;
import java.nio.DoubleBuffer;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.NativeStdout;

/**
 * Streaming in real time at 320 kS/s (8 positions × 40 000 scans/s) on the emulated board, every
 * position reading the counter channel, whose raw value is the sample's index in the stream mod
 * 65536. Each position converts with a different range, so a sample that arrived twice, late, early
 * or at the wrong position has the wrong value. Then the same with an overrun, injected and caused
 * by not reading: every sample before it must be delivered, and the overrun must reach Java as an
 * exception. And sixteen channels at 100 kS/s aggregate on the hand-driven clock, each with its own
 * range, for ten seconds of board time or the soak's seconds if longer.
 *
 * <p>CI runs a few seconds; a long soak: {@code -Dvorn.soak.seconds=300} (see the README).
 */
class StreamingSoakTest {
    private static final int SECONDS = Integer.getInteger("vorn.soak.seconds", 3);
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final int POSITIONS = 8;
    private static final double SCAN_RATE = 40_000;
    private static final int BUF_SIZE = 65536;
    /** Range index per scan position: ±10, ±5, ±1, 0..10, 0..5 V and again. */
    private static final int[] RANGE = {0, 1, 2, 3, 4, 0, 1, 2};

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();
    private long index;
    private double[] got;

    @BeforeEach
    void setUp() {
        index = 0;
        got = new double[BUF_SIZE];
    }

    @Test
    void everySampleArrivesOnceInOrderOnItsPosition() throws InterruptedException {
        try (var ai = counterDevice()) {
            ai.start();
            ByteBuffer buf = doubles(BUF_SIZE);
            long end = System.nanoTime() + SECONDS * 1_000_000_000L;
            long calls = 0;
            while (System.nanoTime() < end) {
                if (readAndCheck(ai, buf) == 0) {
                    Thread.sleep(1);
                }
                calls++;
            }
            // Everything the board has converted by now must still arrive.
            long written = cmd()[EmulatedBoard.CMD_SAMPLES_WRITTEN];
            while (index < written) {
                if (readAndCheck(ai, buf) == 0) {
                    Thread.sleep(1);
                }
            }
            assertEquals(2 * index, cmd()[EmulatedBoard.CMD_BYTES_READ], "bytes consumed from the driver");
            assertEquals(0, cmd()[EmulatedBoard.CMD_OVERFLOW], "the reader kept up");
            assertEquals(25_000, cmd()[EmulatedBoard.CMD_SCAN_BEGIN_ARG], "scan period in ns");
            ai.stop();
            System.out.printf("soak: %d s, %d samples checked in %d reads (%.0f samples/s)%n", SECONDS, index, calls,
                    index / (double) SECONDS);
            assertTrue(index >= (long) (0.9 * SECONDS * SCAN_RATE * POSITIONS), "only " + index + " samples in "
                    + SECONDS + " s");
        }
    }

    @Test
    void anInjectedOverrunFollowsEverySampleBeforeIt() throws InterruptedException {
        try (var ai = counterDevice()) {
            ai.start();
            ByteBuffer buf = doubles(BUF_SIZE);
            long end = System.nanoTime() + Math.max(1, SECONDS / 3) * 1_000_000_000L;
            while (System.nanoTime() < end) {
                if (readAndCheck(ai, buf) == 0) {
                    Thread.sleep(1);
                }
            }
            assertEquals(0, EmulatedBoard.overrunNow(MULTI));
            long written = cmd()[EmulatedBoard.CMD_SAMPLES_WRITTEN];
            ComediException overrun = drainUntilFailure(ai, buf);
            assertEquals(written, index, "every sample converted before the overrun is delivered");
            assertOverrunMessage(overrun);
            ai.stop();
        }
    }

    @Test
    void aReaderThatFallsBehindGetsEverySampleThenTheOverrun() throws InterruptedException {
        // A small driver buffer fills in 50 ms at this rate.
        EmulatedBoard.setBufferSize(32 * 1024);
        try (var ai = counterDevice()) {
            ai.start();
            ByteBuffer buf = doubles(BUF_SIZE);
            for (int i = 0; i < 20; i++) {
                readAndCheck(ai, buf);
                Thread.sleep(1);
            }
            long[] cmd;
            long giveUp = System.nanoTime() + 10_000_000_000L;
            while ((cmd = cmd())[EmulatedBoard.CMD_OVERFLOW] == 0) {
                assertTrue(System.nanoTime() < giveUp, "the unread buffer never overflowed");
                Thread.sleep(20); // not reading
            }
            long written = cmd[EmulatedBoard.CMD_SAMPLES_WRITTEN];
            ComediException overrun = drainUntilFailure(ai, buf);
            assertEquals(written, index, "every sample that fitted into the driver's buffer is delivered");
            assertTrue(index > 0);
            assertOverrunMessage(overrun);
            ai.stop();
        }
    }

    /** A range per hardware channel that holds its signal (ch7 counts samples, 14/15 see the DACs). */
    private static final double[][] LONG_RUN_RANGES = {
        {-1, 1}, {0, 5}, {-5, 5}, {0, 5}, {-5, 5}, {-5, 5}, {-5, 5}, {-10, 10},
        {0, 10}, {-10, 10}, {-1, 1}, {-1, 1}, {0, 5}, {-10, 10}, {-10, 10}, {0, 10},
    };

    /**
     * Sixteen channels at 6250 scans/s: every sample of the run must arrive once, in order,
     * converted with its own channel's range. The clock is driven by hand in steps of a tenth of a
     * second, so the run takes the same course on any machine.
     */
    @Test
    void sixteenChannelsOnTheHandDrivenClockArriveWhole() {
        final int channels = 16;
        final double scanRate = 6250;
        final long scansPerStep = 625;
        final int steps = 10 * Math.max(10, SECONDS);
        final int bufSize = 4096;
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_MANUAL);
        // Scan position p reads hardware channel 15 - p, so position and channel number differ.
        int[] chan = new int[channels];
        int[] range = new int[channels];
        try (var ai = new ComediAnalogStreamingDevice(MULTI, channels, scanRate, bufSize)) {
            for (int p = 0; p < channels; p++) {
                chan[p] = channels - 1 - p;
                double[] r = LONG_RUN_RANGES[chan[p]];
                range[p] = rangeIndex(r[0], r[1]);
                ai.configureChannel(p, chan[p], r[0], r[1], AnalogReference.GROUND);
            }
            NativeStdout.capture(ai::configure);
            ai.start();
            long[] command = cmd();
            assertEquals(160000, command[EmulatedBoard.CMD_SCAN_BEGIN_ARG]);
            assertEquals(10000, command[EmulatedBoard.CMD_CONVERT_ARG]);

            ByteBuffer buf = doubles(bufSize);
            DoubleBuffer view = buf.asDoubleBuffer();
            double[] values = new double[bufSize];
            long calls = 0;
            for (int step = 0; step < steps; step++) {
                assertEquals(0, EmulatedBoard.advanceScans(MULTI, scansPerStep));
                long due = (step + 1) * scansPerStep * channels;
                int n;
                while ((n = ai.read(buf)) > 0) {
                    calls++;
                    assertTrue(n <= bufSize);
                    view.get(0, values, 0, n);
                    for (int k = 0; k < n; k++, index++) {
                        int p = (int) (index % channels);
                        long t = EmulatedBoard.sampleTimeNs(MULTI, 0, index);
                        long raw = EmulatedBoard.expectedRaw(MULTI, chan[p], range[p], t, index);
                        double want = toPhys(raw, AI_RANGES_UV[range[p]], MAXDATA_16);
                        if (Double.doubleToRawLongBits(want) != Double.doubleToRawLongBits(values[k])) {
                            assertEquals(want, values[k], "sample " + index + " (position " + p + ", channel "
                                    + chan[p] + ")");
                        }
                    }
                }
                assertEquals(due, index, "after step " + step + " every converted sample has been read");
            }
            long total = steps * scansPerStep * channels; // 1,000,000 in ten seconds
            assertEquals(total, index);
            assertTrue(calls >= total / bufSize, "no call returned more than bufSize values");
            assertEquals(2L * index, cmd()[EmulatedBoard.CMD_BYTES_READ]);
            ai.stop();
        }
    }

    // ---- helpers ------------------------------------------------------------------------------

    private ComediAnalogStreamingDevice counterDevice() {
        var ai = new ComediAnalogStreamingDevice(MULTI, POSITIONS, SCAN_RATE, BUF_SIZE);
        configureCounter(ai, RANGE);
        NativeStdout.capture(ai::configure);
        return ai;
    }

    /** Reads once and checks every value against the counter; returns how many arrived. */
    private int readAndCheck(ComediAnalogStreamingDevice ai, ByteBuffer buf) {
        int n = ai.read(buf);
        assertTrue(n >= 0 && n <= BUF_SIZE, "read returned " + n);
        DoubleBuffer view = buf.asDoubleBuffer();
        view.get(0, got, 0, n);
        for (int k = 0; k < n; k++, index++) {
            int p = (int) (index % POSITIONS);
            double want = toPhys(index & 0xffff, AI_RANGES_UV[RANGE[p]], MAXDATA_16);
            if (Double.doubleToRawLongBits(want) != Double.doubleToRawLongBits(got[k])) {
                fail("sample " + index + " (position " + p + ") is " + got[k] + ", expected " + want
                        + " for raw " + (index & 0xffff));
            }
        }
        return n;
    }

    private ComediException drainUntilFailure(ComediAnalogStreamingDevice ai, ByteBuffer buf) {
        for (int calls = 0; calls < 1000; calls++) {
            try {
                int n = readAndCheck(ai, buf);
                assertTrue(n > 0, "an overrun must not read as silence (after " + index + " samples)");
            } catch (ComediException e) {
                return e;
            }
        }
        fail("the overrun never reached Java");
        return null;
    }

    private static void assertOverrunMessage(ComediException overrun) {
        assertNotNull(overrun.getMessage());
        String m = overrun.getMessage();
        assertTrue(overrun instanceof org.vorn.exception.ComediOverrunException, "overrun reported as: " + overrun);
        assertTrue(m.startsWith("Overrun on "), "overrun reported as: " + m);
    }

    private static long[] cmd() {
        long[] cmd = EmulatedBoard.currentCmd(MULTI, 0);
        assertNotNull(cmd, "no command on " + MULTI);
        return cmd;
    }
}
