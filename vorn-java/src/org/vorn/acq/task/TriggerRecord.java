// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.util.Arrays;

/**
 * The scans around one trigger: {@link #getPretriggerScans()} scans before the trigger's scan,
 * then the trigger's scan and the ones after it, contiguous, scan {@code i} of the record being
 * scan {@code getFirstScan() + i} of the stream. A complete record has exactly pretrigger +
 * post-trigger scans; one cut by the stream's end, a stop or an overrun is delivered with the
 * scans it got and {@link #isComplete()} false, never padded.
 *
 * <p>The task reuses one record and its arrays for every delivery: valid during the listener call
 * only, on the task's reader thread. Copy what you keep ({@link #copyVolts()}, {@link #copyRaw()}).
 */
public final class TriggerRecord {
    private final StreamInfo stream;
    private final Trigger trigger;
    private final int pretrigger;
    private final int length;
    final int[] raw;
    private final double[] volts;
    private long number;
    private long triggerScan;
    private int scans;

    TriggerRecord(StreamInfo stream, Trigger trigger, int pretrigger, int posttrigger) {
        this.stream = stream;
        this.trigger = trigger;
        this.pretrigger = pretrigger;
        this.length = pretrigger + posttrigger;
        this.raw = new int[length * stream.positionCount()];
        this.volts = new double[raw.length];
    }

    void fill(long recordNumber, long trigger, int scanCount) {
        number = recordNumber;
        triggerScan = trigger;
        scans = scanCount;
        int p = stream.positionCount();
        var positions = stream.positions();
        long mask = stream.sampleBytes() == 2 ? 0xFFFFL : 0xFFFFFFFFL;
        for (int i = 0; i < scans * p; i++) {
            volts[i] = positions.get(i % p).toVolts(raw[i] & mask);
        }
    }

    /** @return the stream the record comes from */
    public StreamInfo getStream() {
        return stream;
    }

    /** @return the trigger that made it */
    public Trigger getTrigger() {
        return trigger;
    }

    /** @return the record's number in the task, the first being 0 */
    public long getNumber() {
        return number;
    }

    /** @return the index in the stream (the first scan being 0) of the scan that fired */
    public long getTriggerScan() {
        return triggerScan;
    }

    /** @return the scan position the trigger watched */
    public int getTriggerPosition() {
        return trigger.getPosition();
    }

    /** @return when the trigger's scan began, in nanoseconds since the epoch */
    public long getTriggerEpochNanos() {
        return stream.startEpochNanos() + triggerScan * stream.scanPeriodNanos();
    }

    /** @return when the trigger's scan began, in seconds from the stream's start */
    public double getTriggerSeconds() {
        return triggerScan * (stream.scanPeriodNanos() / 1e9);
    }

    /** @return the index in the stream of the record's first scan: the trigger's minus the pretrigger */
    public long getFirstScan() {
        return triggerScan - pretrigger;
    }

    /** @return the scans before the trigger's scan, as the task was built */
    public int getPretriggerScans() {
        return pretrigger;
    }

    /** @return the scans the record holds: pretrigger + post-trigger when complete, fewer when cut */
    public int getScanCount() {
        return scans;
    }

    /** @return whether the record got all its scans */
    public boolean isComplete() {
        return scans == length;
    }

    /** @return the values of one scan */
    public int getPositionCount() {
        return stream.positionCount();
    }

    /**
     * The value at {@code position} of scan {@code scan} of the record.
     *
     * @param scan     0 to {@code getScanCount() - 1}
     * @param position 0 to {@code getPositionCount() - 1}
     * @return the value as the library delivers it
     * @throws IndexOutOfBoundsException if the scan or the position is outside the record
     */
    public double getVolts(int scan, int position) {
        return volts[index(scan, position)];
    }

    /**
     * The raw code at {@code position} of scan {@code scan} of the record.
     *
     * @param scan     0 to {@code getScanCount() - 1}
     * @param position 0 to {@code getPositionCount() - 1}
     * @return the unsigned code
     * @throws IndexOutOfBoundsException if the scan or the position is outside the record
     */
    public long getRaw(int scan, int position) {
        return raw[index(scan, position)] & (stream.sampleBytes() == 2 ? 0xFFFFL : 0xFFFFFFFFL);
    }

    private int index(int scan, int position) {
        int p = stream.positionCount();
        if (scan < 0 || scan >= scans || position < 0 || position >= p) {
            throw new IndexOutOfBoundsException("scan " + scan + ", position " + position + " of a record of " + scans
                    + " scans x " + p + " positions");
        }
        return scan * p + position;
    }

    /** @return a copy of the values, scan after scan, positions in order */
    public double[] copyVolts() {
        return Arrays.copyOf(volts, scans * stream.positionCount());
    }

    /** @return a copy of the raw codes as unsigned values, scan after scan, positions in order */
    public long[] copyRaw() {
        long[] out = new long[scans * stream.positionCount()];
        long mask = stream.sampleBytes() == 2 ? 0xFFFFL : 0xFFFFFFFFL;
        for (int i = 0; i < out.length; i++) {
            out[i] = raw[i] & mask;
        }
        return out;
    }

    @Override
    public String toString() {
        return "record " + number + ": trigger at scan " + triggerScan + ", scans " + getFirstScan() + ".."
                + (getFirstScan() + scans - 1) + (isComplete() ? "" : " (incomplete)");
    }
}
