// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.acq.comedi.StreamingTestSupport.AI_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_16;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;
import static org.vorn.acq.comedi.StreamingTestSupport.toPhys;
import static org.vorn.testsupport.DirectBuffers.direct;

import java.nio.ByteBuffer;
import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.Consumer;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.exception.ComediOverrunException;
import org.vorn.exception.ReadInterruptedException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.Errno;
import org.vorn.testsupport.NativeStdout;

/**
 * The waiting reads on the emulated board: they sleep in poll until the board's clock has made
 * enough samples readable (another thread moves the manual clock), return what came at the
 * timeout, keep whole scans whole, and wake at once when another thread stops or closes.
 */
class StreamingWaitTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final Duration LONG = Duration.ofSeconds(60);
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    private static ComediAnalogStreamingDevice counter(int channels, int bufSize) {
        var ai = new ComediAnalogStreamingDevice(MULTI, channels, 1000, bufSize);
        for (int p = 0; p < channels; p++) {
            ai.configureChannel(p, 7, AI_RANGES_UV[p % 2][0] * 1e-6, AI_RANGES_UV[p % 2][1] * 1e-6,
                    AnalogReference.GROUND);
        }
        NativeStdout.capture(ai::configure);
        return ai;
    }

    private static double counterVolts(long index, int channels) {
        return toPhys(index % (MAXDATA_16 + 1), AI_RANGES_UV[(int) (index % channels) % 2], MAXDATA_16);
    }

    /** Moves the manual clock one scan at a time from another thread once the reader sleeps. */
    private static CompletableFuture<Void> advanceLater(int scans) {
        return CompletableFuture.runAsync(() -> {
            for (int i = 0; i < scans; i++) {
                sleepMs(5);
                EmulatedBoard.advanceScans(MULTI, 1);
            }
        });
    }

    private static void sleepMs(long ms) {
        try {
            TimeUnit.MILLISECONDS.sleep(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Test
    void anInterruptedWaitingReadReturnsPromptlyTakesNothingAndKeepsTheInterrupt() throws Exception {
        try (var ai = counter(2, 64)) {
            ai.start();
            for (Consumer<ComediAnalogStreamingDevice> read : java.util.List.<Consumer<ComediAnalogStreamingDevice>>of(
                    d -> d.read(new double[64], 64, LONG),
                    d -> d.readScans(ScanBlock.interleaved(2, 8), 8, LONG),
                    d -> d.readRaw(direct(256), 64, LONG))) {
                var outcome = new CompletableFuture<RuntimeException>();
                var stillInterrupted = new CompletableFuture<Boolean>();
                Thread reader = new Thread(() -> {
                    try {
                        read.accept(ai);
                        outcome.complete(null);
                    } catch (RuntimeException e) {
                        outcome.complete(e);
                    }
                    stillInterrupted.complete(Thread.currentThread().isInterrupted());
                });
                reader.start();
                sleepMs(100);
                long t0 = System.nanoTime();
                reader.interrupt();
                RuntimeException e = outcome.get(5, TimeUnit.SECONDS);
                long latencyMs = (System.nanoTime() - t0) / 1_000_000;
                System.out.println("interrupted waiting read returned after " + latencyMs + " ms");
                assertInstanceOf(ReadInterruptedException.class, e);
                assertEquals("a waiting read of " + MULTI + " was interrupted", e.getMessage());
                assertTrue(stillInterrupted.get(5, TimeUnit.SECONDS), "the interrupt status stays set");
                reader.join();
            }
            // Nothing was taken: the stream goes on from its first value.
            EmulatedBoard.advanceScans(MULTI, 1);
            double[] volts = new double[64];
            assertEquals(2, ai.read(volts, 2, LONG));
            assertEquals(counterVolts(0, 2), volts[0]);
            ai.stop();
        }
    }

    @Test
    void aWaitingReadReturnsOnceEnoughHasArrivedAndAtTheTimeoutWithWhatCame() {
        try (var ai = counter(2, 64)) {
            ai.start();
            var clock = advanceLater(4);
            double[] volts = new double[64];
            int n = assertTimeoutPreemptively(Duration.ofSeconds(20), () -> ai.read(volts, 7, LONG));
            assertTrue(n >= 7, "returned with " + n);
            for (int k = 0; k < n; k++) {
                assertEquals(counterVolts(k, 2), volts[k], "value " + k);
            }
            clock.join();
            long t0 = System.nanoTime();
            int rest = ai.read(volts, 10, Duration.ofMillis(50));
            assertTrue(System.nanoTime() - t0 >= 50_000_000L, "a timeout waits its time");
            assertEquals(8 - n, rest, "the timeout brings what came, no error");
            ByteBuffer direct = doubles(64);
            assertEquals(0, ai.read(direct, 0, Duration.ZERO));
            EmulatedBoard.advanceScans(MULTI, 3);
            assertEquals(6, ai.read(direct, 6, Duration.ZERO));
            assertEquals(counterVolts(8, 2), direct.getDouble(0));
            ai.stop();
        }
    }

    /** One driver call at a waiting read's first look: the board is asked to move its samples after a sleep. */
    @Test
    void aWaitingReadPollsTheBoardOnlyAtTheLooksAfterASleep() {
        try (var ai = counter(2, 64)) {
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 4);
            double[] volts = new double[64];
            EmulatedBoard.failNext(EmulatedBoard.OP_POLL, Errno.EIO);
            assertEquals(8, ai.read(volts, 8, LONG), "enough at the first look: no poll, the failure stays armed");
            assertEquals(counterVolts(7, 2), volts[7]);
            var e = assertThrows(ComediException.class, () -> ai.read(volts, 2, Duration.ofMillis(50)));
            assertEquals("Error polling device: Input/output error (device " + MULTI + ")", e.getMessage());
            EmulatedBoard.advanceScans(MULTI, 1);
            assertEquals(2, ai.read(volts, 2, LONG), "a failed poll takes nothing");
            assertEquals(counterVolts(8, 2), volts[0]);
            ai.stop();
        }
    }

    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void wholeScanReadsKeepAPartialScanForTheNextAndNumberTheScans(boolean perChannel) {
        try (var ai = counter(3, 64)) {
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 2);
            EmulatedBoard.advanceNs(600_000); // 2 of the 3 conversions of scan 2 are done
            ScanBlock block = perChannel ? ScanBlock.perChannel(3, 10) : ScanBlock.interleaved(3, 10);
            assertEquals(2, ai.readScans(block, 1, Duration.ZERO));
            assertEquals(0, block.firstScan());
            EmulatedBoard.shortReadNext(4); // the driver splits the next read inside scan 2
            EmulatedBoard.advanceScans(MULTI, 3);
            long next = 2;
            while (next < 5) {
                int n = ai.readScans(block, 1, Duration.ofSeconds(5));
                assertEquals(next, block.firstScan());
                for (int s = 0; s < n; s++) {
                    for (int p = 0; p < 3; p++) {
                        double v = perChannel ? block.channel(p)[s] : block.values()[3 * s + p];
                        assertEquals(counterVolts(3 * (next + s) + p, 3), v);
                    }
                }
                next += n;
            }
            assertEquals(5, next);
            assertEquals(15, ai.getSamplesDelivered());
            EmulatedBoard.advanceNs(400_000); // the first conversion of scan 5
            double[] volts = new double[64];
            assertEquals(1, ai.read(volts));
            assertThrows(IllegalStateException.class, () -> ai.readScans(block, 1, Duration.ZERO),
                    "the stream is inside a scan");
            ai.stop();
        }
    }

    @Test
    void aReadIntoAShortArrayTakesThePartialScanHeldByReadScansInTurns() {
        try (var ai = counter(3, 64)) {
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 3);
            EmulatedBoard.advanceNs(100_000); // values 0..8 are converted
            EmulatedBoard.shortReadNext(16); // the driver hands out 8 of them, then the read of the
            EmulatedBoard.failNth(EmulatedBoard.OP_READ, 2, Errno.EINTR); // rest is interrupted: 6 and 7 are held
            assertEquals(2, ai.readScans(ScanBlock.interleaved(3, 10), 1, Duration.ZERO));
            assertEquals(0, ai.read(new double[0], 0, Duration.ZERO), "an empty array takes nothing");
            double[] one = new double[1];
            assertEquals(1, ai.read(one, 1, Duration.ZERO));
            assertEquals(counterVolts(6, 3), one[0]);
            assertThrows(IllegalStateException.class, () -> ai.readScans(ScanBlock.interleaved(3, 10), 1, Duration.ZERO),
                    "value 7, still held, is inside scan 2");
            for (long index = 7; index < 9; index++) {
                assertEquals(1, ai.read(one, 1, Duration.ZERO));
                assertEquals(counterVolts(index, 3), one[0], "value " + index);
                assertEquals(index + 1, ai.getSamplesDelivered());
            }
            ai.stop();
        }
    }

    /** An overrun that cuts a scan short: the rest of that scan never comes, yet the report must. */
    @ParameterizedTest
    @ValueSource(longs = {0, 200})
    void anOverrunInsideAScanReachesTheWholeScanReads(long timeoutMs) {
        try (var ai = counter(2, 64)) {
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 3);
            EmulatedBoard.advanceNs(600_000); // values 0..6: scan 3 has its first value only
            assertEquals(0, EmulatedBoard.overrunNow(MULTI));
            ScanBlock block = ScanBlock.interleaved(2, 16);
            Duration timeout = Duration.ofMillis(timeoutMs);
            long scans = 0;
            ComediOverrunException overrun = null;
            for (int read = 0; read < 5 && overrun == null; read++) {
                try {
                    int n = ai.readScans(block, 1, timeout);
                    assertTrue(n >= 0, "an overrun is no end of stream");
                    scans += n;
                } catch (ComediOverrunException e) {
                    overrun = e;
                }
            }
            assertNotNull(overrun, "the overrun was reported");
            assertEquals(3, scans, "every whole scan before it");
            assertEquals(6, overrun.getSamplesDelivered());
            assertThrows(ComediOverrunException.class, () -> ai.readScans(block, 1, timeout), "and again");
            ai.stop();
        }
    }

    @Test
    void onTheRealTimeClockNoScanArrivesBeforeItsPlaceInTime() {
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_REALTIME);
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 2, 100, 64)) {
            ai.configureChannel(0, 7, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 7, -10, 10, AnalogReference.GROUND);
            ai.setScanCount(30);
            NativeStdout.capture(ai::configure);
            long period = ai.getScanPeriodNanos();
            assertEquals(10_000_000, period);
            long before = System.currentTimeMillis();
            ai.start();
            assertTrue(Math.abs(ai.getStartTime().toEpochMilli() - before) < 1000);
            long start = ai.getStartNanoTime();
            ScanBlock block = ScanBlock.perChannel(2, 8);
            long next = 0;
            int n;
            while ((n = ai.readScans(block, 3, Duration.ofSeconds(5))) >= 0) {
                long now = System.nanoTime();
                assertEquals(next, block.firstScan());
                // Scan s is complete at the command's start + (s + 1) periods; the command began
                // inside start(), at most a little before the start time was taken.
                long lastDone = start + (block.firstScan() + n) * period - 1_000_000;
                assertTrue(now >= lastDone, "scan " + (next + n - 1) + " delivered " + (lastDone - now) + " ns early");
                for (int s = 0; s < n; s++) {
                    assertEquals(toPhys((2 * (next + s)) % (MAXDATA_16 + 1), AI_RANGES_UV[0], MAXDATA_16),
                            block.channel(0)[s]);
                }
                next += n;
            }
            assertEquals(30, next);
            ai.stop();
        }
    }

    @ParameterizedTest
    @ValueSource(strings = {"stop", "close"})
    void stopOrCloseFromAnotherThreadWakesASleepingReadAtOnce(String how) throws Exception {
        var ai = counter(2, 64);
        ai.start();
        Consumer<ComediAnalogStreamingDevice> end = how.equals("stop") ? ComediAnalogStreamingDevice::stop
                : ComediAnalogStreamingDevice::close;
        for (Consumer<ComediAnalogStreamingDevice> read : java.util.List.<Consumer<ComediAnalogStreamingDevice>>of(
                d -> d.read(new double[64], 64, LONG),
                d -> d.readScans(ScanBlock.interleaved(2, 8), 8, LONG),
                d -> d.readRaw(direct(256), 64, LONG))) {
            var reader = CompletableFuture.runAsync(() -> read.accept(ai));
            sleepMs(50);
            long t0 = System.nanoTime();
            end.accept(ai);
            var failure = assertThrows(Exception.class, () -> reader.get(5, TimeUnit.SECONDS)).getCause();
            assertNotNull(failure);
            assertTrue(System.nanoTime() - t0 < 2_000_000_000L, "woken at once");
            if (how.equals("stop")) {
                assertInstanceOf(org.vorn.exception.StreamStoppedException.class, failure);
                ai.start();
            } else {
                assertInstanceOf(IllegalStateException.class, failure);
                assertEquals("device " + MULTI + " is closed", failure.getMessage());
                break;
            }
        }
        ai.close();
    }

    @Test
    void wakesRacingCloseNeverReachAnotherFile() {
        // Each round: a reader asleep, a stopper and a closer at once; the descriptor numbers freed
        // by close are reused by the next round's device at once.
        for (int round = 0; round < 200; round++) {
            var ai = counter(1, 16);
            ai.start();
            var reader = CompletableFuture.runAsync(() -> {
                try {
                    ai.read(new double[16], 16, LONG);
                } catch (IllegalStateException expected) {
                    // stopped or closed
                }
            });
            var stopper = CompletableFuture.runAsync(() -> {
                try {
                    ai.stop();
                } catch (IllegalStateException closed) {
                    // the closer came first
                }
            });
            ai.close();
            assertTimeoutPreemptively(Duration.ofSeconds(10), () -> CompletableFuture.allOf(reader, stopper).join());
        }
    }
}
