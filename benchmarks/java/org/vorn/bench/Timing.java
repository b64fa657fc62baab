// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import static org.vorn.bench.AllocationCounter.allocCount;
import static org.vorn.bench.AllocationCounter.reportAllocs;
import static org.vorn.bench.CReference.cRun;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;

import org.vorn.bench.Table.Row;
import org.vorn.bench.Table.Side;

/**
 * The timing loop. For each operation the Java side is warmed up first; then Java and C repetitions
 * alternate, so that a change of machine load hits both. Each repetition is timed as a whole (Java:
 * System.nanoTime around the batch; C: clock_gettime inside libvornbench around the same number of
 * calls) and divided by the calls (or samples) it made, with the allocation counter on meanwhile.
 */
final class Timing {
    /** Runs `calls` calls of libvorn's operation. */
    interface JavaBatch {
        void run(int calls);
    }

    final int reps;
    final long warmupMs;
    final long repMs;

    Timing(int reps, long warmupMs, long repMs) {
        this.reps = reps;
        this.warmupMs = warmupMs;
        this.repMs = repMs;
    }

    /**
     * Runs the batch for the warm-up time (so that C2 has compiled the caller) and returns the number
     * of calls that makes one repetition last about --rep-ms.
     */
    int warmUp(JavaBatch batch) {
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

    /** One timed Java batch: its ns, its hot-path allocations added to the side. */
    static long timeJava(JavaBatch batch, int calls, Side side) {
        long cpu0 = THREADS.getCurrentThreadCpuTime();
        reportAllocs(true);
        long a0 = allocCount();
        long t0 = System.nanoTime();
        batch.run(calls);
        long t1 = System.nanoTime();
        side.allocs += allocCount() - a0;
        reportAllocs(false);
        side.lastCpuNs = THREADS.getCurrentThreadCpuTime() - cpu0;
        return t1 - t0;
    }

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    /** One timed C batch: the ns the C loop measured (-1 if it failed), its allocations added to the side. */
    static long timeC(long ref, int calls, Side side) {
        long cpu0 = THREADS.getCurrentThreadCpuTime();
        reportAllocs(true);
        long a0 = allocCount();
        long ns = cRun(ref, calls);
        side.allocs += allocCount() - a0;
        reportAllocs(false);
        side.lastCpuNs = THREADS.getCurrentThreadCpuTime() - cpu0;
        return ns;
    }

    Row measure(String name, String unit, JavaBatch batch, long ref, int unitsPerCall) {
        int calls = warmUp(batch);
        if (cRun(ref, Math.max(1, calls / 4)) < 0) {
            throw new IllegalStateException(name + ": the C loop failed");
        }
        Side java = new Side(reps);
        Side c = new Side(reps);
        for (int r = 0; r < reps; r++) {
            java.ns[r] = (double) timeJava(batch, calls, java) / ((long) calls * unitsPerCall);
            java.cpu[r] = (double) java.lastCpuNs / ((long) calls * unitsPerCall);
            long ns = timeC(ref, calls, c);
            if (ns < 0) {
                throw new IllegalStateException(name + ": the C loop failed");
            }
            c.ns[r] = (double) ns / ((long) calls * unitsPerCall);
            c.cpu[r] = (double) c.lastCpuNs / ((long) calls * unitsPerCall);
        }
        return new Row(name, unit, java, c);
    }

    Row measureJavaOnly(String name, String unit, JavaBatch batch) {
        int calls = warmUp(batch);
        Side java = new Side(reps);
        for (int r = 0; r < reps; r++) {
            java.ns[r] = (double) timeJava(batch, calls, java) / calls;
            java.cpu[r] = (double) java.lastCpuNs / calls;
        }
        return new Row(name, unit, java, null);
    }
}
