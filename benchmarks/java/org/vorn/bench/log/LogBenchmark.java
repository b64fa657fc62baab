// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench.log;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.task.AcquisitionTask;
import org.vorn.acq.task.ScanRecorder;
import org.vorn.acq.task.StreamInfo;
import org.vorn.acq.task.TaskEnd;
import org.vorn.emu.EmulatedBoard;
import org.vorn.hdf5.Hdf5ScanLog;

/**
 * What logging costs: an acquisition task at 1 MS/s (4 positions x 250 kHz) on the emulated
 * board's real-time clock, without a log, logging raw codes only, and logging raw codes and volts
 * while delivering volts, and logging raw codes with an {@code fsync} at each flush
 * ({@link Hdf5ScanLog.Durability#FSYNC}). Prints the process's CPU (all its threads, as a share of one core),
 * the samples that arrived, the bytes on disk per sample, and the longest the log held the
 * reader thread in one call (a write with its flush, and with its fsync in that mode), which the
 * driver's buffer must cover. The emulated board computes every
 * sample inside the process's reads, so its work is in the CPU figures too. Not a test: the
 * figures depend on the machine and its load.
 *
 * <p>Options: {@code --seconds S} (default 10) per row, {@code --dir DIR} for the files (default a
 * temporary folder, removed afterwards; where that is a tmpfs, an fsync costs nothing: name a folder
 * on a disk).
 */
public final class LogBenchmark {
    static final int POSITIONS = 4;
    static final double SCAN_RATE = 250_000;

    private LogBenchmark() {
    }

    public static void main(String[] args) throws Exception {
        double seconds = 10;
        Path dir = null;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--seconds" -> seconds = Double.parseDouble(args[++i]);
                case "--dir" -> dir = Path.of(args[++i]);
                default -> throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        boolean temporary = dir == null;
        if (temporary) {
            dir = Files.createTempDirectory("vorn-log-bench");
        }
        EmulatedBoard.reset();
        // The library prints each command test on standard output: the table comes after them.
        StringBuilder table = new StringBuilder();
        table.append(String.format(Locale.ROOT,
                "acquisition task, %d positions x %.0f scans/s = %.2f MS/s, emulated board (real time), %.0f s a row%n",
                POSITIONS, SCAN_RATE, POSITIONS * SCAN_RATE / 1e6, seconds));
        table.append(String.format(Locale.ROOT, "%-34s %10s %12s %10s %14s %14s %12s%n", "row", "CPU %", "samples",
                "MS/s", "bytes/sample", "longest ms", "end"));
        row(new StringBuilder(), "warm-up", Math.min(seconds, 2), dir.resolve("warm-up.h5"), true, true,
                Hdf5ScanLog.Durability.FLUSH);
        idle(table, seconds);
        row(table, "task, volts delivered, no log", seconds, null, true, false, Hdf5ScanLog.Durability.FLUSH);
        row(table, "task, HDF5 raw codes only", seconds, dir.resolve("raw.h5"), false, false,
                Hdf5ScanLog.Durability.FLUSH);
        row(table, "task, HDF5 raw codes only, fsync", seconds, dir.resolve("raw-fsync.h5"), false, false,
                Hdf5ScanLog.Durability.FSYNC);
        row(table, "task, HDF5 raw + volts, delivered", seconds, dir.resolve("volts.h5"), true, true,
                Hdf5ScanLog.Durability.FLUSH);
        System.out.println();
        System.out.print(table);
        if (temporary) {
            try (var files = Files.list(dir)) {
                for (Path f : files.toList()) {
                    Files.delete(f);
                }
            }
            Files.delete(dir);
        }
    }

    private static long cpuNanos() {
        return ((com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    private static void idle(StringBuilder table, double seconds) throws InterruptedException {
        long cpu = cpuNanos();
        long t = System.nanoTime();
        Thread.sleep((long) (seconds * 1000));
        double share = 100.0 * (cpuNanos() - cpu) / (System.nanoTime() - t);
        table.append(String.format(Locale.ROOT, "%-34s %10.2f %12s %10s %14s %14s %12s%n", "JVM idle (reference)", share,
                "-", "-", "-", "-", "-"));
    }

    private static void row(StringBuilder table, String name, double seconds, Path file, boolean deliver,
            boolean volts, Hdf5ScanLog.Durability durability)
            throws Exception {
        try (var ai = new ComediAnalogStreamingDevice(EmulatedBoard.MULTI, POSITIONS, SCAN_RATE, 65536)) {
            for (int p = 0; p < POSITIONS; p++) {
                ai.configureChannel(p, 4 + p, -10, 10, AnalogReference.GROUND);
            }
            ai.configure();
            ai.setDriverBufferSize(4 << 20);
            long[] sink = {0};
            AcquisitionTask.Builder b = AcquisitionTask.on(ai).everyScans(25_000);
            if (deliver) {
                b.onBlock(block -> sink[0] += Double.doubleToRawLongBits(block.getVolts()[0]));
            } else {
                b.onBlock(block -> sink[0] += block.getScanCount());
            }
            TimedRecorder log = null;
            if (file != null) {
                log = new TimedRecorder(new Hdf5ScanLog(file, Hdf5ScanLog.DEFAULT_FLUSH_INTERVAL, volts, durability));
                b.recordTo(log, deliver);
            }
            AcquisitionTask task = b.build();
            long cpu = cpuNanos();
            long t = System.nanoTime();
            task.start();
            TaskEnd early = task.awaitEnd(Duration.ofNanos((long) (seconds * 1e9)));
            task.close();
            long wall = System.nanoTime() - t;
            long used = cpuNanos() - cpu;
            TaskEnd end = early != null ? early : task.getEnd();
            long samples = end.scansDelivered() * POSITIONS;
            String perSample = file == null ? "-"
                    : String.format(Locale.ROOT, "%.3f", (double) Files.size(file) / samples);
            String longest = log == null ? "-" : String.format(Locale.ROOT, "%.1f", log.longestNanos / 1e6);
            table.append(String.format(Locale.ROOT, "%-34s %10.2f %12d %10.3f %14s %14s %12s%n", name,
                    100.0 * used / wall, samples, samples / (wall / 1e9) / 1e6, perSample, longest, end.reason()));
            if (sink[0] == 42) {
                System.out.print(""); // keeps the listener's work from being optimised away
            }
        }
    }

    /** The log, timed: the longest record call is how long the reader thread did not read. */
    private static final class TimedRecorder implements ScanRecorder {
        private final ScanRecorder log;
        long longestNanos;

        TimedRecorder(ScanRecorder log) {
            this.log = log;
        }

        @Override
        public void begin(StreamInfo stream) throws IOException {
            log.begin(stream);
        }

        @Override
        public void record(ByteBuffer raw, long firstScan, int scans) throws IOException {
            long t = System.nanoTime();
            log.record(raw, firstScan, scans);
            longestNanos = Math.max(longestNanos, System.nanoTime() - t);
        }

        @Override
        public void event(String kind, long scanIndex, String detail) throws IOException {
            log.event(kind, scanIndex, detail);
        }

        @Override
        public void close() throws IOException {
            log.close();
        }
    }
}
