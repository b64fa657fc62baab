// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.time.Duration;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.EnumSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediAnalogStreamingOutDevice;
import org.vorn.acq.comedi.SynchronizedStart;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediUnderrunException;
import org.vorn.exception.DeviceStateException;
import org.vorn.testsupport.BoardFixture;

/**
 * The output task and the stimulus-response task on the emulated boards' real clock: every
 * generated sample comes back on the loopback channel in the input scan of the same index, and
 * the ends of an output task (its generator failing, falling behind, a stop from another thread)
 * and of a shared start the input refuses.
 */
class OutputTaskTest {
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    private static final long MAXDATA = 65535;
    private static final double RATE = 1000;

    /** Scan j of the stimulus: a sawtooth whose neighbouring scans differ by 0.37 V, so a shifted scan shows. */
    static double stimulus(long j) {
        return -9.0 + ((j * 37) % 1800) / 100.0;
    }

    /** The code comedi_from_phys gives in ±10 V, which the loopback converts back to the same code. */
    static long code(double volts) {
        double s = (volts + 10.0) / 20.0 * MAXDATA;
        return s < 0 ? 0 : s > MAXDATA ? MAXDATA : (long) Math.floor(s + 0.5);
    }

    static final ScanGenerator SAWTOOTH = (first, n, v) -> {
        for (int i = 0; i < n; i++) {
            v[i] = stimulus(first + i);
        }
    };

    static Stream<Arguments> loopbacks() {
        // board, its loopback channel of AO0, finite
        return Stream.of(
                Arguments.of(EmulatedBoard.MULTI, 14, true),
                Arguments.of(EmulatedBoard.MULTI, 14, false),
                Arguments.of(EmulatedBoard.RIG, 0, true),
                Arguments.of(EmulatedBoard.RIG, 0, false));
    }

    /**
     * One position each side, so the loopback sample is converted at the end of its scan, when the
     * output scan of the same index goes out: input scan k holds output scan k. A driver buffer of
     * 2 s makes the continuous output refill while it runs; the finite one is preloaded whole.
     */
    @ParameterizedTest(name = "{0} AI{1} finite={2}")
    @MethodSource("loopbacks")
    void everyGeneratedScanComesBackInTheInputScanOfItsIndex(String board, int loopback, boolean finite)
            throws Exception {
        int total = 3000;
        Set<String> threads = ConcurrentHashMap.newKeySet();
        try (var ai = new ComediAnalogStreamingDevice(board, 1, RATE, 4096);
                var ao = new ComediAnalogStreamingOutDevice(board, 1, RATE, 1024)) {
            ai.configureChannel(0, loopback, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            SynchronizedStart.prepare(ai);
            if (finite) {
                ai.setScanCount(total);
                ao.setScanCount(total);
            }
            ai.configure();
            ao.configure();
            ao.setDriverBufferSize(4096);
            long[] got = new long[total];
            AtomicInteger received = new AtomicInteger();
            AtomicReference<TaskEnd> told = new AtomicReference<>();
            var task = StimulusResponseTask.on(ai, ao).everyScans(100)
                    .generate((first, n, v) -> {
                        threads.add(Thread.currentThread().getName());
                        SAWTOOTH.fill(first, n, v);
                    })
                    .onBlock(b -> {
                        threads.add(Thread.currentThread().getName());
                        ByteBuffer raw = b.getRaw().order(ByteOrder.nativeOrder());
                        for (int s = 0; s < b.getScanCount() && b.getFirstScan() + s < total; s++) {
                            got[(int) b.getFirstScan() + s] = raw.getShort(2 * s) & 0xffff;
                            received.incrementAndGet();
                        }
                    })
                    .onDone(told::set)
                    .build();
            SynchronizedStart start = task.start();
            assertNotNull(start);
            long deadline = System.nanoTime() + 30_000_000_000L;
            while (!finite && received.get() < total && System.nanoTime() < deadline) {
                Thread.sleep(20);
            }
            if (!finite) {
                task.stop();
            }
            TaskEnd end = task.awaitEnd(Duration.ofSeconds(30));
            task.close();
            assertNotNull(end, "the task did not end");
            assertSame(end, told.get());
            TaskEnd.Reason expected = finite ? TaskEnd.Reason.COMPLETED : TaskEnd.Reason.STOPPED;
            assertEquals(expected, end.reason(), end::toString);
            assertEquals(expected, task.getOutputEnd().reason(), () -> task.getOutputEnd().toString());
            if (finite) {
                assertEquals(total, end.scansDelivered());
                assertEquals(total, task.getOutputEnd().scansDelivered());
                assertEquals(total, EmulatedBoard.outputScans(board, 1));
            }
            for (int k = 0; k < total; k++) {
                assertEquals(code(stimulus(k)), got[k], "input scan " + k);
            }
            assertEquals(Set.of("vorn-output " + board, "vorn-acquisition " + board), threads);
        }
    }

    /** How an output task is ended in each case, and the end it must report. */
    enum Ending {
        GENERATOR_THROWS(TaskEnd.Reason.GENERATOR_FAILED),
        GENERATOR_PUTS_NAN(TaskEnd.Reason.GENERATOR_FAILED),
        GENERATOR_STALLS(TaskEnd.Reason.UNDERRUN),
        STOPPED_BY_ANOTHER_THREAD(TaskEnd.Reason.STOPPED);

        final TaskEnd.Reason reason;

        Ending(TaskEnd.Reason reason) {
            this.reason = reason;
        }
    }

    /**
     * A continuous output at 1 kS/s, preloaded with 1000 scans, whose driver buffer holds far more
     * than the run: at scan 1500 (1.5 s ahead of the clock, so only a stall can run it dry) the
     * generator fails or stalls for 2.5 s; or a stop comes from the test's thread while the writer
     * waits for room. The end names the reason, counts the scans the device took, and the board
     * put out every one of them (an underrun takes none that was not written).
     */
    @ParameterizedTest
    @EnumSource(Ending.class)
    void theOutputTaskEndsWithItsReason(Ending ending) throws Exception {
        RuntimeException thrown = new IllegalStateException("the generator gives up");
        try (var ao = new ComediAnalogStreamingOutDevice(EmulatedBoard.MULTI, 1, RATE, 1024)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.configure();
            var task = OutputTask.on(ao).everyScans(500).preloadScans(1000).generate((first, n, v) -> {
                SAWTOOTH.fill(first, n, v);
                if (first == 1500) {
                    switch (ending) {
                        case GENERATOR_THROWS -> throw thrown;
                        case GENERATOR_PUTS_NAN -> v[7] = Double.NaN;
                        case GENERATOR_STALLS -> sleep(2500);
                        default -> { }
                    }
                }
            }).build();
            assertEquals(1000, task.start());
            if (ending == Ending.STOPPED_BY_ANOTHER_THREAD) {
                Thread.sleep(300);
                assertNull(task.getEnd(), "a continuous output runs until stopped");
                task.stop();
            }
            TaskEnd end = task.awaitEnd(Duration.ofSeconds(30));
            assertNotNull(end, "the task did not end");
            assertEquals(ending.reason, end.reason(), end::toString);
            switch (ending) {
                case GENERATOR_THROWS -> {
                    assertSame(thrown, end.cause());
                    assertEquals(1500, end.scansDelivered());
                }
                case GENERATOR_PUTS_NAN -> {
                    assertInstanceOf(IllegalArgumentException.class, end.cause());
                    assertEquals(1500 + 7, end.scansDelivered());
                }
                case GENERATOR_STALLS -> {
                    var u = assertInstanceOf(ComediUnderrunException.class, end.cause());
                    assertEquals(1500, u.getScansDelivered());
                    assertEquals(1500, end.scansDelivered());
                    assertEquals(1500, EmulatedBoard.outputScans(EmulatedBoard.MULTI, 1));
                }
                default -> assertNull(end.cause());
            }
            if (ending != Ending.GENERATOR_STALLS) {
                assertTrue(EmulatedBoard.outputScans(EmulatedBoard.MULTI, 1) <= end.scansDelivered());
            }
        }
    }

    /**
     * An input not prepared for the shared start: start() raises the library's refusal, the done
     * listener is told DEVICE_FAILED with it, and the output that was armed and preloaded for the
     * start is cancelled, not left holding the board's output subdevice.
     */
    @Test
    void aRefusedSharedStartEndsTheTaskAndLeavesNoOutputArmed() throws Exception {
        String board = EmulatedBoard.MULTI;
        try (var ai = new ComediAnalogStreamingDevice(board, 1, RATE, 4096);
                var ao = new ComediAnalogStreamingOutDevice(board, 1, RATE, 1024)) {
            ai.configureChannel(0, 14, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ai.configure();
            ao.configure();
            AtomicReference<TaskEnd> told = new AtomicReference<>();
            var task = StimulusResponseTask.on(ai, ao).generate(SAWTOOTH).onDone(told::set).build();
            var refused = assertThrows(DeviceStateException.class, task::start);
            assertTrue(refused.getMessage().contains("SynchronizedStart.prepare(input)"), refused.getMessage());
            TaskEnd end = task.awaitEnd(Duration.ofSeconds(10));
            assertNotNull(end, "the task did not end");
            assertSame(end, told.get());
            assertEquals(TaskEnd.Reason.DEVICE_FAILED, end.reason(), end::toString);
            assertSame(refused, end.cause());
            assertEquals(0, EmulatedBoard.subdeviceBusy(board, 1), "the output is still armed");
            assertEquals(0, EmulatedBoard.subdeviceBusy(board, 0), "the input is still armed");
        }
    }

    private static void sleep(long ms) {
        try {
            Thread.sleep(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
