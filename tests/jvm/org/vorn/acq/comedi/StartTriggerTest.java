// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.SettingRefusedException;
import org.vorn.exception.StreamStoppedException;
import org.vorn.testsupport.BoardFixture;

/**
 * The start triggers of both streaming devices on the MANUAL clock: nothing is converted or output
 * while the stream is armed (however long, and whatever the other lines or the wrong edge do),
 * and scan 0 is the trigger's instant, checked against the board's documented signals; the
 * refusals of a start the board lacks; the calls that do not fit an armed or started stream.
 */
class StartTriggerTest {
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    private static final String MULTI = EmulatedBoard.MULTI;
    private static final String RIG = EmulatedBoard.RIG;
    private static final int AO_SUBDEVICE = 1;
    /** Arming to trigger: no whole number of scan periods, nor of the 10 Hz sine's period. */
    private static final long ARMED_NS = 12_345_000;
    private static final int SCANS = 40;

    enum Device { INPUT, OUTPUT }

    static Stream<Arguments> starts() {
        return Stream.of(Device.values()).flatMap(device -> Stream.of(
                Arguments.of(device, MULTI, StartTrigger.software()),
                Arguments.of(device, RIG, StartTrigger.software()),
                Arguments.of(device, RIG, StartTrigger.externalEdge(0, StartTrigger.Edge.RISING)),
                Arguments.of(device, RIG, StartTrigger.externalEdge(3, StartTrigger.Edge.FALLING))));
    }

    /**
     * Armed for ARMED_NS, during which another line toggles and the trigger line takes its wrong
     * edge (it was at the active level already when the command was armed, which is no edge
     * either); then the trigger. The first scan is the trigger's: the input's samples are the
     * board's signals at the conversion times counted from the trigger, the output's scan j goes
     * out j + 1 periods after it.
     */
    @ParameterizedTest(name = "{0} {1} {2}")
    @MethodSource("starts")
    void scanZeroIsTheTriggersInstant(Device device, String board, StartTrigger start) throws Exception {
        boolean edge = start.kind() == StartTrigger.Kind.EXTERNAL_EDGE;
        int active = edge && start.edge() == StartTrigger.Edge.RISING ? 1 : 0;
        if (edge) {
            EmulatedBoard.dioSetInput(board, start.line(), active);
        }
        try (Armed armed = device == Device.INPUT ? new ArmedInput(board, start) : new ArmedOutput(board, start)) {
            assertEquals(start, armed.trigger());
            assertTrue(armed.isArmed());
            assertFalse(armed.isStarted());
            long armedAt = EmulatedBoard.nowNs();
            long triggerAt = armedAt + ARMED_NS;
            if (edge) {
                EmulatedBoard.dioSetInputAt(board, (start.line() + 1) % 8, 1, armedAt + ARMED_NS / 4);
                EmulatedBoard.dioSetInputAt(board, start.line(), 1 - active, armedAt + ARMED_NS / 2);
                EmulatedBoard.dioSetInputAt(board, start.line(), active, triggerAt);
                EmulatedBoard.advanceNs(ARMED_NS - 1);
                armed.assertNothingYet();
                EmulatedBoard.advanceNs(1);
            } else {
                EmulatedBoard.advanceNs(ARMED_NS);
                armed.assertNothingYet();
                armed.fire();
            }
            EmulatedBoard.advanceNs(SCANS * armed.scanPeriodNanos());
            armed.assertScansFrom(triggerAt);
            assertTrue(armed.isStarted());
            assertFalse(armed.isArmed());
        }
    }

    /** One device of the table, configured with its start and armed. */
    private interface Armed extends AutoCloseable {
        StartTrigger trigger();

        boolean isArmed();

        boolean isStarted();

        long scanPeriodNanos();

        /** The software trigger. */
        void fire();

        /** Nothing converted or output yet. */
        void assertNothingYet();

        /** SCANS scans since {@code triggerAt}, each as the board's model says. */
        void assertScansFrom(long triggerAt);

        @Override
        void close();
    }

    private static final class ArmedInput implements Armed {
        private final String board;
        private final int[] channels;
        private final ComediAnalogStreamingDevice ai;
        private final ByteBuffer raw;
        private final ByteBuffer volts;

        ArmedInput(String board, StartTrigger start) {
            this.board = board;
            // A sine and a second witness: multi's counter, the rig's square wave.
            channels = board.equals(MULTI) ? new int[] {4, 7} : new int[] {6, 7};
            ai = new ComediAnalogStreamingDevice(board, channels.length, 1000.0, 4096);
            for (int p = 0; p < channels.length; p++) {
                ai.configureChannel(p, channels[p], -10, 10, AnalogReference.GROUND);
            }
            ai.setStartTrigger(start);
            ai.configure();
            raw = ByteBuffer.allocateDirect(2 * 4096).order(ByteOrder.nativeOrder());
            volts = ByteBuffer.allocateDirect(8 * 4096).order(ByteOrder.nativeOrder());
            ai.start();
            assertEquals(0, ai.getStartNanoTime(), "no start time while armed");
            assertNull(ai.getStartTime());
        }

        public StartTrigger trigger() {
            return ai.getStartTrigger();
        }

        public boolean isArmed() {
            return ai.isArmed();
        }

        public boolean isStarted() {
            return ai.isStarted();
        }

        public long scanPeriodNanos() {
            return ai.getScanPeriodNanos();
        }

        public void fire() {
            long before = System.nanoTime();
            ai.trigger();
            assertTrue(ai.getStartNanoTime() >= before, "the start is the trigger's, not the arming's");
        }

        public void assertNothingYet() {
            assertEquals(0, ai.readRaw(raw));
            assertEquals(0, ai.read(volts, 1, Duration.ofMillis(20)), "a waiting read waits");
        }

        public void assertScansFrom(long triggerAt) {
            int n = channels.length;
            assertEquals(SCANS * n, ai.readRaw(raw, SCANS * n, Duration.ofSeconds(10)));
            assertEquals(0, ai.readRaw(raw), "no scan beyond the ones due");
            long sp = ai.getScanPeriodNanos();
            long cp = ai.getConvertPeriodNanos();
            long[] expected = new long[SCANS * n];
            long[] got = new long[SCANS * n];
            for (int k = 0; k < SCANS * n; k++) {
                int s = k / n;
                int p = k % n;
                long t = triggerAt + (s + 1) * sp - (n - 1 - p) * cp;
                expected[k] = EmulatedBoard.expectedRaw(board, channels[p], 0, t, k);
                got[k] = Short.toUnsignedLong(raw.getShort(2 * k));
            }
            assertArrayEquals(expected, got);
            assertTrue(ai.getStartNanoTime() > 0);
        }

        public void close() {
            ai.close();
        }
    }

    private static final class ArmedOutput implements Armed {
        private static final int PRELOAD = 200;
        private final String board;
        private final ComediAnalogStreamingOutDevice ao;

        ArmedOutput(String board, StartTrigger start) {
            this.board = board;
            ao = new ComediAnalogStreamingOutDevice(board, 1, 1000.0, 256);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.setStartTrigger(start);
            ao.configure();
            assertEquals(PRELOAD, ao.write(StreamingOutputTest.scans(0, PRELOAD, 1), 0, PRELOAD, Duration.ZERO));
            assertEquals(PRELOAD, ao.start(), "start() arms with the preload");
        }

        public StartTrigger trigger() {
            return ao.getStartTrigger();
        }

        public boolean isArmed() {
            return ao.isArmed();
        }

        public boolean isStarted() {
            return ao.isStarted();
        }

        public long scanPeriodNanos() {
            return ao.getScanPeriodNanos();
        }

        public void fire() {
            ao.trigger();
        }

        public void assertNothingYet() {
            assertEquals(0, EmulatedBoard.outputScans(board, AO_SUBDEVICE));
            assertEquals(32768, EmulatedBoard.aoRaw(board, 0), "0 V since power-on");
        }

        public void assertScansFrom(long triggerAt) {
            assertEquals(triggerAt, EmulatedBoard.currentCmd(board, AO_SUBDEVICE)[EmulatedBoard.CMD_START_NS]);
            assertEquals(SCANS, EmulatedBoard.outputScans(board, AO_SUBDEVICE));
            assertEquals(StreamingOutputTest.code(StreamingOutputTest.stimulus(SCANS - 1, 0)),
                    EmulatedBoard.aoRaw(board, 0));
        }

        public void close() {
            ao.close();
        }
    }

    static Stream<Arguments> refusals() {
        StartTrigger rising = StartTrigger.externalEdge(0, StartTrigger.Edge.RISING);
        return Stream.of(
                Arguments.of(Device.INPUT, MULTI, rising, "has no start source ext; its start sources: now|int"),
                Arguments.of(Device.OUTPUT, MULTI, rising, "has no start source ext; its start sources: int"),
                Arguments.of(Device.INPUT, EmulatedBoard.COMEDI_TEST, StartTrigger.software(),
                        "has no start source int; its start sources: now"),
                // The rig has 8 lines: its driver would put the start on line 0.
                Arguments.of(Device.INPUT, RIG, StartTrigger.externalEdge(9, StartTrigger.Edge.FALLING),
                        "does not start on the falling edge of line 9: it accepted start argument 0xc0000000"
                                + " instead of 0xc0000009"),
                Arguments.of(Device.OUTPUT, RIG, StartTrigger.externalEdge(8, StartTrigger.Edge.RISING),
                        "does not start on the rising edge of line 8"));
    }

    /** A start the board lacks is refused at configure(), naming the sources it has; the device stays usable. */
    @ParameterizedTest(name = "{0} {1} {2}")
    @MethodSource("refusals")
    void aStartTheBoardLacksIsRefusedAtConfigure(Device device, String board, StartTrigger start, String says) {
        if (device == Device.INPUT) {
            try (var ai = new ComediAnalogStreamingDevice(board, 1, 1000.0, 64)) {
                ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
                ai.setStartTrigger(start);
                SettingRefusedException e = assertThrows(SettingRefusedException.class, ai::configure);
                assertTrue(e.getMessage().contains(says) && e.getMessage().contains(board), e.getMessage());
                ai.setStartTrigger(StartTrigger.now());
                ai.configure();
            }
        } else {
            try (var ao = new ComediAnalogStreamingOutDevice(board, 1, 1000.0, 64)) {
                ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
                ao.setStartTrigger(start);
                SettingRefusedException e = assertThrows(SettingRefusedException.class, ao::configure);
                assertTrue(e.getMessage().contains(says) && e.getMessage().contains(board), e.getMessage());
                ao.setStartTrigger(StartTrigger.now());
                ao.configure();
            }
        }
    }

    /** A regenerated output with a software start waits, armed, with its buffer full, until trigger(). */
    @Test
    void aRegeneratedOutputWaitsForItsTrigger() {
        try (var ao = new ComediAnalogStreamingOutDevice(MULTI, 1, 1000.0, 256)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.setStartTrigger(StartTrigger.software());
            ao.configure();
            ao.startRegeneration(StreamingOutputTest.scans(0, 50, 1), 50);
            assertTrue(ao.isArmed());
            EmulatedBoard.advanceNs(ARMED_NS);
            assertEquals(0, EmulatedBoard.outputScans(MULTI, AO_SUBDEVICE));
            long triggerAt = EmulatedBoard.nowNs();
            ao.trigger();
            EmulatedBoard.advanceNs(SCANS * ao.getScanPeriodNanos());
            assertEquals(triggerAt, EmulatedBoard.currentCmd(MULTI, AO_SUBDEVICE)[EmulatedBoard.CMD_START_NS]);
            assertEquals(SCANS, EmulatedBoard.outputScans(MULTI, AO_SUBDEVICE));
            assertEquals(StreamingOutputTest.code(StreamingOutputTest.stimulus(SCANS - 1, 0)), EmulatedBoard.aoRaw(MULTI, 0));
            ao.stop();
        }
    }

    /** trigger() fits only an armed, software-started stream, once; setStartTrigger only before the run. */
    @Test
    void triggerOutsideItsStateIsRefused() {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000.0, 64);
                var ao = new ComediAnalogStreamingOutDevice(MULTI, 1, 1000.0, 64)) {
            ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ai.configure();
            ai.start();
            assertTrue(ai.isStarted(), "a start now starts at start()");
            assertThrows(IllegalStateException.class, ai::trigger, "no software start");
            assertThrows(IllegalStateException.class, () -> ai.setStartTrigger(StartTrigger.software()), "running");
            ai.stop();
            assertFalse(ai.isStarted());
            ai.setStartTrigger(StartTrigger.software());
            ai.configure();
            assertThrows(IllegalStateException.class, ai::trigger, "not armed");
            ai.start();
            ai.trigger();
            assertThrows(IllegalStateException.class, ai::trigger, "twice");
            ai.stop();

            ao.setStartTrigger(StartTrigger.software());
            ao.configure();
            assertThrows(IllegalStateException.class, () -> ao.setStartTrigger(StartTrigger.now()), "tested");
            assertThrows(IllegalStateException.class, ao::trigger, "not armed");
            ao.write(new double[] {1.0, 2.0}, 2);
            assertThrows(IllegalStateException.class, ao::trigger, "preloaded, not armed by start()");
            ao.start();
            assertThrows(IllegalStateException.class, ao::start, "armed: trigger() starts it");
            ao.trigger();
            assertThrows(IllegalStateException.class, ao::trigger, "twice");
            ao.stop();
        }
        assertThrows(IllegalArgumentException.class, () -> StartTrigger.externalEdge(-1, StartTrigger.Edge.RISING));
        assertThrows(IllegalArgumentException.class, () -> new StartTrigger(StartTrigger.Kind.SOFTWARE, 2, null));
    }

    /** stop() or close() of an armed input wakes the read that waits for its first scan; both are clean. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("enders")
    void endingAnArmedStreamWakesItsReader(String how) throws Exception {
        var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000.0, 64);
        try (ai) {
            ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ai.setStartTrigger(StartTrigger.software());
            ai.configure();
            ai.start();
            CompletableFuture<Throwable> reader = CompletableFuture.supplyAsync(() -> {
                try {
                    ai.readScans(ScanBlock.interleaved(1, 64), 1, Duration.ofSeconds(60));
                    return null;
                } catch (RuntimeException e) {
                    return e;
                }
            });
            Thread.sleep(100);
            assertFalse(reader.isDone(), "the read waits for the trigger");
            if (how.equals("stop")) {
                ai.stop();
            } else {
                ai.close();
            }
            Throwable ended = reader.get(10, TimeUnit.SECONDS);
            assertTrue(how.equals("stop") ? ended instanceof StreamStoppedException : ended instanceof IllegalStateException,
                    String.valueOf(ended));
            assertEquals(0, EmulatedBoard.subdeviceBusy(MULTI, 0), "the armed command is cancelled");
        }
    }

    /**
     * trigger() from another thread while a waiting read (input) or a waiting write on a full
     * buffer (output) sleeps with a minute to go: the trigger goes through at once, and the
     * sleeping call carries on with the run it started.
     */
    @ParameterizedTest(name = "{0}")
    @MethodSource("devices")
    void aTriggerDoesNotWaitOutASleepingCall(Device device) throws Exception {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000.0, 64);
                var ao = new ComediAnalogStreamingOutDevice(MULTI, 1, 1000.0, 4096)) {
            Runnable trigger;
            CompletableFuture<Integer> sleeper;
            if (device == Device.INPUT) {
                ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
                ai.setStartTrigger(StartTrigger.software());
                ai.configure();
                ai.start();
                trigger = ai::trigger;
                sleeper = CompletableFuture.supplyAsync(
                        () -> ai.readScans(ScanBlock.interleaved(1, 64), SCANS, Duration.ofSeconds(60)));
            } else {
                ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
                ao.setStartTrigger(StartTrigger.software());
                int driverBytes = ao.setDriverBufferSize(1 << 16);
                ao.configure();
                ao.write(StreamingOutputTest.scans(0, 1, 1), 1);
                ao.start();
                trigger = ao::trigger;
                int scans = 2 * driverBytes / 2; // twice the driver's buffer, in 2-byte codes
                ByteBuffer more = ByteBuffer.allocateDirect(8 * scans).order(ByteOrder.nativeOrder());
                sleeper = CompletableFuture.supplyAsync(() -> ao.write(more, scans, Duration.ofSeconds(60)));
            }
            Thread.sleep(100);
            assertFalse(sleeper.isDone(), "the call sleeps: nothing to read, or no room, before the trigger");
            CompletableFuture.runAsync(trigger).get(10, TimeUnit.SECONDS);
            EmulatedBoard.advanceNs(SCANS * 1_000_000L);
            if (device == Device.INPUT) {
                assertEquals(SCANS, sleeper.get(10, TimeUnit.SECONDS), "the read got the triggered scans");
                assertTrue(ai.isStarted());
            } else {
                // (not isStarted(): like every getter, it would wait for the sleeping write)
                assertEquals(SCANS, EmulatedBoard.outputScans(MULTI, AO_SUBDEVICE));
                ao.stop();
                var ended = assertThrows(java.util.concurrent.ExecutionException.class, () -> sleeper.get(10, TimeUnit.SECONDS));
                assertTrue(ended.getCause() instanceof StreamStoppedException, String.valueOf(ended.getCause()));
            }
        }
    }

    static Stream<Device> devices() {
        return Stream.of(Device.values());
    }

    /**
     * trigger() racing stop() from another thread, again and again: either the stream started and
     * was stopped, or the stop came first and the trigger is refused as not armed; never a crash or
     * a command left behind.
     */
    @Test
    void triggerRacingStopLeavesNothingBehind() throws Exception {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000.0, 64)) {
            ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ai.setStartTrigger(StartTrigger.software());
            ai.configure();
            for (int round = 0; round < 200; round++) {
                ai.start();
                CompletableFuture<Boolean> trigger = CompletableFuture.supplyAsync(() -> {
                    try {
                        ai.trigger();
                        return true;
                    } catch (IllegalStateException notArmed) {
                        return false;
                    }
                });
                ai.stop();
                trigger.get(10, TimeUnit.SECONDS); // either outcome is sound
                assertFalse(ai.isStarted() || ai.isArmed());
                assertEquals(0, EmulatedBoard.subdeviceBusy(MULTI, 0), "round " + round);
            }
        }
    }

    static Stream<String> enders() {
        return Stream.of("stop", "close");
    }
}
