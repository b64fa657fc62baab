package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static org.vorn.acq.comedi.StreamingTestSupport.AI_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_16;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;
import static org.vorn.acq.comedi.StreamingTestSupport.toPhys;

import java.nio.ByteBuffer;
import java.nio.DoubleBuffer;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.NativeStdout;

/**
 * Streaming in real time at 320 kS/s (8 positions × 40 000 scans/s) on the emulated board, every
 * position reading the counter channel, whose raw value is the sample's index in the stream mod
 * 65536. Each position converts with a different range, so a sample that arrived twice, late, early
 * or at the wrong position has the wrong value. Then the same with an overrun, injected and caused
 * by not reading: every sample before it must be delivered, and the overrun must reach Java as an
 * exception.
 *
 * <p>CI runs a few seconds; a long soak: {@code -Dvorn.soak.seconds=300} (see the README).
 */
class StreamingSoakTest {
    private static final int SECONDS = Integer.getInteger("vorn.soak.seconds", 3);
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final int POSITIONS = 8;
    private static final double SCAN_RATE = 40_000;
    private static final int BUF_SIZE = 65536;
    private static final int COUNTER = 7;
    /** Range index per scan position: ±10, ±5, ±1, 0..10, 0..5 V and again. */
    private static final int[] RANGE = {0, 1, 2, 3, 4, 0, 1, 2};

    private int openBefore;
    private long index;
    private double[] got;

    @BeforeEach
    void setUp() {
        EmulatedBoard.reset();
        openBefore = EmulatedBoard.openCount();
        index = 0;
        got = new double[BUF_SIZE];
    }

    @AfterEach
    void tearDown() {
        assertEquals(openBefore, EmulatedBoard.openCount(), "devices left open");
        EmulatedBoard.reset();
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

    // ---- helpers ------------------------------------------------------------------------------

    private ComediAnalogStreamingDevice counterDevice() {
        var ai = new ComediAnalogStreamingDevice(MULTI, POSITIONS, SCAN_RATE, BUF_SIZE);
        for (int p = 0; p < POSITIONS; p++) {
            int[] r = AI_RANGES_UV[RANGE[p]];
            ai.configureChannel(p, COUNTER, r[0] * 1e-6, r[1] * 1e-6, AnalogReference.GROUND);
        }
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
        assertTrue(m.startsWith("Error getting buffer size: Buffer overflow: overrun on ")
                || m.startsWith("Error reading comedi data: Broken pipe: overrun on "), "overrun reported as: " + m);
    }

    private static long[] cmd() {
        long[] cmd = EmulatedBoard.currentCmd(MULTI, 0);
        assertNotNull(cmd, "no command on " + MULTI);
        return cmd;
    }
}
