// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.nio.ByteBuffer;

/**
 * Cuts records out of a stream that passes scan after scan: keeps the last pretrigger scans in a
 * ring, evaluates the trigger on every scan, and fills and hands on one record at a time. Nothing
 * is allocated per scan or per record; everything is sized by {@link #begin}.
 */
final class RecordAssembler {
    /** Told of every trigger taken, before its record fills. */
    interface TriggerSink {
        void triggered(long scan, long epochNanos, int position) throws Exception;
    }

    /** A failure of the trigger sink, told apart from one of the record listener. */
    static final class SinkFailure extends Exception {
        private static final long serialVersionUID = 1L;

        SinkFailure(Throwable cause) {
            super(cause);
        }
    }

    private final Trigger trigger;
    private final int pretrigger;
    private final int posttrigger;
    private final long holdOffScans;
    private final RecordListener listener;
    private TriggerSink sink;

    private StreamInfo stream;
    private Trigger.Detector detector;
    private TriggerRecord record;
    private int[] ring;
    private int positions;
    private int sampleBytes;
    private long scan;          // the index of the next scan to pass
    private long nextAllowed;   // the first scan a new trigger may be taken at
    private long recordNumber;
    private long recordTrigger;
    private int recordScans = -1; // scans in the record being filled, -1 for none
    private boolean broken;

    RecordAssembler(Trigger trigger, int pretrigger, int posttrigger, long holdOffScans, RecordListener listener) {
        this.trigger = trigger;
        this.pretrigger = pretrigger;
        this.posttrigger = posttrigger;
        this.holdOffScans = holdOffScans;
        this.listener = listener;
    }

    void begin(StreamInfo info, TriggerSink triggerSink) {
        if (trigger.getPosition() >= info.positionCount()) {
            throw new IllegalArgumentException("trigger " + trigger + ": the stream has " + info.positionCount()
                    + " positions");
        }
        if ((pretrigger + (long) posttrigger) * info.positionCount() > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException("a record of " + pretrigger + " + " + posttrigger + " scans of "
                    + info.positionCount() + " positions does not fit one array");
        }
        stream = info;
        sink = triggerSink;
        positions = info.positionCount();
        sampleBytes = info.sampleBytes();
        detector = new Trigger.Detector(trigger);
        record = new TriggerRecord(info, trigger, pretrigger, posttrigger);
        ring = new int[pretrigger * positions];
        nextAllowed = pretrigger;
    }

    /** Passes {@code count} scans of raw codes from {@code raw}'s position on (which it leaves). */
    void scans(ByteBuffer raw, int count) throws Exception {
        try {
            pass(raw, count);
        } catch (Exception | Error e) {
            broken = true; // the task ends on it: no record after the one that failed
            throw e;
        }
    }

    private void pass(ByteBuffer raw, int count) throws Exception {
        int at = raw.position();
        int watched = trigger.getPosition();
        var conversion = stream.positions().get(watched);
        long mask = sampleBytes == 2 ? 0xFFFFL : 0xFFFFFFFFL;
        for (int s = 0; s < count; s++, scan++) {
            int base = at + s * positions * sampleBytes;
            long code = code(raw, base + watched * sampleBytes) & mask;
            if (detector.fires(conversion.toVolts(code), code) && recordScans < 0 && scan >= nextAllowed) {
                start();
            }
            if (recordScans >= 0) {
                int to = recordScans * positions;
                for (int p = 0; p < positions; p++) {
                    record.raw[to + p] = code(raw, base + p * sampleBytes);
                }
                if (++recordScans == pretrigger + posttrigger) {
                    deliver();
                }
            }
            if (pretrigger > 0) {
                int to = (int) (scan % pretrigger) * positions;
                for (int p = 0; p < positions; p++) {
                    ring[to + p] = code(raw, base + p * sampleBytes);
                }
            }
        }
    }

    private int code(ByteBuffer raw, int at) {
        return sampleBytes == 2 ? raw.getShort(at) : raw.getInt(at);
    }

    /** The trigger is taken at {@link #scan}: the ring holds the scans just before it. */
    private void start() throws SinkFailure {
        recordTrigger = scan;
        nextAllowed = scan + Math.max(posttrigger, holdOffScans);
        for (int i = 0; i < pretrigger; i++) {
            long from = scan - pretrigger + i;
            System.arraycopy(ring, (int) (from % pretrigger) * positions, record.raw, i * positions, positions);
        }
        recordScans = pretrigger;
        if (sink != null) {
            try {
                sink.triggered(scan, stream.startEpochNanos() + scan * stream.scanPeriodNanos(), trigger.getPosition());
            } catch (Exception | Error e) {
                throw new SinkFailure(e);
            }
        }
    }

    private void deliver() throws Exception {
        record.fill(recordNumber++, recordTrigger, recordScans);
        recordScans = -1;
        listener.recordArrived(record);
    }

    /** The stream ended: a record being filled is delivered with what it got. */
    void end() throws Exception {
        if (recordScans >= 0 && !broken) {
            deliver();
        }
    }
}
