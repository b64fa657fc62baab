// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.task.AcquisitionTask;
import org.vorn.acq.task.TaskEnd;
import org.vorn.emu.EmulatedBoard;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.H5py;

/**
 * A task logs to a small tmpfs until it is full: the file must hold exactly the scans the task's
 * end says reached it, each as the listener saw it, and no row that was never written (a row of
 * codes 0 would pass for data). Mounting needs root; elsewhere the test is skipped, saying so.
 */
class FullDiskLogTest {
    private static final int POSITIONS = 4;
    private static final int COUNTER = 7;

    @TempDir
    Path dir;

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    private Path disk;

    @BeforeEach
    void mountSmallDisk() throws Exception {
        disk = Files.createDirectory(dir.resolve("small-disk"));
        Process mount = new ProcessBuilder("mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk.toString())
                .redirectErrorStream(true).start();
        String out = new String(mount.getInputStream().readAllBytes()).trim();
        boolean mounted = mount.waitFor(30, TimeUnit.SECONDS) && mount.exitValue() == 0;
        if (!mounted) {
            disk = null;
        }
        Assumptions.assumeTrue(mounted, "cannot mount a 1 MiB tmpfs to fill (needs root): " + out);
    }

    @AfterEach
    void unmount() throws Exception {
        if (disk != null) {
            new ProcessBuilder("umount", disk.toString()).inheritIO().start().waitFor(30, TimeUnit.SECONDS);
        }
    }

    @ParameterizedTest(name = "volts logged {0}, flushed every {1} ms")
    @CsvSource({"false, 50", "true, 50", "false, 5000"})
    void theFileHoldsExactlyTheScansTheEndReportsWritten(boolean withVolts, int flushMs) throws Exception {
        Path file = disk.resolve("full.h5");
        List<Long> seen = new ArrayList<>();
        TaskEnd end;
        try (var ai = new ComediAnalogStreamingDevice(EmulatedBoard.MULTI, POSITIONS, 50_000, 8192)) {
            for (int p = 0; p < POSITIONS; p++) {
                ai.configureChannel(p, COUNTER, -10, 10, AnalogReference.GROUND);
            }
            ai.configure();
            Hdf5ScanLog log = new Hdf5ScanLog(file, Duration.ofMillis(flushMs), withVolts);
            try (AcquisitionTask task = AcquisitionTask.on(ai).everyScans(1000).recordTo(log, true)
                    .onBlock(b -> {
                        ByteBuffer raw = b.getRaw();
                        while (raw.hasRemaining()) {
                            seen.add(raw.getShort() & 0xFFFFL);
                        }
                    }).build()) {
                task.start();
                end = task.awaitEnd(Duration.ofSeconds(120));
            }
            assertNotNull(end, "the task did not end on the full disk");
            assertEquals(TaskEnd.Reason.RECORDER_FAILED, end.reason(), end.toString());
            ScanLogWriteException failure = assertInstanceOf(ScanLogWriteException.class, end.cause(), end.toString());
            long written = failure.getScansInFile();
            assertEquals(written, log.getScansWritten());
            // The block whose recording failed reached no listener, but may have reached the file.
            assertTrue(written > 0 && written <= end.scansDelivered() + 1000, end.toString());
            assertTrue(failure.getMessage().contains(written + " scans"), failure.getMessage());
            for (int k = 0; k < seen.size(); k++) {
                assertEquals(k % 65536, seen.get(k), "the listener's code of sample " + k);
            }
            Map<String, Object> expect = new LinkedHashMap<>();
            expect.put("file", file);
            expect.put("dtype", "uint16");
            expect.put("positions", POSITIONS);
            expect.put("rows", written);
            expect.put("counter", 65536);
            if (withVolts) {
                expect.put("volts_rows_at_most", written);
            }
            // The failure is told in /events if the full file could still take one row.
            expect.put("events_if_any", List.of(List.of(written, "error", failure.getMessage())));
            H5py.check(dir, expect);
            try (var left = Files.list(disk)) {
                assertEquals(List.of(file), left.toList(), "the space held for the end was given back");
            }
        }
    }
}
