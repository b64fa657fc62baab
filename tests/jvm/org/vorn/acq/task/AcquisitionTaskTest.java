// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediOverrunException;
import org.vorn.hdf5.Hdf5ScanLog;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.H5py;

/**
 * The task on the emulated board in real time, every position on the counter channel (code of
 * sample k = k mod 65536), each with another range: a scan delivered twice, out of order, late,
 * at the wrong position or converted with the wrong range has the wrong value.
 */
class AcquisitionTaskTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final int COUNTER = 7;
    private static final double[][] RANGES = {{-10, 10}, {-5, 5}, {0, 10}, {-1, 1}};

    @TempDir
    Path dir;

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();
    private final List<TaskEnd> ends = new CopyOnWriteArrayList<>();
    /** Every code and volt the listeners were given, in order. */
    private final List<Long> codes = new ArrayList<>();
    private final List<Double> volts = new ArrayList<>();
    private final List<Long> backlogs = new ArrayList<>();
    /** The scan after each block: the backlog it reported waited behind this one. */
    private final List<Long> blockEnds = new ArrayList<>();

    private static ComediAnalogStreamingDevice counter(int positions, double rate, long scanCount) {
        var ai = new ComediAnalogStreamingDevice(MULTI, positions, rate, 8192);
        for (int p = 0; p < positions; p++) {
            ai.configureChannel(p, COUNTER, RANGES[p % 4][0], RANGES[p % 4][1], AnalogReference.GROUND);
        }
        if (scanCount > 0) {
            ai.setScanCount(scanCount);
        }
        ai.configure();
        return ai;
    }

    /** A task that checks and keeps every block it is given. */
    private AcquisitionTask.Builder collecting(ComediAnalogStreamingDevice ai, boolean volts) {
        return AcquisitionTask.on(ai).everyScans(1000).onDone(ends::add).onBlock(b -> keep(b, volts));
    }

    private void keep(TaskBlock b, boolean converted) {
        int positions = b.getPositionCount();
        assertEquals(codes.size() / positions, b.getFirstScan(), "the block follows the one before");
        backlogs.add(b.getBacklogScans());
        blockEnds.add(b.getFirstScan() + b.getScanCount());
        ByteBuffer raw = b.getRaw();
        for (int s = 0; s < b.getScanCount(); s++) {
            for (int p = 0; p < positions; p++) {
                long code = raw.getShort() & 0xFFFFL;
                codes.add(code);
                if (converted) {
                    volts.add(b.getVolts(s, p));
                }
            }
        }
    }

    private TaskEnd await(AcquisitionTask task) throws InterruptedException {
        TaskEnd end = task.awaitEnd(Duration.ofSeconds(60));
        assertNotNull(end, "the task did not end");
        task.close();
        assertEquals(List.of(end), ends, "the done listener is told exactly once");
        return end;
    }

    /** Every code is the counter, and every volt the library's conversion of it on its position. */
    private void assertCounter(long scans, int positions, ComediAnalogStreamingDevice ai) {
        assertEquals(scans * positions, codes.size(), "codes delivered");
        for (int k = 0; k < codes.size(); k++) {
            assertEquals(k % 65536, codes.get(k), "code of sample " + k);
            if (!volts.isEmpty()) {
                assertEquals(ai.getChannelRange(k % positions).toVolts(k % 65536), volts.get(k), "volts of " + k);
            }
        }
    }

    private static long subdeviceRunning() {
        return EmulatedBoard.subdeviceRunning(MULTI, 0);
    }

    @Test
    void everyScanOnceInOrderDeliveredAndLoggedWithWhatH5pyNeeds() throws Exception {
        Path file = dir.resolve("continuous.h5");
        try (var ai = counter(4, 25_000, 0)) {
            AcquisitionTask task = collecting(ai, true)
                    .recordTo(new Hdf5ScanLog(file, Duration.ofMillis(100), true), true).build();
            task.start();
            while (task.getEnd() == null && ai.getSamplesDelivered() < 4 * 30_000) {
                Thread.sleep(20);
            }
            task.stop();
            TaskEnd end = await(task);
            assertEquals(TaskEnd.Reason.STOPPED, end.reason(), end.toString());
            assertTrue(end.scansDelivered() >= 30_000, end.toString());
            assertCounter(end.scansDelivered(), 4, ai);
            assertEquals(0, subdeviceRunning(), "the task stopped the stream");

            Map<String, Object> root = new LinkedHashMap<>();
            root.put("device", MULTI);
            root.put("driver", "vorn_emu");
            root.put("board", "emu-multi");
            root.put("subdevice", 0);
            root.put("scan_period_ns", ai.getScanPeriodNanos());
            root.put("convert_period_ns", ai.getConvertPeriodNanos());
            root.put("scan_rate_hz", ai.getScanRateHz());
            root.put("start_time_ns", ai.getStartTime().getEpochSecond() * 1_000_000_000L + ai.getStartTime().getNano());
            root.put("start_time", ai.getStartTime().toString());
            root.put("scans_requested", 0);
            Map<String, Object> scans = new LinkedHashMap<>();
            scans.put("channel", List.of(7, 7, 7, 7));
            scans.put("reference", List.of("ground", "ground", "ground", "ground"));
            scans.put("range_min", List.of(-10.0, -5.0, 0.0, -1.0));
            scans.put("range_max", List.of(10.0, 5.0, 10.0, 1.0));
            scans.put("unit", List.of("V", "V", "V", "V"));
            scans.put("maxdata", List.of(65535, 65535, 65535, 65535));
            double[] delivered = volts.stream().mapToDouble(Double::doubleValue).toArray();
            Map<String, Object> expect = new LinkedHashMap<>();
            expect.put("file", file);
            expect.put("root", root);
            expect.put("scans", scans);
            expect.put("dtype", "uint16");
            expect.put("positions", 4);
            expect.put("rows", end.scansDelivered());
            expect.put("counter", 65536);
            expect.put("volts_from_attrs", H5py.float64File(dir, delivered, delivered.length));
            expect.put("volts_dataset", true);
            expect.put("events", List.of(List.of(end.scansDelivered(), "stopped", "")));
            H5py.check(dir, expect);
        }
    }

    @Test
    void aFiniteTaskLogsExactlyItsScansAndEndsByItself() throws Exception {
        Path file = dir.resolve("finite.h5");
        List<Integer> sizes = new CopyOnWriteArrayList<>();
        try (var ai = counter(2, 20_000, 5000)) {
            AcquisitionTask task = collecting(ai, false).everyScans(1500).onBlock(b -> sizes.add(b.getScanCount()))
                    .recordTo(new Hdf5ScanLog(file), false).build();
            task.start();
            TaskEnd end = await(task);
            assertEquals(new TaskEnd(TaskEnd.Reason.COMPLETED, 5000, null, end.backlogScans()), end);
            assertEquals(List.of(1500, 1500, 1500, 500), sizes);
            assertCounter(5000, 2, ai);
            assertTrue(volts.isEmpty(), "a task that only logs converts nothing");
        }
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("root", Map.of("scans_requested", 5000));
        expect.put("dtype", "uint16");
        expect.put("positions", 2);
        expect.put("rows", 5000);
        expect.put("counter", 65536);
        expect.put("volts_dataset", false);
        expect.put("events", List.of(List.of(5000, "completed", "")));
        H5py.check(dir, expect);
    }

    @ParameterizedTest(name = "{0} from a listener")
    @ValueSource(strings = {"stop", "close"})
    void stopOrCloseFromInsideAListenerEndsTheTask(String call) throws Exception {
        try (var ai = counter(3, 10_000, 0)) {
            AtomicReference<AcquisitionTask> self = new AtomicReference<>();
            AcquisitionTask task = collecting(ai, true).onBlock(b -> {
                if (b.getFirstScan() == 3000) {
                    if (call.equals("stop")) {
                        self.get().stop();
                    } else {
                        self.get().close();
                    }
                }
            }).onDone(end -> {
                ends.add(end);
                self.get().close(); // the done listener may close too
            }).build();
            self.set(task);
            task.start();
            TaskEnd end = task.awaitEnd(Duration.ofSeconds(60));
            assertEquals(new TaskEnd(TaskEnd.Reason.STOPPED, 4000, null, end.backlogScans()), end);
            task.close();
            assertEquals(List.of(end), ends, "one done call");
            assertCounter(4000, 3, ai);
            assertEquals(0, subdeviceRunning());
        }
    }

    @Test
    void aListenerExceptionStopsTheTaskAndReachesTheDoneListenerAndTheLog() throws Exception {
        Path file = dir.resolve("failed.h5");
        IllegalStateException thrown = new IllegalStateException("analysis failed");
        try (var ai = counter(1, 10_000, 0)) {
            AcquisitionTask task = collecting(ai, true).onBlock(b -> {
                if (b.getFirstScan() == 2000) {
                    throw thrown;
                }
            }).recordTo(new Hdf5ScanLog(file), true).build();
            task.start();
            TaskEnd end = await(task);
            assertEquals(TaskEnd.Reason.LISTENER_FAILED, end.reason());
            assertSame(thrown, end.cause());
            assertEquals(2000, end.scansDelivered());
            assertEquals(0, subdeviceRunning());
        }
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("dtype", "uint16");
        expect.put("positions", 1);
        expect.put("rows", 3000); // the failing block was logged before its listeners ran
        expect.put("counter", 65536);
        expect.put("events", List.of(List.of(2000, "error", "analysis failed")));
        H5py.check(dir, expect);
    }

    @Test
    void aSlowListenerSeesTheBacklogGrowBoundedByTheBuffersAndTheOverrunCountsOnlyStoredScans() throws Exception {
        try (var ai = counter(4, 50_000, 0)) {
            int driverScans = ai.setDriverBufferSize(64 * 1024) / 8; // 8192 scans: 164 ms of data
            int ownScans = ai.getBufferSize() / 4;
            AcquisitionTask task = collecting(ai, true).onBlock(b -> Thread.sleep(40)).build();
            task.start();
            TaskEnd end = await(task);
            assertEquals(TaskEnd.Reason.OVERRUN, end.reason(), end.toString());
            ComediOverrunException overrun = assertInstanceOf(ComediOverrunException.class, end.cause());
            // Everything read before the overrun was delivered, in order, and nothing after it.
            assertCounter(end.scansDelivered(), 4, ai);
            assertEquals(overrun.getScansDelivered(), end.scansDelivered(), overrun.getMessage());
            long most = backlogs.stream().mapToLong(Long::longValue).max().orElseThrow();
            assertTrue(most > driverScans / 2, "the backlog shows the listener lagging: " + backlogs);
            for (int i = 0; i < backlogs.size(); i++) {
                assertTrue(backlogs.get(i) <= driverScans + ownScans, "block " + i + " reports more than the driver's "
                        + driverScans + " and the library's " + ownScans + " scans can hold: " + backlogs);
                // The driver stored nothing after it overflowed: whatever waited was delivered before the end.
                assertTrue(backlogs.get(i) <= end.scansDelivered() - blockEnds.get(i), "block " + i + " counts scans"
                        + " that were never stored: " + backlogs + " behind " + blockEnds + ", " + end);
            }
            assertEquals(backlogs.get(backlogs.size() - 1), end.backlogScans(), "the end tells the last backlog");
            assertTrue(end.toString().contains("scans waiting behind it (the reader fell behind the board)"), end.toString());
        }
    }
}
