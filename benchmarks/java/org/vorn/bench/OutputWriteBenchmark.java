// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.time.Duration;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingOutDevice;
import org.vorn.emu.EmulatedBoard;

/**
 * The streaming output on the emulated multi board, one channel at its fastest rate (1 MS/s):
 * <ul>
 * <li>on the real-time clock, the CPU of the feeding thread (the board's own work inside its calls
 * included) of the waiting write against a C loop of poll and write on comedilib, each for the
 * same time, in one run;</li>
 * <li>on the real-time clock, the CPU of the library's regenerating thread repeating a period of
 * 1000 scans, marking the mapped ring against writing each lap (a driver buffer that holds no
 * whole number of periods);</li>
 * <li>on the INSTANT clock (the board takes every scan as soon as it is written), the converting
 * write per sample against C converting with comedi_from_phys and writing.</li>
 * </ul>
 * Options: --seconds N (3, per row), --blocks N (200, of 65536 samples, per hot-path row).
 */
public final class OutputWriteBenchmark {
    static {
        System.loadLibrary("vornbench");
    }

    private static final String BOARD = EmulatedBoard.MULTI;
    private static final int BLOCK = 65536;

    private OutputWriteBenchmark() {
    }

    static native boolean cPollWrite(String path, int periodNs, double seconds, long[] out);

    static native long cConvertWrite(String path, double[] volts, int blocks);

    public static void main(String[] args) {
        Options options = new Options(args, "--seconds", "--blocks");
        double seconds = options.number("--seconds", 3);
        int blocks = (int) options.whole("--blocks", 200);
        double[] volts = new double[BLOCK];
        for (int i = 0; i < BLOCK; i++) {
            volts[i] = 9.0 * Math.sin(2 * Math.PI * i / 1000.0);
        }
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();

        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_REALTIME);
        long[] java = waitingWrite(volts, seconds, threads);
        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_REALTIME);
        long[] c = new long[3];
        if (!cPollWrite(BOARD, 1000, seconds, c)) {
            throw new IllegalStateException("the C loop failed");
        }
        System.out.println("Continuous output, 1 channel at 1 MS/s (real-time clock), CPU of the feeding thread:");
        row("waiting write (Java)", java);
        row("poll + write (C)", c);

        System.out.println("Regenerated output, a period of 1000 scans at 1 MS/s (real-time clock), CPU of the"
                + " regenerating thread:");
        for (var mode : ComediAnalogStreamingOutDevice.RegenerationMode.values()) {
            EmulatedBoard.reset();
            EmulatedBoard.setClock(EmulatedBoard.CLOCK_REALTIME);
            row(mode == ComediAnalogStreamingOutDevice.RegenerationMode.MAPPED_RING ? "marking the mapped ring"
                    : "write refill", regeneration(mode, volts, seconds, threads));
        }

        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_INSTANT);
        cConvertWrite(BOARD, volts, blocks / 10 + 1); // warm-up
        long cNs = cConvertWrite(BOARD, volts, blocks);
        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_INSTANT);
        long javaNs = hotPath(volts, blocks);
        System.out.println("Converting write per sample (INSTANT clock, " + blocks + " blocks of " + BLOCK + "):");
        System.out.printf(Locale.ROOT, "  %-24s %8.2f ns/sample%n", "write(double[]) (Java)", javaNs / (double) blocks / BLOCK);
        System.out.printf(Locale.ROOT, "  %-24s %8.2f ns/sample%n", "from_phys + write (C)", cNs / (double) blocks / BLOCK);
    }

    private static void row(String label, long[] r) {
        System.out.printf(Locale.ROOT, "  %-24s %10d scans in %6.3f s, CPU %8.1f ms = %5.2f %% of a core, %6.2f ns/scan%n",
                label, r[0], r[2] / 1e9, r[1] / 1e6, 100.0 * r[1] / r[2], r[1] / (double) Math.max(1, r[0]));
    }

    private static ComediAnalogStreamingOutDevice open(int bufSize) {
        var ao = new ComediAnalogStreamingOutDevice(BOARD, 1, 1e6, bufSize);
        ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
        ao.configure();
        return ao;
    }

    /** scans, CPU ns, elapsed ns */
    private static long[] waitingWrite(double[] volts, double seconds, ThreadMXBean threads) {
        try (var ao = open(BLOCK)) {
            ao.start(volts, BLOCK);
            while (ao.write(volts, BLOCK) > 0) {
                // the rest of the preload
            }
            long cpu0 = threads.getCurrentThreadCpuTime();
            long t0 = System.nanoTime();
            long end = t0 + (long) (seconds * 1e9);
            long scans = 0;
            while (System.nanoTime() < end) {
                scans += ao.write(volts, 0, BLOCK, Duration.ofSeconds(1));
            }
            long[] r = {scans, threads.getCurrentThreadCpuTime() - cpu0, System.nanoTime() - t0};
            ao.stop();
            return r;
        }
    }

    /** scans, CPU ns of the regenerating thread, elapsed ns */
    private static long[] regeneration(ComediAnalogStreamingOutDevice.RegenerationMode mode, double[] volts,
            double seconds, ThreadMXBean threads) {
        try (var ao = open(BLOCK)) {
            if (mode == ComediAnalogStreamingOutDevice.RegenerationMode.WRITE_REFILL) {
                ao.setDriverBufferSize(1 << 21); // no whole number of 2000-byte periods
            }
            ao.startRegeneration(volts, 1000);
            if (ao.getRegenerationMode() != mode) {
                throw new IllegalStateException("regeneration by " + ao.getRegenerationMode() + ", not " + mode);
            }
            long id = Thread.getAllStackTraces().keySet().stream()
                    .filter(t -> t.getName().equals("vorn-regenerate " + BOARD)).findFirst().orElseThrow().getId();
            long cpu0 = threads.getThreadCpuTime(id);
            long written0 = ao.getScansWritten();
            long t0 = System.nanoTime();
            try {
                Thread.sleep((long) (seconds * 1000));
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            long[] r = {ao.getScansWritten() - written0, threads.getThreadCpuTime(id) - cpu0, System.nanoTime() - t0};
            if (ao.getRegenerationUnderrun() != null) {
                throw new IllegalStateException("the regeneration ran dry", ao.getRegenerationUnderrun());
            }
            ao.stop();
            return r;
        }
    }

    private static long hotPath(double[] volts, int blocks) {
        try (var ao = open(BLOCK)) {
            ao.start(volts, BLOCK);
            for (int b = 0; b < blocks / 10 + 1; b++) {
                ao.write(volts, 0, BLOCK, Duration.ofSeconds(10));
            }
            long t0 = System.nanoTime();
            for (int b = 0; b < blocks; b++) {
                if (ao.write(volts, 0, BLOCK, Duration.ofSeconds(10)) != BLOCK) {
                    throw new IllegalStateException("a block was not written whole");
                }
            }
            long elapsed = System.nanoTime() - t0;
            ao.stop();
            return elapsed;
        }
    }
}
