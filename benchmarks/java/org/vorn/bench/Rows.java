// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import static org.vorn.bench.CReference.cClose;
import static org.vorn.bench.CReference.cFirstValue;
import static org.vorn.bench.CReference.cRun;
import static org.vorn.bench.CReference.cSamples;
import static org.vorn.bench.CReference.open;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogSWOutDevice;
import org.vorn.acq.comedi.ComediAnalogSamplingDevice;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediDigitalPortOutDevice;
import org.vorn.bench.Table.Row;
import org.vorn.bench.Table.Side;
import org.vorn.bench.Timing.JavaBatch;
import org.vorn.emu.EmulatedBoard;

/**
 * The rows: each hot path through the public API with direct buffers, set up like its C
 * reference (native/reference_loops.c configures the same channels), and timed against it.
 */
final class Rows {
    private final Timing timing;
    private final Table table;
    private final String only;

    Rows(Timing timing, Table table, String only) {
        this.timing = timing;
        this.table = table;
        this.only = only;
    }

    boolean skipped(String name) {
        return only != null && !name.contains(only);
    }

    void javaOnly(String name, String unit, JavaBatch batch) {
        if (!skipped(name)) {
            table.add(timing.measureJavaOnly(name, unit, batch));
        }
    }

    void sampling(int n) {
        String name = "sampling nScan, " + n + " channel" + (n == 1 ? "" : "s");
        if (skipped(name)) {
            return;
        }
        try (var ai = new ComediAnalogSamplingDevice(EmulatedBoard.MULTI, n)) {
            for (int i = 0; i < n; i++) {
                ai.configureChannel(i, i % 16, -10, 10, AnalogReference.GROUND);
            }
            ByteBuffer volts = direct(8 * n);
            long ref = open(CReference.SAMPLE_SCAN, EmulatedBoard.MULTI, n, 0);
            try {
                table.add(timing.measure(name, "call", calls -> {
                    for (int i = 0; i < calls; i++) {
                        ai.scan(volts);
                    }
                }, ref, 1));
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

    void analogWrite(int n) {
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
            callRow(name, CReference.ANALOG_WRITE, EmulatedBoard.MULTI, n, calls -> {
                for (int i = 0; i < calls; i++) {
                    ao.write(volts);
                }
            });
        }
    }

    void portWrite(int n) {
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
            callRow(name, CReference.PORT_WRITE, EmulatedBoard.DIO64, n, calls -> {
                for (int i = 0; i < calls; i++) {
                    dio.write(values);
                }
            });
        }
    }

    /** A row timed per call against the C loop {@code kind} on {@code board}, opened for it alone. */
    private void callRow(String name, int kind, String board, int n, JavaBatch batch) {
        long ref = open(kind, board, n, 0);
        try {
            table.add(timing.measure(name, "call", batch, ref, 1));
        } finally {
            cClose(ref);
        }
    }

    /** 8 channels: position i reads channel i, ±10 V at even positions and ±5 V at odd ones. */
    void streaming(String board, int bufSize) {
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
            BenchNatives.muteStdout(true);
            try {
                ai.configure();
            } finally {
                BenchNatives.muteStdout(false);
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
            Side java = new Side(timing.reps);
            Side c = new Side(timing.reps);
            /* Only one command per subdevice: each side starts and stops its own around its batch. */
            ai.start();
            int calls = timing.warmUp(batch);
            ai.stop();
            for (int r = 0; r < timing.reps; r++) {
                ai.start();
                long javaNs = Timing.timeJava(batch, calls, java);
                ai.stop();
                java.ns[r] = (double) javaNs / ((long) calls * bufSize);
                java.cpu[r] = (double) java.lastCpuNs / ((long) calls * bufSize);

                long ref = open(CReference.STREAM_SCAN, board, nChannels, bufSize);
                try {
                    long before = cSamples(ref);
                    long ns = Timing.timeC(ref, calls, c);
                    if (ns < 0 || cSamples(ref) - before != (long) calls * bufSize) {
                        throw new IllegalStateException(name + ": the C loop failed or read short");
                    }
                    c.ns[r] = (double) ns / ((long) calls * bufSize);
                    c.cpu[r] = (double) c.lastCpuNs / ((long) calls * bufSize);
                } finally {
                    cClose(ref);
                }
            }
            table.add(new Row(name, "sample", java, c));
        }
    }

    /** The C streaming loop with each conversion, repetitions alternating; one line of text. */
    String conversionAlone(String board, int bufSize) {
        int nChannels = 8;
        Side call = new Side(timing.reps);
        Side inline = new Side(timing.reps);
        int calls = 1;
        for (int r = -1; r < timing.reps; r++) {
            for (int kind : new int[] {CReference.STREAM_SCAN, CReference.STREAM_SCAN_INLINE}) {
                long ref = open(kind, board, nChannels, bufSize);
                try {
                    long before = cSamples(ref);
                    long ns = cRun(ref, calls);
                    if (ns < 0 || cSamples(ref) - before != (long) calls * bufSize) {
                        throw new IllegalStateException("conversion loop failed or read short on " + board);
                    }
                    if (r < 0) {
                        /* First round: calibrate the number of calls for about --rep-ms. */
                        calls = (int) Math.max(1, timing.repMs * 1_000_000L / Math.max(1, ns));
                        continue;
                    }
                    (kind == CReference.STREAM_SCAN ? call : inline).ns[r] = (double) ns / ((long) calls * bufSize);
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

    static ByteBuffer direct(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }
}
