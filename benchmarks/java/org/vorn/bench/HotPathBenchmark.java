package org.vorn.bench;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogSWOutDevice;
import org.vorn.acq.comedi.ComediAnalogSamplingDevice;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediDigitalPortOutDevice;
import org.vorn.emu.EmulatedBoard;

/**
 * Every hot path of libvorn, called from Java through the public API with direct buffers, against
 * the same work written directly in C on comedilib (libvornbench), in one process on one emulated
 * board in INSTANT clock mode. For each operation the Java side is warmed up first; then Java and C
 * repetitions alternate, so that a change of machine load hits both. Each repetition is timed as a
 * whole (Java: System.nanoTime around the batch; C: clock_gettime inside libvornbench around the
 * same number of calls) and divided by the calls (or samples) it made.
 *
 * The malloc-family calls made by the benchmark thread during the timed repetitions are counted by
 * libvornbench's preloaded allocator front, for both sides.
 *
 * Options: --reps N (15), --warmup-ms N (1000), --rep-ms N (40), --only SUBSTRING.
 */
public final class HotPathBenchmark {
    static {
        System.loadLibrary("vornbench");
    }

    static native void noop(ByteBuffer a, ByteBuffer b);

    static native long noopAddresses(ByteBuffer a, ByteBuffer b);

    /** Allocations made under libvorn, comedilib, the emulated board or a C loop during timed batches. */
    static native long allocCount();

    /** Allocations made by the JVM alone on this thread during timed batches. */
    static native long jvmAllocCount();

    static native void reportAllocs(boolean on);

    static native long selfCheckAllocs(int n);

    static native void muteStdout(boolean mute);

    static native long cOpen(int kind, String path, int n, int bufSize);

    static native long cRun(long ref, int calls);

    static native long cSamples(long ref);

    static native double cFirstValue(long ref);

    static native void cClose(long ref);

    private static final int SAMPLE_SCAN = 1, ANALOG_WRITE = 2, PORT_WRITE = 3, STREAM_SCAN = 4, STREAM_SCAN_INLINE = 5;

    private static int reps = 15;
    private static long warmupMs = 1000;
    private static long repMs = 40;
    private static String only = null;

    /** Runs `calls` calls of libvorn's operation. */
    interface JavaBatch {
        void run(int calls);
    }

    /** One side of a row: ns per unit of every repetition, and the malloc calls seen meanwhile. */
    static final class Side {
        final double[] ns;
        long allocs;

        Side(int reps) {
            ns = new double[reps];
        }

        double median() {
            double[] s = ns.clone();
            Arrays.sort(s);
            int n = s.length;
            return n % 2 == 1 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
        }

        double min() {
            return Arrays.stream(ns).min().orElse(Double.NaN);
        }

        double max() {
            return Arrays.stream(ns).max().orElse(Double.NaN);
        }
    }

    record Row(String name, String unit, Side java, Side c) {
    }

    private static final List<Row> rows = new ArrayList<>();

    public static void main(String[] args) throws Exception {
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--reps" -> reps = Integer.parseInt(args[++i]);
                case "--warmup-ms" -> warmupMs = Long.parseLong(args[++i]);
                case "--rep-ms" -> repMs = Long.parseLong(args[++i]);
                case "--only" -> only = args[++i];
                default -> throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        /* Links the counter's natives now: the JVM's first call of a native looks it up, which allocates. */
        reportAllocs(false);
        allocCount();
        EmulatedBoard.reset();
        if (EmulatedBoard.setClock(EmulatedBoard.CLOCK_INSTANT) != 0) {
            throw new IllegalStateException("the emulated board refused the INSTANT clock");
        }

        printMachine();
        long seen = selfCheckAllocs(1000);
        System.out.println("allocation counter self-check: " + seen + " of 1000 deliberate mallocs under a C loop seen");
        if (seen != 1000) {
            throw new IllegalStateException("the allocation counter does not see allocations; is libvornbench preloaded?");
        }

        ByteBuffer a = direct(64);
        ByteBuffer b = direct(64);
        measureJavaOnly("JNI crossing, no-op native (2 buffer args)", "call", calls -> {
            for (int i = 0; i < calls; i++) {
                noop(a, b);
            }
        });
        measureJavaOnly("JNI crossing + 2 GetDirectBufferAddress", "call", calls -> {
            long sink = 0;
            for (int i = 0; i < calls; i++) {
                sink += noopAddresses(a, b);
            }
            if (sink == 42) {
                System.out.print("");
            }
        });

        for (int n : new int[] {1, 8, 64}) {
            sampling(n);
        }
        for (int n : new int[] {2, 16}) {
            analogWrite(n);
        }
        for (int n : new int[] {1, 8}) {
            portWrite(n);
        }
        for (String board : new String[] {EmulatedBoard.MULTI, EmulatedBoard.AI18}) {
            for (int bufSize : new int[] {256, 4096, 65536}) {
                streaming(board, bufSize);
            }
        }

        List<String> conversion = new ArrayList<>();
        for (String board : new String[] {EmulatedBoard.MULTI, EmulatedBoard.AI18}) {
            if (!skipped("conversion")) {
                conversion.add(conversionAlone(board, 4096));
            }
        }

        printTable();
        if (!conversion.isEmpty()) {
            System.out.println();
            System.out.println("Conversion alone: the C reference streaming loop (poll, buffer contents, read, convert),");
            System.out.println("once with comedi_to_phys per sample and once with libvorn's rawToPhys; ns per sample, median [min-max]:");
            conversion.forEach(System.out::println);
        }
        if (EmulatedBoard.openCount() != 0) {
            throw new IllegalStateException(EmulatedBoard.openCount() + " emulated device files left open");
        }
    }

    private static boolean skipped(String name) {
        return only != null && !name.contains(only);
    }

    private static void sampling(int n) {
        String name = "sampling nScan, " + n + " channel" + (n == 1 ? "" : "s");
        if (skipped(name)) {
            return;
        }
        try (var ai = new ComediAnalogSamplingDevice(EmulatedBoard.MULTI, n)) {
            for (int i = 0; i < n; i++) {
                ai.configureChannel(i, i % 16, -10, 10, AnalogReference.GROUND);
            }
            ByteBuffer volts = direct(8 * n);
            long ref = open(SAMPLE_SCAN, EmulatedBoard.MULTI, n, 0);
            try {
                measure(name, "call", calls -> {
                    for (int i = 0; i < calls; i++) {
                        ai.scan(volts);
                    }
                }, ref, 1);
                /* Channel 0 is 0 V on both sides; a sanity check that both did the same reads. */
                if (volts.getDouble(0) != cFirstValue(ref)) {
                    throw new IllegalStateException(name + ": libvorn read " + volts.getDouble(0) + ", C read "
                            + cFirstValue(ref));
                }
            } finally {
                cClose(ref);
            }
        }
    }

    private static void analogWrite(int n) {
        String name = "analog nWrite, " + n + " channels";
        if (skipped(name)) {
            return;
        }
        try (var ao = new ComediAnalogSWOutDevice(EmulatedBoard.MULTI, n)) {
            ByteBuffer volts = direct(8 * n);
            for (int i = 0; i < n; i++) {
                ao.configureChannel(i, i % 2, -10, 10, AnalogReference.GROUND);
                volts.putDouble(8 * i, -9.0 + 18.0 * i / n);
            }
            long ref = open(ANALOG_WRITE, EmulatedBoard.MULTI, n, 0);
            try {
                measure(name, "call", calls -> {
                    for (int i = 0; i < calls; i++) {
                        ao.write(volts);
                    }
                }, ref, 1);
            } finally {
                cClose(ref);
            }
        }
    }

    private static void portWrite(int n) {
        String name = "port nWrite, " + n + " port" + (n == 1 ? "" : "s") + " of 8 lines";
        if (skipped(name)) {
            return;
        }
        int[] ports = new int[n];
        ByteBuffer values = direct(8 * n);
        for (int p = 0; p < n; p++) {
            ports[p] = p;
            values.putLong(8 * p, 0xA5 ^ p);
        }
        try (var dio = new ComediDigitalPortOutDevice(EmulatedBoard.DIO64, ports, 8)) {
            long ref = open(PORT_WRITE, EmulatedBoard.DIO64, n, 0);
            try {
                measure(name, "call", calls -> {
                    for (int i = 0; i < calls; i++) {
                        dio.write(values);
                    }
                }, ref, 1);
            } finally {
                cClose(ref);
            }
        }
    }

    /** 8 channels: position i reads channel i, ±10 V at even positions and ±5 V at odd ones. */
    private static void streaming(String board, int bufSize) {
        int nChannels = 8;
        String bits = board.equals(EmulatedBoard.AI18) ? "32-bit samples (ai18)" : "16-bit samples (multi)";
        String name = "streaming nScan, bufSize " + bufSize + ", " + bits;
        if (skipped(name)) {
            return;
        }
        try (var ai = new ComediAnalogStreamingDevice(board, nChannels, 1000.0, bufSize)) {
            for (int i = 0; i < nChannels; i++) {
                double span = i % 2 == 0 ? 10 : 5;
                ai.configureChannel(i, i, -span, span, AnalogReference.GROUND);
            }
            muteStdout(true);
            try {
                ai.configure();
            } finally {
                muteStdout(false);
            }
            ByteBuffer volts = direct(8 * bufSize);
            JavaBatch batch = calls -> {
                for (int i = 0; i < calls; i++) {
                    int got = ai.read(volts);
                    if (got != bufSize) {
                        throw new IllegalStateException(name + ": a read returned " + got + " samples");
                    }
                }
            };
            Side java = new Side(reps);
            Side c = new Side(reps);
            /* Only one command per subdevice: each side starts and stops its own around its batch. */
            ai.start();
            int calls = warmUp(batch, bufSize);
            ai.stop();
            for (int r = 0; r < reps; r++) {
                ai.start();
                reportAllocs(true);
                long a0 = allocCount();
                long t0 = System.nanoTime();
                batch.run(calls);
                long t1 = System.nanoTime();
                java.allocs += allocCount() - a0;
                reportAllocs(false);
                ai.stop();
                java.ns[r] = (double) (t1 - t0) / ((long) calls * bufSize);

                long ref = open(STREAM_SCAN, board, nChannels, bufSize);
                try {
                    long before = cSamples(ref);
                    reportAllocs(true);
                    a0 = allocCount();
                    long ns = cRun(ref, calls);
                    c.allocs += allocCount() - a0;
                    reportAllocs(false);
                    if (ns < 0 || cSamples(ref) - before != (long) calls * bufSize) {
                        throw new IllegalStateException(name + ": the C loop failed or read short");
                    }
                    c.ns[r] = (double) ns / ((long) calls * bufSize);
                } finally {
                    cClose(ref);
                }
            }
            rows.add(new Row(name, "sample", java, c));
        }
    }

    /** The C streaming loop with each conversion, repetitions alternating. */
    private static String conversionAlone(String board, int bufSize) {
        int nChannels = 8;
        Side call = new Side(reps);
        Side inline = new Side(reps);
        int calls = 1;
        for (int r = -1; r < reps; r++) {
            for (int kind : new int[] {STREAM_SCAN, STREAM_SCAN_INLINE}) {
                long ref = open(kind, board, nChannels, bufSize);
                try {
                    long before = cSamples(ref);
                    long ns = cRun(ref, calls);
                    if (ns < 0 || cSamples(ref) - before != (long) calls * bufSize) {
                        throw new IllegalStateException("conversion loop failed or read short on " + board);
                    }
                    if (r < 0) {
                        /* First round: calibrate the number of calls for about --rep-ms. */
                        calls = (int) Math.max(1, repMs * 1_000_000L / Math.max(1, ns));
                        continue;
                    }
                    (kind == STREAM_SCAN ? call : inline).ns[r] = (double) ns / ((long) calls * bufSize);
                } finally {
                    cClose(ref);
                }
                if (r < 0) {
                    break;
                }
            }
        }
        return String.format(Locale.ROOT, "  %-8s bufSize %d: comedi_to_phys %.2f [%.2f-%.2f], rawToPhys %.2f [%.2f-%.2f], ratio %.3f",
                board.substring(board.lastIndexOf('/') + 1), bufSize, call.median(), call.min(), call.max(),
                inline.median(), inline.min(), inline.max(), inline.median() / call.median());
    }

    private static long open(int kind, String path, int n, int bufSize) {
        long ref = cOpen(kind, path, n, bufSize);
        if (ref == 0) {
            throw new IllegalStateException("the C reference could not open " + path);
        }
        return ref;
    }

    /**
     * Runs the batch for the warm-up time (so that C2 has compiled the caller) and returns the number
     * of calls that makes one repetition last about --rep-ms.
     */
    private static int warmUp(JavaBatch batch, int unitsPerCall) {
        long end = System.nanoTime() + warmupMs * 1_000_000L;
        long calls = 0;
        int chunk = 1;
        long t0 = System.nanoTime();
        while (System.nanoTime() < end) {
            batch.run(chunk);
            calls += chunk;
            if (chunk < 100_000) {
                chunk *= 2;
            }
        }
        double nsPerCall = (double) (System.nanoTime() - t0) / calls;
        return (int) Math.max(1, Math.min(Integer.MAX_VALUE, repMs * 1_000_000L / nsPerCall));
    }

    private static void measure(String name, String unit, JavaBatch batch, long ref, int unitsPerCall) {
        int calls = warmUp(batch, unitsPerCall);
        if (cRun(ref, Math.max(1, calls / 4)) < 0) {
            throw new IllegalStateException(name + ": the C loop failed");
        }
        Side java = new Side(reps);
        Side c = new Side(reps);
        for (int r = 0; r < reps; r++) {
            reportAllocs(true);
            long a0 = allocCount();
            long t0 = System.nanoTime();
            batch.run(calls);
            long t1 = System.nanoTime();
            java.allocs += allocCount() - a0;
            reportAllocs(false);
            java.ns[r] = (double) (t1 - t0) / ((long) calls * unitsPerCall);

            reportAllocs(true);
            a0 = allocCount();
            long ns = cRun(ref, calls);
            c.allocs += allocCount() - a0;
            reportAllocs(false);
            if (ns < 0) {
                throw new IllegalStateException(name + ": the C loop failed");
            }
            c.ns[r] = (double) ns / ((long) calls * unitsPerCall);
        }
        rows.add(new Row(name, unit, java, c));
    }

    private static void measureJavaOnly(String name, String unit, JavaBatch batch) {
        if (skipped(name)) {
            return;
        }
        int calls = warmUp(batch, 1);
        Side java = new Side(reps);
        for (int r = 0; r < reps; r++) {
            reportAllocs(true);
            long a0 = allocCount();
            long t0 = System.nanoTime();
            batch.run(calls);
            long t1 = System.nanoTime();
            java.allocs += allocCount() - a0;
            reportAllocs(false);
            java.ns[r] = (double) (t1 - t0) / calls;
        }
        rows.add(new Row(name, unit, java, null));
    }

    private static ByteBuffer direct(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }

    private static void printMachine() throws IOException {
        String cpu = "unknown CPU";
        Path cpuinfo = Path.of("/proc/cpuinfo");
        if (Files.isReadable(cpuinfo)) {
            for (String line : Files.readAllLines(cpuinfo)) {
                if (line.startsWith("model name")) {
                    cpu = line.substring(line.indexOf(':') + 1).trim();
                    break;
                }
            }
        }
        System.out.printf(Locale.ROOT, "libvorn hot paths vs the same work in C on comedilib, emulated board, INSTANT clock%n");
        System.out.printf(Locale.ROOT, "machine: %s, %d cores, %s %s, Java %s (%s)%n", cpu,
                Runtime.getRuntime().availableProcessors(), System.getProperty("os.name"),
                System.getProperty("os.version"), System.getProperty("java.version"), System.getProperty("java.vm.name"));
        System.out.printf(Locale.ROOT, "%d repetitions per side, alternating Java and C, ~%d ms each, after %d ms of warm-up; "
                + "ns per unit: median [min-max]%n", reps, repMs, warmupMs);
    }

    private static void printTable() {
        String header = String.format(Locale.ROOT, "%-55s %-6s %10s %-19s %10s %-19s %6s %8s %9s",
                "operation", "per", "libvorn", "  [min-max]", "C", "  [min-max]", "ratio", "gap ns", "mallocs");
        System.out.println();
        System.out.println(header);
        System.out.println("-".repeat(header.length()));
        for (Row row : rows) {
            Side j = row.java();
            Side c = row.c();
            String jSpread = String.format(Locale.ROOT, "[%.1f-%.1f]", j.min(), j.max());
            if (c == null) {
                System.out.printf(Locale.ROOT, "%-55s %-6s %10.1f %-19s %10s %-19s %6s %8s %9s%n", row.name(), row.unit(),
                        j.median(), jSpread, "-", "", "-", "-", j.allocs + "/-");
                continue;
            }
            String cSpread = String.format(Locale.ROOT, "[%.1f-%.1f]", c.min(), c.max());
            double gap = j.median() - c.median();
            System.out.printf(Locale.ROOT, "%-55s %-6s %10.2f %-19s %10.2f %-19s %6.3f %8.2f %9s%n", row.name(), row.unit(),
                    j.median(), jSpread, c.median(), cSpread, j.median() / c.median(), gap, j.allocs + "/" + c.allocs);
        }
        System.out.println();
        System.out.println("ratio = libvorn median / C median; gap = the difference of the medians, ns per unit;");
        System.out.println("mallocs = malloc-family calls made under libvorn, comedilib or the emulated board (or under the C loop)");
        System.out.println("on the benchmark thread during all timed repetitions, libvorn/C; each would be printed with its stack above.");
        System.out.println("The JVM itself allocated " + jvmAllocCount() + " times on that thread during the timed batches"
                + " (JIT code installation, native-method wrappers), not counted above.");
    }
}
