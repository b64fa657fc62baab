// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Locale;

import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.task.AcquisitionTask;
import org.vorn.acq.task.TaskEnd;
import org.vorn.hdf5.Hdf5ScanLog;

/**
 * {@code --hdf5 FILE} or {@code --trigger}: the acquisition run by an {@link AcquisitionTask} that
 * logs every scan to an HDF5 file (with --hdf5), cuts records around the trigger's crossings
 * (with --trigger) and delivers its volts to the demo. Block listener and progress run on the task's
 * reader thread; this thread only waits, and turns ^C into {@link AcquisitionTask#stop()}.
 */
final class LoggedRun {
    /** Ten blocks a second: the progress bar moves, and a block is never a large allocation. */
    static final int BLOCKS_PER_SECOND = 10;

    private LoggedRun() {
    }

    /** Streams the counted command of {@code ai} (setScanCount done) into {@code acq} and {@code file}. */
    static void acquire(ComediAnalogStreamingDevice ai, Acquisition acq, Options opt, StopSignal stop,
            PrintStream out, boolean terminal) {
        Path file = opt.hdf5;
        if (file != null) {
            Path folder = file.toAbsolutePath().getParent();
            try {
                java.nio.file.Files.createDirectories(folder);
            } catch (java.io.IOException e) {
                acq.failure = "cannot create " + folder + ": " + e.getMessage();
                out.println("Acquisition not started: " + acq.failure);
                return;
            }
        }
        Progress progress = new Progress(acq, acq.scanRate, out, terminal);
        int everyScans = (int) Math.max(1, Math.min(acq.wantedScans, Math.round(acq.scanRate / BLOCKS_PER_SECOND)));
        Hdf5ScanLog log = file == null ? null : new Hdf5ScanLog(file, Hdf5ScanLog.DEFAULT_FLUSH_INTERVAL, false);
        long started = System.nanoTime();
        AcquisitionTask.Builder builder = AcquisitionTask.on(ai).everyScans(everyScans);
        if (log != null) {
            builder.recordTo(log, true);
        }
        if (opt.trigger != null) {
            builder.onRecord(opt.trigger, opt.pretrigger, opt.record - opt.pretrigger, r -> acq.records.add(new long[] {
                r.getTriggerScan(), r.getFirstScan(), r.getScanCount(), r.isComplete() ? 1 : 0}));
        }
        AcquisitionTask task = builder.onBlock(b -> {
            int values = b.getScanCount() * b.getPositionCount();
            System.arraycopy(b.getVolts(), 0, acq.samples, acq.storedValues, values);
            acq.storedValues += values;
            acq.receivedValues += values;
            long now = System.nanoTime();
            acq.seconds = (now - started) / 1e9;
            progress.update(now);
        }).build();
        if (log != null) {
            out.printf(Locale.ROOT, "Acquiring through an AcquisitionTask, logging every scan to %s (HDF5, flushed every"
                    + " %d s; ^C stops early and keeps what arrived):%n", file.toAbsolutePath().normalize(),
                    Hdf5ScanLog.DEFAULT_FLUSH_INTERVAL.toSeconds());
        } else {
            out.println("Acquiring through an AcquisitionTask (^C stops early and keeps what arrived):");
        }
        TaskEnd end;
        try {
            task.start();
            while ((end = task.awaitEnd(Duration.ofMillis(50))) == null) {
                if (stop.requested()) {
                    acq.stoppedByUser = true;
                    task.stop();
                }
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            task.close();
            end = task.getEnd();
        } catch (RuntimeException e) {
            acq.failure = e.getMessage(); // the device refused to start
            out.println("Acquisition not started: " + acq.failure);
            return;
        } finally {
            task.close();
        }
        acq.seconds = (System.nanoTime() - started) / 1e9;
        progress.finish();
        if (end.reason() != TaskEnd.Reason.COMPLETED && end.reason() != TaskEnd.Reason.STOPPED) {
            acq.failure = end.reason() + ": " + end.cause().getMessage();
            if (end.reason() == TaskEnd.Reason.OVERRUN) {
                acq.lostScans = acq.wantedScans - end.scansDelivered();
                acq.overran = true;
            }
            out.println("Acquisition ended early: " + acq.failure);
        } else if (acq.stoppedByUser) {
            out.printf(Locale.ROOT, "Stopped after %.2f s: %d complete scans kept.%n", acq.seconds, acq.rows());
        }
        if (opt.trigger != null) {
            printRecords(acq, opt, out);
        }
        if (log != null) {
            // What the file holds for good: a failing listener's block is logged, a failing log's is not.
            out.printf(Locale.ROOT, "Logged %d scans to %s; in Python: h5py.File(path, \"r\", swmr=True)%n",
                    log.getScansFlushed(), file.toAbsolutePath().normalize());
        }
    }

    /** One line per record: its number, its trigger's scan and time from the start, its scans. */
    private static void printRecords(Acquisition acq, Options opt, PrintStream out) {
        out.printf(Locale.ROOT, "%d record%s of %d scans (%d before the trigger), trigger %s:%n", acq.records.size(),
                acq.records.size() == 1 ? "" : "s", opt.record, opt.pretrigger, opt.trigger);
        StringBuilder line = new StringBuilder();
        for (int k = 0; k < acq.records.size(); k++) {
            long[] r = acq.records.get(k);
            line.setLength(0);
            line.append("record ").append(k).append(": trigger at scan ").append(r[0]).append(" (");
            Numbers.appendSixDecimals(line, r[0] * acq.scanPeriodNanos / 1e9);
            line.append(" s), scans ").append(r[1]).append("..").append(r[1] + r[2] - 1);
            out.println(r[3] == 1 ? line : line.append(" (incomplete: the acquisition ended)"));
        }
    }
}
