// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import static org.vorn.bench.CReference.cClose;
import static org.vorn.bench.CReference.cFirstValue;
import static org.vorn.bench.CReference.cRun;
import static org.vorn.bench.CReference.cSamples;
import static org.vorn.bench.CReference.open;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.Calibration;
import org.vorn.acq.comedi.CalibrationState;
import org.vorn.acq.comedi.ComediAnalogDevice;
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

    /**
     * The same hot path on the softcal board twice, its positions converting with the calibration
     * file's polynomials and with the linear map (Calibration.linear()), repetitions alternating;
     * one line of text, ns per sample.
     */
    String calibratedAgainstLinear(String what, int positions, int bufSize) {
        Path file = Path.of(System.getProperty("vorn.softcal.file", "emulated-board/softcal.calibration"));
        Side calibrated = new Side(timing.reps);
        Side linear = new Side(timing.reps);
        String board = EmulatedBoard.SOFTCAL;
        boolean streaming = what.equals("streaming read");
        boolean output = what.equals("analog write");
        try (ComediAnalogDevice cal = device(what, board, positions, bufSize);
                ComediAnalogDevice lin = device(what, board, positions, bufSize)) {
            cal.setCalibrationFile(file);
            lin.setCalibration(Calibration.linear());
            ByteBuffer values = direct(8 * Math.max(positions, bufSize));
            for (int i = 0; i < positions; i++) {
                double span = i % 2 == 0 ? 10 : 5;
                for (ComediAnalogDevice d : List.of(cal, lin)) {
                    d.configureChannel(i, output ? i % 2 : i % 16, output ? -10 : -span, output ? 10 : span,
                            AnalogReference.GROUND);
                }
                values.putDouble(8 * i, -4.5 + 9.0 * i / positions);
            }
            if (cal.getCalibrationState(0) != CalibrationState.CALIBRATED
                    || lin.getCalibrationState(0) != CalibrationState.LINEAR_REQUESTED) {
                throw new IllegalStateException(what + ": the softcal devices are not calibrated and linear as asked ("
                        + cal.getCalibrationState(0) + ", " + lin.getCalibrationState(0) + ")");
            }
            int samplesPerCall = streaming ? bufSize : positions;
            if (streaming) {
                BenchNatives.muteStdout(true);
                try {
                    ((ComediAnalogStreamingDevice) cal).configure();
                    ((ComediAnalogStreamingDevice) lin).configure();
                } finally {
                    BenchNatives.muteStdout(false);
                }
            }
            JavaBatch calBatch = batch(what, cal, values, samplesPerCall);
            JavaBatch linBatch = batch(what, lin, values, samplesPerCall);
            int calls = Math.min(around(streaming, cal, () -> timing.warmUp(calBatch)),
                    around(streaming, lin, () -> timing.warmUp(linBatch)));
            for (int r = 0; r < timing.reps; r++) {
                calibrated.ns[r] = around(streaming, cal, () -> (double) Timing.timeJava(calBatch, calls, calibrated))
                        / ((long) calls * samplesPerCall);
                linear.ns[r] = around(streaming, lin, () -> (double) Timing.timeJava(linBatch, calls, linear))
                        / ((long) calls * samplesPerCall);
            }
        }
        return String.format(Locale.ROOT, "  %-15s %3d positions%s: calibrated %.2f [%.2f-%.2f], linear %.2f [%.2f-%.2f],"
                + " ratio %.3f, allocations %d/%d", what, positions, streaming ? ", bufSize " + bufSize : "",
                calibrated.median(), calibrated.min(), calibrated.max(), linear.median(), linear.min(), linear.max(),
                calibrated.median() / linear.median(), calibrated.allocs, linear.allocs);
    }

    /** The conversion loops alone in C, repetitions alternating inside C; one line of text. */
    String conversionOnly(int samples) {
        String file = System.getProperty("vorn.softcal.file", "emulated-board/softcal.calibration");
        Side linear = new Side(timing.reps);
        Side calibrated = new Side(timing.reps);
        double[] perSample = new double[2];
        for (int r = 0; r < timing.reps; r++) {
            if (!CReference.cConvertOnly(file, samples, 50, perSample)) {
                throw new IllegalStateException("no softcal polynomials in " + file);
            }
            linear.ns[r] = perSample[0];
            calibrated.ns[r] = perSample[1];
        }
        return String.format(Locale.ROOT, "  %-15s %d codes, 8 positions: calibrated %.2f [%.2f-%.2f], linear %.2f [%.2f-%.2f],"
                + " ratio %.3f", "conversion only", samples, calibrated.median(), calibrated.min(), calibrated.max(),
                linear.median(), linear.min(), linear.max(), calibrated.median() / linear.median());
    }

    private static ComediAnalogDevice device(String what, String board, int positions, int bufSize) {
        return switch (what) {
            case "streaming read" -> new ComediAnalogStreamingDevice(board, positions, 1000.0, bufSize);
            case "sampling scan" -> new ComediAnalogSamplingDevice(board, positions);
            default -> new ComediAnalogSWOutDevice(board, positions);
        };
    }

    private static JavaBatch batch(String what, ComediAnalogDevice d, ByteBuffer values, int samplesPerCall) {
        return switch (what) {
            case "streaming read" -> calls -> {
                for (int i = 0; i < calls; i++) {
                    if (((ComediAnalogStreamingDevice) d).read(values) != samplesPerCall) {
                        throw new IllegalStateException("a streaming read returned a short block");
                    }
                }
            };
            case "sampling scan" -> calls -> {
                for (int i = 0; i < calls; i++) {
                    ((ComediAnalogSamplingDevice) d).scan(values);
                }
            };
            default -> calls -> {
                for (int i = 0; i < calls; i++) {
                    ((ComediAnalogSWOutDevice) d).write(values);
                }
            };
        };
    }

    /** A streaming device owns the subdevice only while it runs: started and stopped around the work. */
    private static <T> T around(boolean streaming, ComediAnalogDevice d, java.util.function.Supplier<T> work) {
        if (!streaming) {
            return work.get();
        }
        ComediAnalogStreamingDevice s = (ComediAnalogStreamingDevice) d;
        s.start();
        try {
            return work.get();
        } finally {
            s.stop();
        }
    }

    static ByteBuffer direct(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }
}
