// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench.log;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.task.AcquisitionTask;
import org.vorn.acq.task.TaskEnd;
import org.vorn.emu.EmulatedBoard;
import org.vorn.hdf5.Hdf5ScanLog;

/**
 * How CPU and memory grow with the rate and with the number of devices streaming at once: N
 * acquisition tasks, each on a board of its own (emulated, real-time clock), each delivering volts
 * to a listener and logging the raw codes to an HDF5 file of its own. Each row runs in a fresh JVM
 * (so that its memory is its own) and prints the process's CPU over the measured window (every
 * thread, as a share of one core), the part of it the emulated board spent making the samples (a
 * real board's hardware work), the resident memory at the end and its peak during the row, the
 * threads, and how the tasks ended (RUNNING: none had ended by itself, so nothing was lost).
 *
 * <p>Options: {@code --seconds S} (5) measured per row after {@code --warmup-ms N} (1500), {@code
 * --dir DIR} for the files (default a temporary folder, removed afterwards). The JVM's own share is
 * the first row: the same JVM with nothing to do.
 */
public final class ScaleBenchmark {
    static final int POSITIONS = 4;
    /** Every device of a row is one of these paths, mapped to a copy of multi of its own by VORN_EMU_MAP. */
    static final String BOARD_PATH = "/dev/comedi-emu/scale";
    static final int MAX_DEVICES = 16;

    private ScaleBenchmark() {
    }

    /** A row: devices streaming at once, each at scanHz x POSITIONS samples a second. */
    private record Row(int devices, double scanHz) {
        String label() {
            return String.format(Locale.ROOT, "%2d x %s", devices, rate(scanHz * POSITIONS));
        }

        static String rate(double samplesPerSecond) {
            return samplesPerSecond >= 1e6 ? String.format(Locale.ROOT, "%.2f MS/s", samplesPerSecond / 1e6)
                    : String.format(Locale.ROOT, "%.0f kS/s", samplesPerSecond / 1e3);
        }
    }

    private static final List<Row> ROWS = List.of(
            new Row(0, 0),
            new Row(1, 1_000), new Row(1, 10_000), new Row(1, 100_000), new Row(1, 250_000),
            new Row(1, 12_500), new Row(4, 12_500), new Row(16, 12_500),
            new Row(4, 62_500));

    public static void main(String[] args) throws Exception {
        double seconds = 5;
        long warmupMs = 1500;
        Path dir = null;
        int row = -1;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--seconds" -> seconds = Double.parseDouble(args[++i]);
                case "--warmup-ms" -> warmupMs = Long.parseLong(args[++i]);
                case "--dir" -> dir = Path.of(args[++i]);
                case "--row" -> row = Integer.parseInt(args[++i]);
                default -> throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        if (row >= 0) {
            System.out.println("ROW " + runRow(ROWS.get(row), seconds, warmupMs, dir));
            return;
        }
        boolean temporary = dir == null;
        if (temporary) {
            dir = Files.createTempDirectory("vorn-scale-bench");
        }
        try {
            List<String> table = new ArrayList<>();
            table.add(String.format(Locale.ROOT,
                    "acquisition tasks with HDF5 logging (raw codes; volts delivered to a listener), %d positions a"
                    + " device, each on its own emulated board (real time); %.1f s measured per row after %d ms;"
                    + " %d CPUs, load average %s", POSITIONS, seconds, warmupMs,
                    Runtime.getRuntime().availableProcessors(), loadAverage()));
            table.add(String.format(Locale.ROOT, "%-22s %10s %8s %8s %9s %10s %10s %8s  %s", "devices x rate", "total",
                    "CPU %", "board %", "CPU-board", "RSS MiB", "peak MiB", "threads", "end"));
            table.add("(threads: the program's own, main and one reader a task; end: RUNNING = every task still"
                    + " running when measured, none ended by an overrun)");
            for (int r = 0; r < ROWS.size(); r++) {
                table.add(child(r, seconds, warmupMs, dir));
            }
            System.out.println();
            table.forEach(System.out::println);
        } finally {
            if (temporary) {
                try (var files = Files.list(dir)) {
                    for (Path f : files.toList()) {
                        Files.delete(f);
                    }
                }
                Files.delete(dir);
            }
        }
    }

    /** Runs row r in a JVM of its own (same command, class path and environment) and returns its line. */
    private static String child(int r, double seconds, long warmupMs, Path dir) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>();
        cmd.add(ProcessHandle.current().info().command().orElse("java"));
        cmd.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        cmd.add("-cp");
        cmd.add(System.getProperty("java.class.path"));
        cmd.add(ScaleBenchmark.class.getName());
        cmd.addAll(List.of("--row", Integer.toString(r), "--seconds", Double.toString(seconds), "--warmup-ms",
                Long.toString(warmupMs), "--dir", dir.toString()));
        ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
        StringBuilder map = new StringBuilder();
        for (int d = 0; d < MAX_DEVICES; d++) {
            map.append(d == 0 ? "" : ",").append(BOARD_PATH).append(d).append("=multi#").append(d);
        }
        pb.environment().put("VORN_EMU_MAP", map.toString());
        Process p = pb.start();
        String line = null;
        List<String> output = new ArrayList<>();
        try (var in = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8))) {
            for (String l; (l = in.readLine()) != null;) {
                if (l.startsWith("ROW ")) {
                    line = l.substring(4);
                } else {
                    output.add(l);
                }
            }
        }
        if (p.waitFor() != 0 || line == null) {
            output.forEach(System.err::println);
            throw new IllegalStateException("row " + r + " failed (exit " + p.exitValue() + ")");
        }
        return line;
    }

    private static String runRow(Row row, double seconds, long warmupMs, Path dir) throws Exception {
        EmulatedBoard.reset();
        List<AcquisitionTask> tasks = new ArrayList<>();
        List<ComediAnalogStreamingDevice> devices = new ArrayList<>();
        long[] sink = new long[Math.max(1, row.devices())];
        try {
            for (int d = 0; d < row.devices(); d++) {
                var ai = new ComediAnalogStreamingDevice(BOARD_PATH + d, POSITIONS, row.scanHz(), 65536);
                devices.add(ai);
                for (int p = 0; p < POSITIONS; p++) {
                    ai.configureChannel(p, 4 + p, -10, 10, AnalogReference.GROUND);
                }
                ai.configure();
                final int slot = d;
                // Blocks of a tenth of a second, as a program that shows or analyses them would take.
                AcquisitionTask task = AcquisitionTask.on(ai).everyScans((int) Math.max(1, row.scanHz() / 10))
                        .onBlock(block -> sink[slot] += Double.doubleToRawLongBits(block.getVolts()[0]))
                        .recordTo(new Hdf5ScanLog(dir.resolve("row-" + row.label().replaceAll("[^0-9a-zA-Z]+", "_")
                                + "-" + d + ".h5"), Hdf5ScanLog.DEFAULT_FLUSH_INTERVAL, false), true)
                        .build();
                tasks.add(task);
            }
            for (AcquisitionTask t : tasks) {
                t.start();
            }
            Thread.sleep(warmupMs);
            resetPeakMemory();
            long cpu0 = cpuNanos();
            EmulatedBoard.meterMaking(true);
            long wall0 = System.nanoTime();
            Thread.sleep((long) (seconds * 1000));
            long cpu1 = cpuNanos();
            long making = EmulatedBoard.makingCpuNs();
            long wall1 = System.nanoTime();
            EmulatedBoard.meterMaking(false);
            long rss = statusKiB("VmRSS");
            long peak = statusKiB("VmHWM");
            int threads = Thread.activeCount();
            List<String> ends = new ArrayList<>();
            for (AcquisitionTask t : tasks) {
                TaskEnd end = t.awaitEnd(Duration.ZERO);
                String reason = end == null ? "RUNNING" : end.reason().toString();
                if (!ends.contains(reason)) {
                    ends.add(reason);
                }
            }
            double wall = wall1 - wall0;
            double cpu = 100.0 * (cpu1 - cpu0) / wall;
            double board = 100.0 * making / wall;
            String total = row.devices() == 0 ? "(idle JVM)" : Row.rate(row.devices() * row.scanHz() * POSITIONS);
            return String.format(Locale.ROOT, "%-22s %10s %8.2f %8.2f %9.2f %10.1f %10.1f %8d  %s",
                    row.devices() == 0 ? "-" : row.label(), total, cpu, board, cpu - board, rss / 1024.0,
                    peak / 1024.0, threads, ends.isEmpty() ? "-" : String.join(",", ends));
        } finally {
            for (AcquisitionTask t : tasks) {
                t.close();
            }
            for (ComediAnalogStreamingDevice ai : devices) {
                ai.close();
            }
            if (sink[0] == 42) {
                System.out.print(""); // keeps the listeners' work from being optimised away
            }
        }
    }

    private static long cpuNanos() {
        return ((com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    /** A "Name: N kB" line of /proc/self/status, in KiB. */
    private static long statusKiB(String name) throws IOException {
        for (String l : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (l.startsWith(name + ":")) {
                return Long.parseLong(l.substring(name.length() + 1).replace("kB", "").trim());
            }
        }
        return -1;
    }

    /** Starts the peak resident size (VmHWM) again from the current one, so that the row's peak is its own. */
    private static void resetPeakMemory() {
        try {
            Files.writeString(Path.of("/proc/self/clear_refs"), "5");
        } catch (IOException e) {
            System.err.println("cannot reset the peak resident size: " + e.getMessage());
        }
    }

    private static String loadAverage() {
        try {
            return Files.readString(Path.of("/proc/loadavg")).trim();
        } catch (IOException e) {
            return "unknown";
        }
    }
}
