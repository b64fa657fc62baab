// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.time.temporal.ChronoUnit;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * The task's own rules on a stream without a device, where runs of codes end inside scans at
 * will: block sizes, the order and uniqueness of scans, one done call with the right reason, a
 * failing recorder. AcquisitionTaskTest runs the rest on the emulated board.
 */
class AcquisitionTaskRulesTest {
    private final List<TaskEnd> ends = new CopyOnWriteArrayList<>();
    private final List<Long> codes = new ArrayList<>();
    private final List<Integer> sizes = new ArrayList<>();

    @SuppressWarnings("removal")
    private AcquisitionTask.Builder task(CountingSource source) {
        return AcquisitionTask.on("fake", source).everyScans(100).onDone(ends::add).onBlock(b -> {
            assertEquals(codes.size() / source.positions, b.getFirstScan(), "first scan of the block");
            sizes.add(b.getScanCount());
            codes.addAll(CountingSource.codes(b));
            for (int s = 0; s < b.getScanCount(); s++) {
                for (int p = 0; p < source.positions; p++) {
                    long k = (b.getFirstScan() + s) * source.positions + p;
                    assertEquals(b.getStream().positions().get(p).toVolts(k % 65536), b.getVolts(s, p));
                    assertEquals(b.getVolts(s, p), b.volts(s, p), "the deprecated name");
                }
                assertEquals(b.getScanStartEpochNanos(s), b.timeNanos(s), "the deprecated name");
            }
        });
    }

    private TaskEnd runToEnd(AcquisitionTask t) throws InterruptedException {
        t.start();
        // No limit, as the waiting reads take it: before 0.2 this raised ArithmeticException.
        TaskEnd end = t.awaitEnd(ChronoUnit.FOREVER.getDuration());
        assertNotNull(end, "the task did not end");
        t.close();
        assertEquals(List.of(end), ends, "the done listener is told exactly once");
        return end;
    }

    private void assertCounter(long scans, int positions) {
        assertEquals(scans * positions, codes.size());
        for (int k = 0; k < codes.size(); k++) {
            assertEquals(k % 65536, codes.get(k), "code " + k);
        }
    }

    @Test
    void aFiniteTaskDeliversExactlyItsScansInFullBlocksAndALastShortOne() throws Exception {
        CountingSource source = new CountingSource(3, 1050, 0);
        TaskEnd end = runToEnd(task(source).build());
        assertEquals(new TaskEnd(TaskEnd.Reason.COMPLETED, 1050, null, end.backlogScans()), end);
        assertEquals(List.of(100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 50), sizes);
        assertCounter(1050, 3);
    }

    @ParameterizedTest
    @ValueSource(ints = {Integer.MAX_VALUE / 4, 1 << 30})
    void aBlockTooLargeForOneBufferIsRefusedAtStartAndTheStreamStopped(int everyScans) throws Exception {
        // 3 positions of 2 bytes: the block's codes or its volts overflow an int; 1 << 30 x 3
        // values once wrapped round to a small positive array.
        CountingSource source = new CountingSource(3, 0, 0);
        AcquisitionTask t = task(source).everyScans(everyScans).build();
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class, t::start);
        assertTrue(e.getMessage().contains("does not fit one buffer"), e.getMessage());
        assertTrue(source.stopped, "a stream without its reader is stopped");
        assertNull(t.awaitEnd(Duration.ZERO), "nothing ran, so nothing ended");
        assertEquals(List.of(), ends);
        t.close();
    }

    @Test
    void anErrorFromTheReadsEndsTheTaskAfterTheScansBeforeIt() throws Exception {
        CountingSource counting = new CountingSource(3, 0, 0);
        OutOfMemoryError error = new OutOfMemoryError("no memory for the read");
        ScanSource failing = new ScanSource() {
            @Override
            public StreamInfo start() {
                return counting.start();
            }

            @Override
            public int read(java.nio.ByteBuffer raw, int minValues, long timeoutNanos) {
                if (counting.next >= 250 * 3) {
                    throw error;
                }
                return counting.read(raw, minValues, timeoutNanos);
            }

            @Override
            public long backlogScans() {
                return 0;
            }

            @Override
            public boolean isOverrun(RuntimeException e) {
                return false;
            }

            @Override
            public void stop() {
                counting.stop();
            }
        };
        TaskEnd end = runToEnd(AcquisitionTask.on("fake", failing).everyScans(100).onDone(ends::add).onBlock(b -> {
            sizes.add(b.getScanCount());
            codes.addAll(CountingSource.codes(b));
        }).build());
        assertEquals(TaskEnd.Reason.DEVICE_FAILED, end.reason());
        assertSame(error, end.cause());
        assertEquals(counting.next / 3, end.scansDelivered(), "every whole scan read before the error");
        assertEquals(List.of(100, 100, (int) (counting.next / 3) - 200), sizes, "two full blocks, then the rest");
        assertCounter(end.scansDelivered(), 3);
        assertTrue(counting.stopped, "the stream is stopped");
    }

    /** Bit 4 of the counter rises every 32 scans (at 16 + 32 j) on one position. */
    private static final Trigger BIT4 = Trigger.line(0, 4, Trigger.LineCondition.RISING);

    @Test
    void anOverrunCutsTheLastRecordWhichComesIncompleteAfterTheLastBlockAndBeforeTheEnd() throws Exception {
        List<String> records = new ArrayList<>();
        TaskEnd end = runToEnd(task(new CountingSource(1, 0, 250)).onRecord(BIT4, 10, 50, r -> {
            for (int s = 0; s < r.getScanCount(); s++) {
                assertEquals(r.getFirstScan() + s, r.getRaw(s, 0), "contiguous");
            }
            assertTrue(ends.isEmpty(), "before the done listener");
            records.add(r.getTriggerScan() + ":" + r.getFirstScan() + "+" + r.getScanCount() + (r.isComplete() ? ""
                    : "! after " + codes.size()));
        }).build());
        assertEquals(TaskEnd.Reason.OVERRUN, end.reason());
        // Rising at 16, 48, 80 ...: the ones inside a record (50 scans from its trigger) are dropped.
        assertEquals(List.of("16:6+60", "80:70+60", "144:134+60", "208:198+52! after 250"), records);
    }

    @Test
    void aFailingRecordListenerEndsTheTaskAndATriggerOnAMissingPositionIsRefusedAtStart() throws Exception {
        List<Long> records = new ArrayList<>();
        IllegalStateException failure = new IllegalStateException("the analysis failed");
        TaskEnd end = runToEnd(task(new CountingSource(1, 0, 0)).onRecord(BIT4, 0, 100, r -> {
            records.add(r.getTriggerScan());
            throw failure;
        }).build());
        assertEquals(TaskEnd.Reason.LISTENER_FAILED, end.reason());
        assertSame(failure, end.cause());
        assertEquals(List.of(16L), records, "no record after the failing one, not even a cut one");

        CountingSource source = new CountingSource(2, 0, 0);
        AcquisitionTask t = task(source).onRecord(Trigger.level(2, 0, Trigger.Slope.RISING), 0, 1, r -> { }).build();
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class, t::start);
        assertEquals("trigger rising through 0.0 at position 2: the stream has 2 positions", e.getMessage());
        assertTrue(source.stopped, "a stream without its reader is stopped");
        t.close();
    }

    @Test
    void anOverrunEndsTheTaskAfterEveryScanBeforeIt() throws Exception {
        TaskEnd end = runToEnd(task(new CountingSource(2, 0, 730)).build());
        assertEquals(TaskEnd.Reason.OVERRUN, end.reason());
        assertEquals(730, end.scansDelivered());
        assertEquals("overrun after 730 scans", end.cause().getMessage());
        assertCounter(730, 2);
    }

    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void aRecorderThatFailsStopsTheTaskAndIsClosed(boolean closeRaisesTheSameFailure) throws Exception {
        List<String> calls = new ArrayList<>();
        java.io.IOException full = new java.io.IOException("disk full");
        ScanRecorder recorder = new ScanRecorder() {
            @Override
            public void begin(StreamInfo stream) {
                calls.add("begin");
            }

            @Override
            public void record(java.nio.ByteBuffer raw, long firstScan, int scans) throws java.io.IOException {
                calls.add("record " + firstScan);
                if (firstScan == 200) {
                    throw full;
                }
            }

            @Override
            public void event(String kind, long scanIndex, String detail) {
                calls.add("event " + kind);
            }

            @Override
            public void close() throws java.io.IOException {
                calls.add("close");
                if (closeRaisesTheSameFailure) {
                    throw full; // a recorder that keeps its first failure and raises it again
                }
            }
        };
        TaskEnd end = runToEnd(task(new CountingSource(1, 0, 0)).recordTo(recorder, true).build());
        assertEquals(new TaskEnd(TaskEnd.Reason.RECORDER_FAILED, 200, full, end.backlogScans()), end);
        assertEquals(0, full.getSuppressed().length, "the failure is not its own suppressed one");
        assertEquals(List.of("begin", "record 0", "record 100", "record 200", "close"), calls);
    }

    /** Records nothing; says which calls it had, and its begin fails with {@code failure} if given. */
    private static ScanRecorder calling(List<String> calls, Throwable failure) {
        return new ScanRecorder() {
            @Override
            public void begin(StreamInfo stream) {
                calls.add("begin");
                if (failure instanceof Error e) {
                    throw e;
                }
            }

            @Override
            public void record(java.nio.ByteBuffer raw, long firstScan, int scans) {
                calls.add("record " + firstScan);
            }

            @Override
            public void event(String kind, long scanIndex, String detail) {
                calls.add("event " + kind);
            }

            @Override
            public void close() {
                calls.add("close");
            }
        };
    }

    @Test
    void aRecorderWhoseBeginRaisesAnErrorEndsTheTaskAndIsClosed() throws Exception {
        // What a log's first HDF5 call raises when the binding's native library is not on the path.
        UnsatisfiedLinkError missing = new UnsatisfiedLinkError("no hdf5_java in java.library.path");
        List<String> calls = new ArrayList<>();
        CountingSource source = new CountingSource(2, 0, 0);
        TaskEnd end = runToEnd(task(source).recordTo(calling(calls, missing), true).build());
        assertEquals(new TaskEnd(TaskEnd.Reason.RECORDER_FAILED, 0, missing, -1), end);
        assertEquals(List.of("begin", "close"), calls);
        assertTrue(source.stopped, "the task stopped the stream");
    }

    @Test
    void anErrorThrownByAListenerIsTheCauseOfTheEndAndTheLogIsClosed() throws Exception {
        AssertionError wrong = new AssertionError("the analysis found an impossible value");
        List<String> calls = new ArrayList<>();
        CountingSource source = new CountingSource(2, 0, 0);
        TaskEnd end = runToEnd(task(source).recordTo(calling(calls, null), true).onBlock(b -> {
            if (b.getFirstScan() == 300) {
                throw wrong;
            }
        }).build());
        assertEquals(new TaskEnd(TaskEnd.Reason.LISTENER_FAILED, 300, wrong, end.backlogScans()), end);
        assertEquals(List.of("begin", "record 0", "record 100", "record 200", "record 300", "event error", "close"),
                calls);
        assertTrue(source.stopped, "the task stopped the stream");
        assertCounter(400, 2); // the first listener had the failing block too
    }

    @ParameterizedTest(name = "volts delivered too: {0}")
    @ValueSource(booleans = {true, false})
    void aRecorderThatWritesTheCodesOutThroughAChannelLeavesTheBlockWhole(boolean deliverToo) throws Exception {
        java.io.ByteArrayOutputStream file = new java.io.ByteArrayOutputStream();
        java.nio.channels.WritableByteChannel out = java.nio.channels.Channels.newChannel(file);
        ScanRecorder recorder = new ScanRecorder() {
            @Override
            public void begin(StreamInfo stream) {
            }

            @Override
            public void record(java.nio.ByteBuffer raw, long firstScan, int scans) throws java.io.IOException {
                // A channel write consumes the buffer: its position ends at its limit.
                while (raw.hasRemaining()) {
                    out.write(raw);
                }
            }

            @Override
            public void event(String kind, long scanIndex, String detail) {
            }

            @Override
            public void close() {
            }
        };
        CountingSource source = new CountingSource(3, 1050, 0);
        AcquisitionTask.Builder b = deliverToo ? task(source)
                : AcquisitionTask.on("fake", source).everyScans(100).onDone(ends::add).onBlock(block -> {
                    assertThrows(IllegalStateException.class, block::copyVolts, "no volts, rather than zeros");
                    assertThrows(IllegalStateException.class, () -> block.getVolts(0, 0));
                    assertEquals(codes.size() / source.positions, block.getFirstScan(), "first scan of the block");
                    sizes.add(block.getScanCount());
                    codes.addAll(CountingSource.codes(block));
                });
        TaskEnd end = runToEnd(b.recordTo(recorder, deliverToo).build());
        assertEquals(new TaskEnd(TaskEnd.Reason.COMPLETED, 1050, null, end.backlogScans()), end);
        assertEquals(List.of(100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 50), sizes);
        assertCounter(1050, 3);
        java.nio.ByteBuffer written = java.nio.ByteBuffer.wrap(file.toByteArray()).order(java.nio.ByteOrder.nativeOrder());
        assertEquals(1050 * 3 * 2, written.remaining(), "bytes the recorder wrote");
        for (int k = 0; k < 1050 * 3; k++) {
            assertEquals(k % 65536, written.getShort() & 0xFFFF, "recorded code " + k);
        }
    }
}
