// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

/** What the benchmark prints: the machine, then one line per row, Java against C. */
final class Table {
    /** One side of a row: ns per unit of every repetition, and the malloc calls seen meanwhile. */
    static final class Side {
        final double[] ns;
        /** The thread's CPU time per unit of every repetition: what the wall time is, less preemption. */
        final double[] cpu;
        /** The thread CPU ns of the last timed batch (Timing). */
        long lastCpuNs;
        long allocs;

        Side(int reps) {
            ns = new double[reps];
            cpu = new double[reps];
        }

        double median() {
            return median(ns);
        }

        double cpuMedian() {
            return median(cpu);
        }

        private static double median(double[] values) {
            double[] s = values.clone();
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

    /** A row; {@code c} is null for the rows that have no C counterpart. */
    record Row(String name, String unit, Side java, Side c) {
    }

    private final List<Row> rows = new ArrayList<>();

    void add(Row row) {
        rows.add(row);
    }

    static void printMachine(Timing timing) throws IOException {
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
                + "ns per unit: median [min-max]%n", timing.reps, timing.repMs, timing.warmupMs);
    }

    void print() {
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
        System.out.println("The same repetitions in the benchmark thread's CPU time (the wall time less the time the thread waited");
        System.out.println("for a core: steadier than the wall time on a loaded machine); ns per unit, median:");
        System.out.println(String.format(Locale.ROOT, "%-55s %-6s %10s %10s %6s %8s", "operation", "per", "libvorn", "C",
                "ratio", "gap ns"));
        for (Row row : rows) {
            Side j = row.java();
            Side c = row.c();
            if (c == null) {
                System.out.printf(Locale.ROOT, "%-55s %-6s %10.1f %10s %6s %8s%n", row.name(), row.unit(), j.cpuMedian(),
                        "-", "-", "-");
            } else {
                System.out.printf(Locale.ROOT, "%-55s %-6s %10.2f %10.2f %6.3f %8.2f%n", row.name(), row.unit(),
                        j.cpuMedian(), c.cpuMedian(), j.cpuMedian() / c.cpuMedian(), j.cpuMedian() - c.cpuMedian());
            }
        }
        System.out.println();
        System.out.println("ratio = libvorn median / C median; gap = the difference of the medians, ns per unit;");
        System.out.println("mallocs = malloc-family calls made under libvorn, comedilib or the emulated board (or under the C loop)");
        System.out.println("on the benchmark thread during all timed repetitions, libvorn/C; each would be printed with its stack above.");
        System.out.println("The JVM itself allocated " + AllocationCounter.jvmAllocCount() + " times on that thread during the timed batches"
                + " (JIT code installation, native-method wrappers), not counted above.");
    }
}
