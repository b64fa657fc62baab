// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.testsupport.DirectBuffers.direct;

import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.SplittableRandom;

import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediChannelRange;
import org.vorn.acq.comedi.ComediRange;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.acq.task.StreamInfo;
import org.vorn.testsupport.H5py;

/**
 * The scan log on its own, fed known codes, read back by h5py: every attribute, the shape, every
 * raw code, the volts that the attributes give (bit for bit what {@link ComediChannelRange#toVolts}
 * gives, which is the library's conversion) and the events.
 */
class Hdf5ScanLogTest {
    @TempDir
    Path dir;

    /** Four positions on four ranges; 16-bit or 18-bit codes. */
    static StreamInfo stream(int sampleBytes, long startNs) {
        long maxdata = sampleBytes == 2 ? 65535 : 262143;
        List<ComediChannelRange> positions = List.of(
                position(4, -10, 10, maxdata, AnalogReference.GROUND),
                position(7, -5, 5, maxdata, AnalogReference.COMMON),
                position(9, 0, 10, maxdata, AnalogReference.DIFF),
                position(0, -1, 1, maxdata, AnalogReference.OTHER));
        return new StreamInfo("/dev/comedi-emu/multi", "vorn_emu", "multi", 0, sampleBytes, positions, 104_000,
                13_000, startNs, 0, "1.2.3-test");
    }

    static ComediChannelRange position(int channel, double min, double max, long maxdata, AnalogReference ref) {
        return new ComediChannelRange(channel, -1, new ComediRange(min, max, ComediRange.Unit.VOLT, false), maxdata,
                ref);
    }

    @ParameterizedTest(name = "{0}-byte codes, volts dataset {1}, {2}")
    @CsvSource({"2, false, FLUSH", "2, true, FSYNC", "4, true, FLUSH"})
    void h5pyReadsBackEveryCodeAttributeAndEvent(int sampleBytes, boolean withVolts, Hdf5ScanLog.Durability durability)
            throws Exception {
        long startNs = 1_765_000_000_123_456_789L;
        StreamInfo info = stream(sampleBytes, startNs);
        int positions = info.positionCount();
        Path file = dir.resolve("log.h5");
        // Blocks of awkward sizes: single scans, across chunk boundaries, larger than the write buffer.
        int[] blocks = {1, 7, 4093, 40_000, 1, 16_384, 33_333, 2};
        int total = java.util.Arrays.stream(blocks).sum();
        long[] codes = new long[total * positions];
        double[] volts = new double[codes.length];
        SplittableRandom random = new SplittableRandom(sampleBytes * 31 + (withVolts ? 1 : 0));
        for (int i = 0; i < codes.length; i++) {
            ComediChannelRange c = info.positions().get(i % positions);
            // The ends of the range, where rounding and sign mistakes show, and everything between.
            codes[i] = i % 97 == 0 ? 0 : i % 89 == 0 ? c.maxData() : random.nextLong(c.maxData() + 1);
            volts[i] = c.toVolts(codes[i]);
        }
        try (Hdf5ScanLog log = new Hdf5ScanLog(file, Duration.ofMillis(1), withVolts, durability)) {
            log.begin(info);
            ByteBuffer raw = direct((40_000 * positions + 1) * sampleBytes);
            long scan = 0;
            for (int b : blocks) {
                raw.clear().position(sampleBytes); // a block need not start at the buffer's beginning
                for (long i = scan * positions; i < (scan + b) * positions; i++) {
                    if (sampleBytes == 2) {
                        raw.putShort((short) codes[(int) i]);
                    } else {
                        raw.putInt((int) codes[(int) i]);
                    }
                }
                raw.flip().position(sampleBytes);
                log.record(raw, scan, b);
                scan += b;
                if (scan == 4101) {
                    log.event("overrun", scan, "injected, 4101 scans delivered before it");
                }
            }
            log.event("stopped", scan, "stop() called");
            assertEquals(total, log.getScansFlushed(), "an event flushes everything before it");
        }
        Map<String, Object> root = new LinkedHashMap<>();
        root.put("format", Hdf5ScanLog.FORMAT);
        root.put("device", "/dev/comedi-emu/multi");
        root.put("driver", "vorn_emu");
        root.put("board", "multi");
        root.put("subdevice", 0);
        root.put("scan_period_ns", 104_000);
        root.put("convert_period_ns", 13_000);
        root.put("scan_rate_hz", 1e9 / 104_000);
        root.put("start_time", "2025-12-06T05:46:40.123456789Z");
        root.put("start_time_ns", startNs);
        root.put("scans_requested", 0);
        root.put("flush_interval_ms", 1);
        root.put("durability", durability.name().toLowerCase(java.util.Locale.ROOT));
        root.put("library_version", "1.2.3-test");
        root.put("hdf5_version", "1.10.8");
        assertEquals(Instant.parse("2025-12-06T05:46:40.123456789Z"), info.startTime());
        Map<String, Object> scans = new LinkedHashMap<>();
        scans.put("channel", List.of(4, 7, 9, 0));
        scans.put("reference", List.of("ground", "common", "diff", "other"));
        scans.put("range_min", List.of(-10.0, -5.0, 0.0, -1.0));
        scans.put("range_max", List.of(10.0, 5.0, 10.0, 1.0));
        scans.put("unit", List.of("V", "V", "V", "V"));
        long maxdata = info.positions().get(0).maxData();
        scans.put("maxdata", List.of(maxdata, maxdata, maxdata, maxdata));
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("root", root);
        expect.put("scans", scans);
        expect.put("dtype", sampleBytes == 2 ? "uint16" : "uint32");
        expect.put("positions", positions);
        expect.put("rows", total);
        expect.put("raw", H5py.int64File(dir, codes, codes.length));
        expect.put("volts_from_attrs", H5py.float64File(dir, volts, volts.length));
        expect.put("volts_dataset", withVolts);
        expect.put("events", List.of(List.of(4101, "overrun", "injected, 4101 scans delivered before it"),
                List.of(total, "stopped", "stop() called")));
        String ok = H5py.check(dir, expect);
        assertTrue(ok.contains(total + " x 4 raw codes"), ok);
    }

    /** HDF5's binding would spell these names in modified UTF-8: a file under other bytes than Java's. */
    @ParameterizedTest(name = "{0}")
    @ValueSource(strings = {"run-\uD83D\uDE00.h5", "Messung-\u00e4\u00df.h5", "\uD834\uDD1E-folder/\u65e5\u672c.h5"})
    void aNameBeyondAsciiIsCreatedAsThatName(String name) throws Exception {
        Path file;
        try {
            file = dir.resolve(name);
        } catch (java.nio.file.InvalidPathException e) {
            Assumptions.abort("this JVM's file names cannot hold " + name + " (sun.jnu.encoding "
                    + System.getProperty("sun.jnu.encoding") + "): " + e.getMessage());
            return;
        }
        Files.createDirectories(file.getParent());
        try (Hdf5ScanLog log = new Hdf5ScanLog(file)) {
            log.begin(stream(2, 0));
            ByteBuffer raw = direct(16);
            raw.putShort(0, (short) 7);
            log.record(raw, 0, 2);
        }
        try (var listed = Files.list(file.getParent())) {
            assertEquals(List.of(file), listed.toList(), "the file and nothing else, under exactly its name");
        }
        long[] codes = new long[8];
        codes[0] = 7;
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("dtype", "uint16");
        expect.put("positions", 4);
        expect.put("rows", 2);
        expect.put("raw", H5py.int64File(dir, codes, codes.length));
        H5py.check(dir, expect);
    }

    @Test
    void refusesWhatWouldMakeTheFileLie() throws Exception {
        Path file = dir.resolve("misuse.h5");
        Hdf5ScanLog log = new Hdf5ScanLog(file);
        ByteBuffer raw = direct(64);
        assertThrows(IllegalStateException.class, () -> log.record(raw, 0, 1), "record before begin");
        log.begin(stream(2, 0));
        assertThrows(IllegalStateException.class, () -> log.begin(stream(2, 0)), "begin twice");
        log.record(raw, 0, 2);
        var gap = assertThrows(IllegalArgumentException.class, () -> log.record(raw, 3, 1));
        assertEquals("scans 3.. follow scan 2: a log holds every scan from the start, in order", gap.getMessage());
        var overflow = assertThrows(IllegalArgumentException.class, () -> log.record(raw, 2, 9));
        assertEquals("9 scans do not fit in the 64 bytes given", overflow.getMessage());
        log.close();
        log.close();
        assertThrows(IllegalStateException.class, () -> log.event("stopped", 2, ""));
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("dtype", "uint16");
        expect.put("positions", 4);
        expect.put("rows", 2);
        expect.put("raw", H5py.int64File(dir, new long[8], 8));
        expect.put("events", new ArrayList<>());
        H5py.check(dir, expect);
        assertThrows(IllegalArgumentException.class, () -> new Hdf5ScanLog(file, Duration.ZERO, false));
        Path missing = dir.resolve("no/such/folder/x.h5");
        Hdf5ScanLog nowhere = new Hdf5ScanLog(missing);
        var refused = assertThrows(java.io.IOException.class, () -> nowhere.begin(stream(2, 0)));
        assertTrue(refused.getMessage().startsWith("cannot create the HDF5 file " + missing + ": "), refused.getMessage());
        nowhere.close();
    }

    @Test
    void aFailedVoltsWriteEndsTheLogWithBothDatasetsHoldingTheSameScans() throws Exception {
        Path file = dir.resolve("volts-failed.h5");
        StreamInfo info = stream(2, 0);
        int positions = info.positionCount();
        long[] codes = new long[150 * positions];
        ByteBuffer raw = direct(codes.length * 2);
        for (int i = 0; i < codes.length; i++) {
            codes[i] = (i * 7919L) % 65536;
            raw.putShort((short) codes[i]);
        }
        Hdf5ScanLog log = new Hdf5ScanLog(file, Duration.ofHours(1), true);
        log.begin(info);
        raw.flip().limit(100 * positions * 2);
        log.record(raw, 0, 100);
        log.flush();
        // /volts fails from here on, as a full disk would make it: its dataset is closed under the log.
        java.lang.reflect.Field volts = Hdf5ScanLog.class.getDeclaredField("volts");
        volts.setAccessible(true);
        hdf.hdf5lib.H5.H5Dclose(((AppendableDataset) volts.get(log)).id());
        raw.limit(codes.length * 2).position(100 * positions * 2);
        log.record(raw, 100, 50);
        var failed = assertThrows(ScanLogWriteException.class, () -> log.event("stopped", 150, ""));
        assertEquals(100, failed.getScansInFile(), failed.getMessage());
        assertTrue(failed.getMessage().startsWith("cannot write scans 100..149 to " + file + ": "), failed.getMessage());
        assertTrue(failed.getMessage().endsWith("; the file holds the first 100 scans and nothing more is written to it"),
                failed.getMessage());
        assertSame(failed, assertThrows(ScanLogWriteException.class, () -> log.record(raw, 150, 0)), "nothing more");
        assertSame(failed, assertThrows(ScanLogWriteException.class, log::flush));
        assertThrows(RuntimeException.class, log::close, "the close meets the closed /volts");
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("dtype", "uint16");
        expect.put("positions", positions);
        expect.put("rows", 100); // the scans whose volts failed are taken back from /scans
        expect.put("raw", H5py.int64File(dir, codes, codes.length));
        expect.put("events", List.of(List.of(100, "error", failed.getMessage().substring(0, Hdf5Events.DETAIL_BYTES))));
        H5py.check(dir, expect);
    }
}
