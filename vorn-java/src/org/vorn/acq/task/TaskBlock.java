package org.vorn.acq.task;

import java.nio.ByteBuffer;

/**
 * A run of whole scans handed to the listeners of an {@link AcquisitionTask}: scan {@code i} of
 * the block is scan {@code getFirstScan() + i} since the start, which began at
 * {@code getStartEpochNanos() + (getFirstScan() + i) * getScanPeriodNanos()}.
 *
 * <p>The task reuses one block and its arrays for every delivery: they are valid during the
 * listener call only. Copy what you keep ({@link #copyVolts()}).
 */
public final class TaskBlock {
    private final StreamInfo stream;
    private final StreamInfo.Channel[] channels;
    private final double[] volts;
    private ByteBuffer raw;
    private long firstScan;
    private int scans;
    private long backlogScans;

    TaskBlock(StreamInfo stream, int capacityScans) {
        this.stream = stream;
        this.channels = stream.channels().toArray(new StreamInfo.Channel[0]);
        this.volts = new double[capacityScans * stream.channelCount()];
    }

    void fill(ByteBuffer rawScans, long first, int count, long backlog, boolean convert) {
        raw = rawScans;
        firstScan = first;
        scans = count;
        backlogScans = backlog;
        if (convert) {
            convert();
        }
    }

    /** The library's conversion of every code of the block, position by position. */
    private void convert() {
        int positions = stream.channelCount();
        int n = scans * positions;
        int at = raw.position();
        if (stream.sampleBytes() == 2) {
            for (int i = 0; i < n; i++) {
                volts[i] = channels[i % positions].toVolts(raw.getShort(at + 2 * i) & 0xFFFFL);
            }
        } else {
            for (int i = 0; i < n; i++) {
                volts[i] = channels[i % positions].toVolts(raw.getInt(at + 4 * i) & 0xFFFFFFFFL);
            }
        }
    }

    /** What the stream is: positions, ranges, accepted periods, start time. */
    public StreamInfo getStream() {
        return stream;
    }

    /** The index since the start of the block's first scan. */
    public long getFirstScan() {
        return firstScan;
    }

    /** Whole scans in this block. */
    public int getScanCount() {
        return scans;
    }

    public int getPositionCount() {
        return stream.channelCount();
    }

    /**
     * How far the reader lags: the scans stored but not yet delivered when this block was, in the
     * driver's buffer and read ahead into the library's own ({@code getBufferSize()} codes), so
     * never more than the two hold. The driver's share is measured from the clock (the scans the
     * accepted timing says were converted, less those read, at most the buffer's size), not asked
     * of the driver; once the clock says the buffer overflowed, only the scans stored before the
     * overflow count, and none once the reads drained it.
     */
    public long getBacklogScans() {
        return backlogScans;
    }

    public long getStartEpochNanos() {
        return stream.startEpochNanos();
    }

    public long getScanPeriodNanos() {
        return stream.scanPeriodNanos();
    }

    /** When scan {@code scan} of this block began, in ns since the epoch. */
    public long timeNanos(int scan) {
        return stream.startEpochNanos() + (firstScan + scan) * stream.scanPeriodNanos();
    }

    /** The value at {@code position} of scan {@code scan} of this block, in the unit of its range. */
    public double volts(int scan, int position) {
        if (scan < 0 || scan >= scans || position < 0 || position >= stream.channelCount()) {
            throw new IndexOutOfBoundsException("scan " + scan + ", position " + position + " of a block of " + scans
                    + " scans x " + stream.channelCount() + " positions");
        }
        requireVolts();
        return volts[scan * stream.channelCount() + position];
    }

    /** A task that only records converts nothing: its blocks have no volts to give, not zeros. */
    private void requireVolts() {
        if (volts.length == 0 && scans > 0) {
            throw new IllegalStateException("the task records without delivering volts (recordTo(recorder, false)):"
                    + " read the block's raw codes, or build it with recordTo(recorder, true)");
        }
    }

    /**
     * The block's values, scan after scan, positions in order; only the first
     * {@code getScanCount() * getPositionCount()} are this block's. Valid during the call only;
     * empty for a task that records without delivering volts.
     */
    public double[] getVolts() {
        return volts;
    }

    /** A copy of this block's values, to keep. */
    public double[] copyVolts() {
        requireVolts();
        return java.util.Arrays.copyOf(volts, scans * stream.channelCount());
    }

    /** The raw codes of the block, read-only, in native order, {@link StreamInfo#sampleBytes()} each. */
    public ByteBuffer getRaw() {
        ByteBuffer view = raw.asReadOnlyBuffer().order(raw.order());
        view.limit(raw.position() + scans * stream.channelCount() * stream.sampleBytes());
        return view;
    }
}
