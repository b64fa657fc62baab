// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.function.Consumer;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.exception.ComediUnderrunException;
import org.vorn.testsupport.BoardFixture;

/**
 * The streaming output on the MANUAL clock: every output sample comes back on the loopback channels
 * at the scan the board's model says (an input started with it by one instruction list), the
 * underrun, the end of a counted output, stop waking a waiting write, and the refusals.
 */
class StreamingOutputTest {
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    private static final int AO_SUBDEVICE = 1;
    private static final long MAXDATA = 65535;
    private static final int[] TEN_VOLTS = {-10000000, 10000000};

    /** The code comedi_from_phys gives for {@code volts} in ±10 V. */
    static long code(double volts) {
        double s = (volts + 10.0) / 20.0 * MAXDATA;
        return s < 0 ? 0 : s > MAXDATA ? MAXDATA : (long) Math.floor(s + 0.5);
    }

    /** Scan j, position q of the stimulus: a sawtooth whose neighbouring scans differ by 0.37 V. */
    static double stimulus(long j, int q) {
        return -9.0 + ((j * 37 + q * 500) % 1800) / 100.0;
    }

    static double[] scans(long first, int count, int positions) {
        double[] v = new double[count * positions];
        for (int s = 0; s < count; s++) {
            for (int q = 0; q < positions; q++) {
                v[s * positions + q] = stimulus(first + s, q);
            }
        }
        return v;
    }

    /** The regenerated feeds with their period: 256 scans divide the 4096-byte ring, 250 do not. */
    enum Feed {
        FINITE(0), STREAMED(0), REGENERATED_MAPPED(256), REGENERATED_WRITTEN(250);

        final int periodScans;

        Feed(int periodScans) {
            this.periodScans = periodScans;
        }

        boolean regenerated() {
            return periodScans > 0;
        }
    }

    static Stream<Arguments> loopbackCases() {
        return Stream.of(Feed.values()).flatMap(feed -> Stream.of(
                // board, AO channels, their loopback AI channels, scan rate
                Arguments.of(feed, EmulatedBoard.MULTI, new int[] {0, 1}, new int[] {14, 15}, 1000.0),
                Arguments.of(feed, EmulatedBoard.MULTI, new int[] {0}, new int[] {14}, 1e6),
                Arguments.of(feed, EmulatedBoard.RIG, new int[] {0}, new int[] {0}, 1000.0),
                Arguments.of(feed, EmulatedBoard.RIG, new int[] {0}, new int[] {0}, 1e6)));
    }

    /**
     * The output, started with an input of the same rate on its loopback channels: each input
     * sample holds the output scan that was out at its conversion instant, so no scan is lost,
     * repeated or shifted; a finite output holds its last scan after its end.
     */
    @ParameterizedTest(name = "{0} {1} {4} Hz")
    @MethodSource("loopbackCases")
    void everyOutputSampleComesBackAtItsScan(Feed feed, String board, int[] aoChannels, int[] aiChannels,
            double rate) throws Exception {
        int positions = aoChannels.length;
        int total = 3000;
        int step = 200;
        try (var ai = new ComediAnalogStreamingDevice(board, positions, rate, 4096);
                var ao = new ComediAnalogStreamingOutDevice(board, positions, rate, 1024)) {
            for (int q = 0; q < positions; q++) {
                ai.configureChannel(q, aiChannels[q], -10, 10, AnalogReference.GROUND);
                ao.configureChannel(q, aoChannels[q], -10, 10, AnalogReference.GROUND);
            }
            if (!feed.regenerated()) {
                SynchronizedStart.prepare(ai);
            }
            ai.configure();
            if (feed == Feed.FINITE) {
                ao.setScanCount(total);
            }
            ao.configure();
            assertEquals(ai.getScanPeriodNanos(), ao.getScanPeriodNanos());
            long period = ao.getScanPeriodNanos();
            // A small driver buffer makes the streamed output refill many times.
            int bufferBytes = ao.setDriverBufferSize(4096);
            int bufferScans = bufferBytes / (2 * positions);
            int preload = feed == Feed.FINITE ? total : bufferScans;
            double[] all = scans(0, total, positions);
            long t0 = EmulatedBoard.nowNs();
            int written;
            if (feed.regenerated()) {
                // The MANUAL clock stands still between the two starts: one instant.
                ai.start();
                written = (int) ao.startRegeneration(all, feed.periodScans);
                assertEquals(bufferScans, written);
                assertEquals(feed == Feed.REGENERATED_MAPPED ? ComediAnalogStreamingOutDevice.RegenerationMode.MAPPED_RING
                        : ComediAnalogStreamingOutDevice.RegenerationMode.WRITE_REFILL, ao.getRegenerationMode());
                assertEquals(bufferBytes, ao.getDriverBufferSize(), "a buffer the caller chose is kept");
            } else {
                written = ao.write(all, 0, preload, Duration.ZERO);
                assertEquals(Math.min(preload, bufferScans), written);
                SynchronizedStart start = SynchronizedStart.start(ai, ao);
                assertEquals(written, start.getPreloadedScans());
            }

            double[] got = new double[total * positions];
            int read = 0;
            while (read < got.length) {
                EmulatedBoard.advanceNs(step * period);
                if (feed.regenerated()) {
                    awaitRefill(ao, board, step);
                } else {
                    written += ao.write(all, written, total - written, Duration.ZERO);
                }
                double[] chunk = new double[4096];
                int n;
                while (read < got.length && (n = ai.read(chunk)) > 0) {
                    n = Math.min(n, got.length - read);
                    System.arraycopy(chunk, 0, got, read, n);
                    read += n;
                }
            }
            if (!feed.regenerated()) {
                assertEquals(total, written);
            }
            for (int k = 0; k < total * positions; k++) {
                long t = EmulatedBoard.sampleTimeNs(board, 0, k) - t0;
                long j = Math.floorDiv(t, period) - 1; // the output scan out at that instant
                int q = k % positions;
                double expectedVolts = j < 0 ? 0.0 : stimulus(feed.regenerated() ? j % feed.periodScans : j, q);
                double expected = StreamingTestSupport.toPhys(code(expectedVolts), TEN_VOLTS, MAXDATA);
                assertEquals(expected, got[k], 0.0, "sample " + k + " (scan " + k / positions + ", output scan " + j + ")");
            }
            assertEquals(total, EmulatedBoard.outputScans(board, AO_SUBDEVICE));
            assertEquals(feed == Feed.FINITE, ao.hasEnded(), "a finite output ended, the others run on");
            ai.stop();
            if (feed == Feed.FINITE) {
                EmulatedBoard.advanceNs(10 * period);
                assertEquals(0, ao.write(all, 0, 1, Duration.ZERO), "a finite output takes no more than its count");
                assertEquals(code(stimulus(total - 1, 0)), EmulatedBoard.aoRaw(board, aoChannels[0]),
                        "the output holds its last scan");
            }
            ao.stop(new double[positions]);
            assertEquals(code(0.0), EmulatedBoard.aoRaw(board, aoChannels[0]), "stop parks at the value given");
            assertThrows(IllegalArgumentException.class, () -> ao.stop(new double[positions + 1]));
        }
    }

    /**
     * A driver buffer the caller did not choose is resized to whole periods (of the period and the
     * page) within the driver's maximum, and the ring's laps come out right; a period no such size
     * holds is written each lap into the buffer as it was.
     */
    @ParameterizedTest(name = "{0} scans")
    @ValueSource(ints = {250, 5003})
    void regenerationSizesTheRingToWholePeriods(int periodScans) throws Exception {
        try (var ao = tenVoltOutput(EmulatedBoard.MULTI, 1e6)) {
            ao.configure();
            int before = ao.getDriverBufferSize();
            int periodBytes = 2 * periodScans;
            boolean fits = (long) periodBytes / gcd(periodBytes, 4096) * 4096 <= 20 * 1024 * 1024;
            long preload = ao.startRegeneration(scans(0, periodScans, 1), periodScans);
            int size = ao.getDriverBufferSize();
            assertEquals(size / 2, preload);
            assertEquals(fits ? ComediAnalogStreamingOutDevice.RegenerationMode.MAPPED_RING
                    : ComediAnalogStreamingOutDevice.RegenerationMode.WRITE_REFILL, ao.getRegenerationMode());
            if (fits) {
                assertEquals(0, size % periodBytes);
                assertEquals(0, size % 4096);
                assertTrue(size >= before && size - before < periodBytes / gcd(periodBytes, 4096) * 4096, "" + size);
            } else {
                assertEquals(before, size);
            }
            // Three laps of the ring in half-ring steps, each step's last scan checked on the DAC.
            long period = ao.getScanPeriodNanos();
            long out = 0;
            for (int step = 0; step < 6; step++) {
                out += preload / 2;
                EmulatedBoard.advanceNs(preload / 2 * period);
                assertEquals(code(stimulus((out - 1) % periodScans, 0)), EmulatedBoard.aoRaw(EmulatedBoard.MULTI, 0),
                        "scan " + (out - 1));
                awaitRefill(ao, EmulatedBoard.MULTI, (int) preload - 1); // the ring full again
            }
            ao.stop();
        }
    }

    /**
     * Either way of regenerating: a thread that cannot keep up (the MANUAL clock jumps past the whole
     * ring) ends in the typed underrun with the scans written, the output holding the last; stop()
     * ends the regenerating thread of the next run.
     */
    @ParameterizedTest(name = "{0} scans")
    @ValueSource(ints = {256, 250})
    void regenerationRunsDryTypedAndStopEndsItsThread(int periodScans) throws Exception {
        try (var ao = tenVoltOutput(EmulatedBoard.MULTI, 1000.0)) {
            ao.configure();
            int ringScans = ao.setDriverBufferSize(4096) / 2;
            double[] period = scans(0, periodScans, 1);
            assertEquals(ringScans, ao.startRegeneration(period, periodScans));
            EmulatedBoard.advanceNs((ringScans + 1) * ao.getScanPeriodNanos());
            long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
            while (ao.getRegenerationUnderrun() == null) {
                assertTrue(System.nanoTime() < until, "the regenerating thread sees the underrun");
                Thread.sleep(1);
            }
            assertEquals(ringScans, ao.getRegenerationUnderrun().getScansDelivered());
            assertTrue(ao.hasEnded());
            assertEquals(code(stimulus((ringScans - 1) % periodScans, 0)), EmulatedBoard.aoRaw(EmulatedBoard.MULTI, 0));

            var before = Thread.getAllStackTraces().keySet();
            ao.startRegeneration(period, periodScans);
            Thread pump = Thread.getAllStackTraces().keySet().stream()
                    .filter(t -> t.getName().equals("vorn-regenerate " + EmulatedBoard.MULTI) && !before.contains(t))
                    .findFirst().orElseThrow();
            ao.stop();
            pump.join(10_000);
            assertFalse(pump.isAlive(), "stop() ends the regenerating thread");
            assertEquals(null, ao.getRegenerationUnderrun());
        }
    }

    private static int gcd(int a, int b) {
        return b == 0 ? a : gcd(b, a % b);
    }

    /** Waits until the regenerating thread has written {@code step} scans beyond those output. */
    private static void awaitRefill(ComediAnalogStreamingOutDevice ao, String board, int step) throws InterruptedException {
        long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (ao.getScansWritten() - EmulatedBoard.outputScans(board, AO_SUBDEVICE) < step + 1) {
            assertTrue(System.nanoTime() < until, "the regenerating thread refills the buffer");
            assertEquals(null, ao.getRegenerationUnderrun());
            Thread.sleep(1);
        }
    }

    /** A writer that stalls: the next write raises the typed underrun with the scans output before it. */
    @Test
    void stalledWriterEndsInUnderrunWithTheRightCount() {
        try (var ao = tenVoltOutput(EmulatedBoard.MULTI, 1000.0)) {
            ao.configure();
            long period = ao.getScanPeriodNanos();
            assertEquals(500, ao.write(scans(0, 500, 1), 500));
            assertEquals(500, ao.start());
            EmulatedBoard.advanceNs(300 * period);
            assertEquals(100, ao.write(scans(500, 100, 1), 100));
            EmulatedBoard.advanceNs(400 * period); // 600 scans due, 600 written: still running
            assertFalse(ao.hasEnded());
            EmulatedBoard.advanceNs(period); // scan 600 is due and missing
            ComediUnderrunException e = assertThrows(ComediUnderrunException.class, () -> ao.write(scans(600, 1, 1), 1));
            assertEquals(600, e.getScansDelivered());
            assertEquals(600, EmulatedBoard.outputScans(EmulatedBoard.MULTI, AO_SUBDEVICE));
            assertEquals(ao.getDriverBufferSize(), e.getDriverBufferBytes());
            assertTrue(ao.hasEnded());
            assertEquals(code(stimulus(599, 0)), EmulatedBoard.aoRaw(EmulatedBoard.MULTI, 0), "the last scan holds");
            // Every later write says the same until a new run; then the device works again.
            assertEquals(600, assertThrows(ComediUnderrunException.class, () -> ao.write(new double[1], 1))
                    .getScansDelivered());
            ao.arm();
            assertEquals(1, ao.write(new double[] {5.0}, 1));
            assertEquals(1, ao.start());
            EmulatedBoard.advanceNs(period);
            assertEquals(code(5.0), EmulatedBoard.aoRaw(EmulatedBoard.MULTI, 0));
            ao.stop(-2.5);
            assertEquals(code(-2.5), EmulatedBoard.aoRaw(EmulatedBoard.MULTI, 0), "stop parks at the value given");
        }
    }

    static Stream<Arguments> wakers() {
        return Stream.of(
                Arguments.of("stop", (Consumer<ComediAnalogStreamingOutDevice>) ComediAnalogStreamingOutDevice::stop,
                        StreamStoppedException.class),
                Arguments.of("close", (Consumer<ComediAnalogStreamingOutDevice>) ComediAnalogStreamingOutDevice::close,
                        IllegalStateException.class));
    }

    /** A write waiting for room (the MANUAL clock never frees any) wakes at a stop or close from another thread. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("wakers")
    void stopOrCloseWakesAWaitingWrite(String name, Consumer<ComediAnalogStreamingOutDevice> waker,
            Class<? extends Throwable> expected) throws Exception {
        var ao = tenVoltOutput(EmulatedBoard.MULTI, 1000.0);
        try {
            ao.configure();
            int bufferScans = ao.setDriverBufferSize(4096) / 2;
            assertEquals(bufferScans, ao.write(scans(0, bufferScans + 10, 1), bufferScans + 10));
            ao.start();
            var writer = CompletableFuture.supplyAsync(
                    () -> ao.write(scans(0, 100, 1), 0, 100, Duration.ofSeconds(60)));
            Thread.sleep(200);
            assertFalse(writer.isDone(), "the write waits for room");
            waker.accept(ao);
            ExecutionException e = assertThrows(ExecutionException.class, () -> writer.get(10, TimeUnit.SECONDS));
            assertTrue(expected.isInstance(e.getCause()), e.getCause().toString());
            if (!ao.isClosed()) {
                assertThrows(StreamStoppedException.class, () -> ao.write(new double[1], 1));
            }
        } finally {
            ao.close();
        }
    }

    /** An interrupt ends a waiting write within its look at the status, with what it wrote and the status kept. */
    @Test
    void interruptEndsAWaitingWrite() throws Exception {
        try (var ao = tenVoltOutput(EmulatedBoard.MULTI, 1000.0)) {
            ao.configure();
            int bufferScans = ao.setDriverBufferSize(4096) / 2;
            assertEquals(bufferScans, ao.write(scans(0, bufferScans, 1), bufferScans));
            ao.start();
            var result = new CompletableFuture<Boolean>();
            Thread writer = new Thread(() -> {
                int n = ao.write(scans(0, 10, 1), 0, 10, Duration.ofSeconds(60));
                result.complete(n == 0 && Thread.currentThread().isInterrupted());
            });
            writer.start();
            Thread.sleep(200);
            writer.interrupt();
            assertTrue(result.get(10, TimeUnit.SECONDS), "returned 0 with the interrupt status set");
            ao.stop();
        }
    }

    /** The synchronised start: one instant for both commands, the first AO update at the end of the first AI scan. */
    @Test
    void synchronisedStartAlignsFirstScans() {
        try (var ai = new ComediAnalogStreamingDevice(EmulatedBoard.MULTI, 2, 1000.0, 256);
                var ao = tenVoltOutput(EmulatedBoard.MULTI, 1000.0)) {
            ai.configureChannel(0, 14, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
            SynchronizedStart.prepare(ai);
            ai.configure();
            ao.configure();
            assertThrows(IllegalStateException.class, () -> SynchronizedStart.start(ai, ao), "no preload");
            ao.write(new double[] {7.0, 7.0}, 2);
            EmulatedBoard.advanceNs(123_456);
            long now = EmulatedBoard.nowNs();
            assertEquals(StartTrigger.software(), ai.getStartTrigger(), "prepare() is a software start");
            SynchronizedStart s = SynchronizedStart.start(ai, ao);
            assertTrue(ai.isStarted() && ao.isStarted() && !ai.isArmed() && !ao.isArmed());
            long[] in = EmulatedBoard.currentCmd(EmulatedBoard.MULTI, 0);
            long[] out = EmulatedBoard.currentCmd(EmulatedBoard.MULTI, AO_SUBDEVICE);
            assertEquals(now, in[EmulatedBoard.CMD_START_NS]);
            assertEquals(now, out[EmulatedBoard.CMD_START_NS]);
            assertEquals(1, in[EmulatedBoard.CMD_TRIGGERED]);
            assertEquals(1, out[EmulatedBoard.CMD_TRIGGERED]);
            // The first output update and the last conversion of the first input scan: one instant.
            assertEquals(now + ao.getScanPeriodNanos(), EmulatedBoard.sampleTimeNs(EmulatedBoard.MULTI, 0, 1));
            assertEquals(s.outputScanNanoTime(0), s.inputScanNanoTime(0));
            assertEquals(s.getStartNanoTime(), ai.getStartNanoTime());
            assertEquals(s.getStartNanoTime(), ao.getStartNanoTime());
            assertTrue(s.getAlignmentBoundNanos() >= 0);
            ao.stop();
            ai.stop();
        }
    }

    /** Refusals: rates, ranges, a board without output commands, a start source the board lacks, two boards. */
    @Test
    void refusals() {
        assertThrows(ComediException.class, () -> new ComediAnalogStreamingOutDevice(EmulatedBoard.MULTI, 1, 0.0, 64));
        assertThrows(ComediException.class,
                () -> new ComediAnalogStreamingOutDevice(EmulatedBoard.MULTI, 1, Double.NaN, 64));
        assertThrows(ComediException.class, () -> new ComediAnalogStreamingOutDevice(EmulatedBoard.MULTI, 2, 1e3, 1));
        ComediException noCommands = assertThrows(ComediException.class,
                () -> new ComediAnalogStreamingOutDevice(EmulatedBoard.DO_ONLY, 1, 1e3, 64));
        assertTrue(noCommands.getMessage().contains("analog output"), noCommands.getMessage());
        try (var ao = new ComediAnalogStreamingOutDevice(EmulatedBoard.MULTI, 1, 5e6, 64)) {
            assertThrows(ComediException.class, () -> ao.configureChannel(0, 0, -20, 20, AnalogReference.GROUND));
            ao.configureChannel(0, 0, 0, 10, AnalogReference.GROUND);
            ao.configure();
            assertEquals(1000, ao.getScanPeriodNanos(), "the fastest the board outputs");
            assertThrows(IllegalArgumentException.class, () -> ao.write(new double[] {Double.NaN}, 1));
            assertEquals(0, ao.getScansWritten(), "a NaN writes nothing");
            assertThrows(IllegalStateException.class, ao::start, "nothing preloaded");
            // Straight to the native: no array, an unknown kind, another device's handle.
            assertThrows(ComediException.class, () -> ao.nWrite(ao.handle(), null, 2, 0, 1, 4096, 1000, 0));
            assertThrows(ComediException.class, () -> ao.nWrite(ao.handle(), new double[1], 7, 0, 1, 4096, 1000, 0));
            // The regeneration's natives: sizes that do not fit, a ring of no whole periods, another device's handle.
            var codes = java.nio.ByteBuffer.allocateDirect(8).order(java.nio.ByteOrder.nativeOrder());
            assertThrows(ComediException.class, () -> ao.nConvertVolts(ao.handle(), new double[8], codes, 8));
            assertThrows(ComediException.class, () -> ao.nConvertVolts(ao.handle(), new double[1], codes, 2));
            assertThrows(ComediException.class, () -> ao.nRegenerationRing(ao.handle(), codes, 4, 4097, false));
            assertThrows(ComediException.class, () -> ao.nRegenerationRing(ao.handle(), codes, 5, 4100, true));
            assertThrows(ComediException.class, () -> ao.nRegenerationBufferSize(ao.handle(), 3, true));
            try (var sw = OutputTestSupport.tenVoltOutputs()) {
                ComediException e = assertThrows(ComediException.class,
                        () -> ao.nWrite(sw.handle(), new double[2], 2, 0, 1, 4096, 1000, 0));
                assertTrue(e.getMessage().contains("not a streaming output"), e.getMessage());
                e = assertThrows(ComediException.class, () -> ao.nRegenerationRing(sw.handle(), codes, 1, 4096, false));
                assertTrue(e.getMessage().contains("not a streaming output"), e.getMessage());
            }
        }
        try (var ai = new ComediAnalogStreamingDevice(EmulatedBoard.COMEDI_TEST, 1, 1e3, 64)) {
            ComediException e = assertThrows(ComediException.class, () -> SynchronizedStart.prepare(ai));
            assertTrue(e.getMessage().contains("has no start source int; its start sources: now"), e.getMessage());
        }
        try (var ai = new ComediAnalogStreamingDevice(EmulatedBoard.RIG, 1, 1e3, 64);
                var ao = tenVoltOutput(EmulatedBoard.MULTI, 1e3)) {
            assertThrows(IllegalArgumentException.class, () -> SynchronizedStart.start(ai, ao));
        }
    }

    private static ComediAnalogStreamingOutDevice tenVoltOutput(String board, double rate) {
        var ao = new ComediAnalogStreamingOutDevice(board, 1, rate, 256);
        ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
        return ao;
    }
}
