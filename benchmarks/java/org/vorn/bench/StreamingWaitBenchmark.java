// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import java.lang.management.ManagementFactory;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.emu.EmulatedBoard;

/**
 * What a streaming loop costs and how late its scans reach Java, on the emulated board's real-time
 * clock: the waiting read (asleep in poll until a threshold of values has arrived) against the
 * loop everyone writes by hand (a non-waiting read, then sleep(1 ms) when it found nothing).
 *
 * <p>CPU is the whole process's (every thread, the JIT and collector included, and the emulated
 * board, which makes the samples inside read()), over the measured window, as a percentage of one
 * core. The delay of a scan is the time from its last conversion (the board's rule: scan s ends at
 * start + (s+1) x scan period) to the return of the read that delivered it, both on CLOCK_MONOTONIC.
 * Every position reads the counter channel 7 (raw = sample index), whose samples cost the board the
 * least to make.
 *
 * <p>Options: --seconds N (5, measured per row), --warmup-ms N (5000: the JIT compiles the Java loops before the window), --threshold-ms X (1.0: the
 * wake-up threshold, values worth this long per read), --only TEXT (rows whose label and loop contain it).
 */
public final class StreamingWaitBenchmark {
    private StreamingWaitBenchmark() {
    }

    private static double seconds = 5;
    private static long warmupMs = 5000;
    private static double thresholdMs = 1.0;
    private static String only;

    /** One stream: a board, its scan rate over 4 channels. */
    private record Stream(String board, double scanHz) {
        double samplesPerSecond() {
            return scanHz * 4;
        }
    }

    /** A row: one or more streams read at once, each by its own thread. */
    private record Row(String label, List<Stream> streams) {
    }

    public static void main(String[] args) throws Exception {
        Options options = new Options(args, "--seconds", "--warmup-ms", "--threshold-ms", "--only");
        seconds = options.number("--seconds", seconds);
        warmupMs = options.whole("--warmup-ms", warmupMs);
        thresholdMs = options.number("--threshold-ms", thresholdMs);
        only = options.text("--only", only);
        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_REALTIME);
        List<Row> rows = List.of(
                new Row("1 kHz x 4 ch (4 kS/s)", List.of(new Stream(EmulatedBoard.MULTI, 1000))),
                new Row("25 kHz x 4 ch (100 kS/s)", List.of(new Stream(EmulatedBoard.MULTI, 25000))),
                new Row("250 kHz x 4 ch (1 MS/s, the board's fastest)", List.of(new Stream(EmulatedBoard.MULTI, 250000))),
                new Row("1 MS/s + 250 kS/s on two boards (1.25 MS/s)",
                        List.of(new Stream(EmulatedBoard.MULTI, 250000), new Stream(EmulatedBoard.AI18, 62500))));

        System.out.printf(Locale.ROOT, "Streaming loops on the emulated board (REALTIME clock), %.1f s measured per"
                + " row after %d ms, wake-up threshold %.2f ms of values per read; %d CPUs, load average %s%n",
                seconds, warmupMs, thresholdMs, Runtime.getRuntime().availableProcessors(), loadAverage());
        System.out.println("(the library's command traces go to standard output as each stream is configured)");
        List<String> table = new ArrayList<>();
        table.add(String.format(Locale.ROOT, "%-46s %-12s %7s %7s %9s %7s %8s %10s %10s %10s %9s", "row", "loop",
                "CPU %", "board %", "CPU-board", "JIT %", "loop %", "delay p50", "delay p99", "delay max", "reads/s"));
        table.add(idle());
        for (Row row : rows) {
            for (Kind kind : Kind.values()) {
                if (only == null || (row.label() + " " + kind.label).contains(only)) {
                    table.add(measure(row, kind));
                }
            }
        }
        System.out.println();
        table.forEach(System.out::println);
    }

    private static String loadAverage() {
        try {
            return Files.readString(Path.of("/proc/loadavg")).trim();
        } catch (Exception e) {
            return "unknown";
        }
    }

    /** The three loops of a row. */
    private enum Kind {
        WAITING("waiting"), SLEEPING("sleep(1 ms)"), C("C ppoll");

        final String label;

        Kind(String label) {
            this.label = label;
        }
    }

    /** One loop over one stream, run on its own thread, measured from fromNs to toNs; delays in µs buckets. */
    private abstract static class Loop implements Runnable {
        final long[] delayUs = new long[200_001];
        final int bufSize;
        final int minValues;
        long reads;
        long scans;
        long threadCpuNs;
        long firstScanEndNs;
        long scanPeriodNs;
        long fromNs;
        long toNs;
        volatile boolean done;

        Loop(Stream s) {
            int perMs = (int) Math.ceil(s.samplesPerSecond() / 1000);
            bufSize = Math.max(64, perMs * 40);
            minValues = (int) Math.max(4, Math.min(bufSize, Math.round(s.samplesPerSecond() * thresholdMs / 1000)));
        }

        /** Starts the stream and notes when its first scan ends, on System.nanoTime's clock. */
        abstract void start(String board);

        abstract void close();

        /** The board's clock is CLOCK_MONOTONIC from its reset, System.nanoTime() the same clock. */
        void firstScanFrom(String board) {
            long offset = System.nanoTime() - EmulatedBoard.nowNs();
            firstScanEndNs = EmulatedBoard.sampleTimeNs(board, 0, 3) + offset;
        }
    }

    /** libvorn's waiting read, or the hand-written loop of non-waiting reads and sleep(1 ms). */
    private static final class JavaLoop extends Loop {
        final ComediAnalogStreamingDevice ai;
        final boolean waiting;

        JavaLoop(Stream s, boolean waiting) {
            super(s);
            ai = new ComediAnalogStreamingDevice(s.board(), 4, s.scanHz(), bufSize);
            for (int p = 0; p < 4; p++) {
                ai.configureChannel(p, 7, -10, 10, AnalogReference.GROUND);
            }
            ai.configure();
            this.waiting = waiting;
        }

        @Override
        void start(String board) {
            scanPeriodNs = ai.getScanPeriodNanos();
            ai.start();
            firstScanFrom(board);
        }

        @Override
        void close() {
            ai.close();
        }

        @Override
        public void run() {
            ByteBuffer buf = ByteBuffer.allocateDirect(8 * ai.getBufferSize()).order(ByteOrder.nativeOrder());
            Duration timeout = Duration.ofMillis(100);
            long values = 0;
            var threads = ManagementFactory.getThreadMXBean();
            long cpuAtStart = -1;
            boolean taken = false;
            while (!done) {
                long before = System.nanoTime();
                if (before >= fromNs && cpuAtStart < 0) {
                    cpuAtStart = threads.getCurrentThreadCpuTime();
                } else if (before >= toNs && cpuAtStart >= 0 && !taken) {
                    threadCpuNs = threads.getCurrentThreadCpuTime() - cpuAtStart;
                    taken = true;
                }
                int n = waiting ? ai.read(buf, minValues, timeout) : ai.read(buf);
                long now = System.nanoTime();
                long firstScan = values / 4;
                values += n;
                long lastScan = values / 4;
                if (now >= fromNs && now < toNs) {
                    reads++;
                    for (long s = firstScan; s < lastScan; s++) {
                        long d = (now - (firstScanEndNs + s * scanPeriodNs)) / 1000;
                        delayUs[(int) Math.max(0, Math.min(delayUs.length - 1, d))]++;
                        scans++;
                    }
                }
                if (!waiting && n == 0) {
                    try {
                        Thread.sleep(1);
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            }
        }
    }

    /** The same loop in C on comedilib (CWaitLoop), on its own Java thread. */
    private static final class NativeLoop extends Loop {
        final long loop;
        long stopNs;
        final long[] stats = new long[4];
        volatile int result;

        NativeLoop(Stream s) {
            super(s);
            loop = CWaitLoop.cOpen(s.board(), s.scanHz(), 4, 7, bufSize);
            if (loop == 0) {
                throw new IllegalStateException("the C loop could not start a command on " + s.board());
            }
        }

        @Override
        void start(String board) {
            scanPeriodNs = CWaitLoop.cScanPeriodNs(loop);
            firstScanFrom(board);
        }

        @Override
        void close() {
            CWaitLoop.cClose(loop);
        }

        @Override
        public void run() {
            result = CWaitLoop.cRun(loop, fromNs, toNs, stopNs, firstScanEndNs, scanPeriodNs, minValues, delayUs, stats);
            reads = stats[0];
            scans = stats[1];
            threadCpuNs = stats[2];
        }
    }

    private static String measure(Row row, Kind kind) throws Exception {
        List<Loop> loops = new ArrayList<>();
        List<Thread> threads = new ArrayList<>();
        try {
            for (Stream s : row.streams()) {
                loops.add(kind == Kind.C ? new NativeLoop(s) : new JavaLoop(s, kind == Kind.WAITING));
            }
            long fromNs = System.nanoTime() + warmupMs * 1_000_000L;
            long toNs = fromNs + (long) (seconds * 1e9);
            for (int i = 0; i < loops.size(); i++) {
                Loop l = loops.get(i);
                l.fromNs = fromNs;
                l.toNs = toNs;
                if (l instanceof NativeLoop) {
                    // Each loop takes its own CPU time at its first look after toNs.
                    ((NativeLoop) l).stopNs = toNs + 200_000_000L;
                }
                l.start(row.streams().get(i).board());
                Thread t = new Thread(l, "loop-" + i);
                threads.add(t);
                t.start();
            }
            var os = (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
            sleepUntil(fromNs);
            long cpu0 = os.getProcessCpuTime();
            long jit0 = compilerCpuNs();
            EmulatedBoard.meterMaking(true);
            long wall0 = System.nanoTime();
            sleepUntil(toNs);
            long cpu1 = os.getProcessCpuTime();
            long jit = compilerCpuNs() - jit0;
            long making = EmulatedBoard.makingCpuNs();
            long wall1 = System.nanoTime();
            EmulatedBoard.meterMaking(false);
            sleepUntil(toNs + 200_000_000L); // each loop takes its own CPU time at its next read
            loops.forEach(l -> l.done = true);
            for (Thread t : threads) {
                t.join();
            }
            long[] all = new long[loops.get(0).delayUs.length];
            long scans = 0;
            long reads = 0;
            long loopCpu = 0;
            for (Loop l : loops) {
                if (l instanceof NativeLoop && ((NativeLoop) l).result != 0) {
                    throw new IllegalStateException(row.label() + ": the C loop failed");
                }
                loopCpu += l.threadCpuNs;
                for (int i = 0; i < all.length; i++) {
                    all[i] += l.delayUs[i];
                }
                scans += l.scans;
                reads += l.reads;
            }
            double wallNs = wall1 - wall0;
            double cpu = 100.0 * (cpu1 - cpu0) / wallNs;
            double board = 100.0 * making / wallNs;
            return String.format(Locale.ROOT,
                    "%-46s %-12s %7.2f %7.2f %9.2f %7.2f %8.2f %7.3f ms %7.3f ms %7.3f ms %9.0f", row.label(),
                    kind.label, cpu, board, cpu - board, 100.0 * jit / wallNs, 100.0 * loopCpu / wallNs,
                    percentile(all, scans, 0.50), percentile(all, scans, 0.99), percentile(all, scans, 1.0),
                    reads / (wallNs / 1e9));
        } finally {
            for (Loop l : loops) {
                l.done = true;
            }
            for (Thread t : threads) {
                t.join();
            }
            for (Loop l : loops) {
                l.close();
            }
        }
    }

    /**
     * CPU time of the JVM's compiler threads so far, ns (their schedstat, which the management
     * beans do not show): the part of a Java row's process CPU that compiling its loop costs while
     * the loop is new, which no C row has.
     */
    private static long compilerCpuNs() {
        long sum = 0;
        try (var tasks = Files.list(Path.of("/proc/self/task"))) {
            for (Path task : (Iterable<Path>) tasks::iterator) {
                try {
                    if (Files.readString(task.resolve("comm")).contains("CompilerThre")) {
                        sum += Long.parseLong(Files.readString(task.resolve("schedstat")).split(" ")[0]);
                    }
                } catch (java.io.IOException | RuntimeException gone) {
                    // A compiler thread that ended meanwhile (the JVM drops idle ones): its time is gone.
                }
            }
        } catch (java.io.IOException e) {
            return 0;
        }
        return sum;
    }

    private static void sleepUntil(long ns) throws InterruptedException {
        for (long left = ns - System.nanoTime(); left > 0; left = ns - System.nanoTime()) {
            Thread.sleep(left / 1_000_000, (int) (left % 1_000_000));
        }
    }

    /** The process doing nothing for the same window: the JVM's own share of the CPU figures. */
    private static String idle() throws InterruptedException {
        var os = (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        Thread.sleep(warmupMs);
        long cpu0 = os.getProcessCpuTime();
        long wall0 = System.nanoTime();
        Thread.sleep((long) (seconds * 1000));
        return String.format(Locale.ROOT, "%-46s %-12s %7.2f", "(no stream: the idle JVM)", "-",
                100.0 * (os.getProcessCpuTime() - cpu0) / (System.nanoTime() - wall0));
    }

    private static double percentile(long[] histogramUs, long count, double q) {
        long rank = Math.max(1, (long) Math.ceil(q * count));
        long seen = 0;
        for (int i = 0; i < histogramUs.length; i++) {
            seen += histogramUs[i];
            if (seen >= rank) {
                return i / 1000.0;
            }
        }
        return Double.NaN;
    }
}
