// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static hdf.hdf5lib.HDF5Constants.H5F_SCOPE_GLOBAL;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_INT64;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_UINT;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_USHORT;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_I64LE;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_U16LE;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_U32LE;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Path;
import java.time.Instant;
import java.util.Objects;

import hdf.hdf5lib.H5;

import org.vorn.acq.task.RecordListener;
import org.vorn.acq.task.ScanRecorder;
import org.vorn.acq.task.StreamInfo;
import org.vorn.acq.task.TriggerRecord;

/**
 * Logs only the records a trigger cuts out of a stream, not the continuous stream: for long runs
 * where only the events matter. It is both the task's recorder and the listener of its records:
 *
 * <pre>
 * var log = new Hdf5RecordLog(Path.of("shots.h5"), 200, 800);
 * var task = AcquisitionTask.on(ai).recordTo(log, true)
 *         .onRecord(Trigger.level(0, 0.5, Trigger.Slope.RISING), 200, 800, log).build();
 * </pre>
 *
 * <p>Layout: {@code /records}, records × (pretrigger + post-trigger) scans × positions of raw
 * codes with the per-position attributes of {@link Hdf5ScanLog}'s {@code /scans} (volts from
 * them the same way), and {@code /record_trigger_scan}, the trigger's scan index of each record
 * (its first scan is that minus the root's {@code pretrigger_scans}). A record the end cut short
 * is never padded into {@code /records}: its scans go to {@code /incomplete_record} (scans ×
 * positions, empty otherwise) and its trigger to {@code /incomplete_trigger_scan}. {@code /events}
 * holds every trigger and the end, as in the scan log; the root holds the scan log's attributes.
 * Single-writer mode as the scan log; records are flushed at least every flush interval and at
 * the end. Not thread safe: a task calls it from its reader thread only.
 */
public final class Hdf5RecordLog implements ScanRecorder, RecordListener {
    /** Written into the root's {@code format} attribute; raised when the layout changes. */
    public static final String FORMAT = "vorn-record-log 1";

    private final Path file;
    private final int pretrigger;
    private final int scansPerRecord;
    private final long flushIntervalNanos = Hdf5ScanLog.DEFAULT_FLUSH_INTERVAL.toNanos();

    private StreamInfo stream;
    private long fileId = -1;
    private AppendableDataset records;
    private AppendableDataset triggers;
    private AppendableDataset incomplete;
    private AppendableDataset incompleteTrigger;
    private AppendableDataset events;
    private Object codes; // short[] or int[], one record
    private final long[] one = new long[1];
    private long scansReceived;
    private long lastFlushNanos;
    private boolean closed;

    /**
     * A log of records of {@code pretrigger + posttrigger} scans, as the task's
     * {@code onRecord} states them.
     *
     * @param file        the file to create (one of that name is replaced) when the task begins
     * @param pretrigger  the records' pretrigger scans, 0 or more
     * @param posttrigger the records' post-trigger scans, at least 1
     * @throws IllegalArgumentException if a count is out of range
     */
    public Hdf5RecordLog(Path file, int pretrigger, int posttrigger) {
        this.file = Objects.requireNonNull(file, "file");
        if (pretrigger < 0 || posttrigger < 1) {
            throw new IllegalArgumentException("a record has 0 or more pretrigger scans (not " + pretrigger
                    + ") and at least 1 post-trigger scan (not " + posttrigger + ")");
        }
        this.pretrigger = pretrigger;
        this.scansPerRecord = pretrigger + posttrigger;
    }

    /**
     * The log's file.
     *
     * @return the path given to the constructor
     */
    public Path getFile() {
        return file;
    }

    @Override
    public void begin(StreamInfo info) throws IOException {
        if (stream != null || closed) {
            throw new IllegalStateException("log " + file + " was already begun");
        }
        stream = info;
        int positions = info.positionCount();
        if ((long) scansPerRecord * positions > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException("a record of " + scansPerRecord + " scans x " + positions
                    + " positions does not fit one array");
        }
        boolean wide = info.sampleBytes() == 4;
        codes = wide ? new int[scansPerRecord * positions] : new short[scansPerRecord * positions];
        long fileType = wide ? H5T_STD_U32LE : H5T_STD_U16LE;
        long memoryType = wide ? H5T_NATIVE_UINT : H5T_NATIVE_USHORT;
        fileId = Hdf5ScanLog.createFile(file);
        Hdf5ScanLog.writeRootAttributes(fileId, info, FORMAT, flushIntervalNanos);
        Hdf5Objects.integer(fileId, "pretrigger_scans", pretrigger);
        Hdf5Objects.integer(fileId, "posttrigger_scans", scansPerRecord - pretrigger);
        records = new AppendableDataset(fileId, "records", fileType, memoryType, false,
                new long[] {scansPerRecord, positions}, 1);
        Hdf5ScanLog.writePositionAttributes(records.id(), info.positions());
        triggers = new AppendableDataset(fileId, "record_trigger_scan", H5T_STD_I64LE, H5T_NATIVE_INT64, 0, 256);
        incomplete = new AppendableDataset(fileId, "incomplete_record", fileType, memoryType, positions,
                Math.max(1, scansPerRecord));
        incompleteTrigger = new AppendableDataset(fileId, "incomplete_trigger_scan", H5T_STD_I64LE, H5T_NATIVE_INT64,
                0, 1);
        events = Hdf5Events.create(fileId);
        // From here on no object or attribute may be created: only datasets grow.
        H5.H5Fstart_swmr_write(fileId);
        lastFlushNanos = System.nanoTime();
    }

    /** The continuous stream is not logged; only its order is checked. */
    @Override
    public void record(ByteBuffer raw, long firstScan, int scans) {
        requireOpen();
        if (firstScan != scansReceived) {
            throw new IllegalArgumentException("scans " + firstScan + ".. follow scan " + scansReceived);
        }
        scansReceived += scans;
    }

    @Override
    public void recordArrived(TriggerRecord r) {
        requireOpen();
        if (r.getPretriggerScans() != pretrigger || r.getScanCount() > scansPerRecord
                || (r.isComplete() && r.getScanCount() != scansPerRecord)) {
            throw new IllegalArgumentException("a record of " + r.getPretriggerScans() + " pretrigger and "
                    + r.getScanCount() + " scans in all does not fit the log's " + pretrigger + " and "
                    + scansPerRecord);
        }
        int positions = r.getPositionCount();
        for (int s = 0, i = 0; s < r.getScanCount(); s++) {
            for (int p = 0; p < positions; p++, i++) {
                long code = r.getRaw(s, p);
                if (codes instanceof short[] c) {
                    c[i] = (short) code;
                } else {
                    ((int[]) codes)[i] = (int) code;
                }
            }
        }
        one[0] = r.getTriggerScan();
        if (r.isComplete()) {
            records.append(codes, 1);
            triggers.append(one, 1);
        } else {
            incomplete.append(codes, r.getScanCount());
            incompleteTrigger.append(one, 1);
        }
        if (!r.isComplete() || System.nanoTime() - lastFlushNanos >= flushIntervalNanos) {
            flush();
        }
    }

    @Override
    public void triggered(long scanIndex, long scanEpochNanos, int position) {
        requireOpen();
        Hdf5Events.append(events, "trigger", scanIndex, scanEpochNanos, "position " + position);
    }

    @Override
    public void event(String kind, long scanIndex, String detail) {
        requireOpen();
        Instant now = Instant.now();
        Hdf5Events.append(events, kind, scanIndex, now.getEpochSecond() * 1_000_000_000L + now.getNano(), detail);
        flush();
    }

    /**
     * The records whole in the file.
     *
     * @return the rows of {@code /records}
     */
    public long getRecordsWritten() {
        return records == null ? 0 : records.rows();
    }

    private void flush() {
        H5.H5Fflush(fileId, H5F_SCOPE_GLOBAL);
        lastFlushNanos = System.nanoTime();
    }

    private void requireOpen() {
        if (stream == null || closed) {
            throw new IllegalStateException("log " + file + (closed ? " is closed" : " was not begun"));
        }
    }

    /** Flushes and closes the file. Idempotent. */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        closed = true;
        RuntimeException failed = null;
        if (fileId >= 0) {
            try {
                flush();
            } catch (RuntimeException e) {
                failed = e;
            }
        }
        failed = AppendableDataset.closeWithFile(failed, fileId, records, triggers, incomplete, incompleteTrigger, events);
        fileId = -1;
        if (failed != null) {
            throw failed;
        }
    }
}
