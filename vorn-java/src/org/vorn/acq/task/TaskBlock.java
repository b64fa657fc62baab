// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.nio.ByteBuffer;
import java.util.Arrays;

import org.vorn.acq.comedi.ComediChannelRange;

/**
 * A run of whole scans handed to the listeners of an {@link AcquisitionTask}: scan {@code i} of
 * the block is scan {@code getFirstScan() + i} since the start, which began at
 * {@link #getScanStartEpochNanos(int) getStartEpochNanos() + (getFirstScan() + i) * getScanPeriodNanos()}.
 * It answers with the names of {@link org.vorn.acq.comedi.ScanBlock}, the block of the device's own
 * whole-scan read.
 *
 * <p>The task reuses one block and its arrays for every delivery: they are valid during the
 * listener call only, on the task's reader thread. Copy what you keep ({@link #copyVolts()}).
 */
public final class TaskBlock {
    private final StreamInfo stream;
    private final ComediChannelRange[] positions;
    private final double[] volts;
    private ByteBuffer raw;
    private long firstScan;
    private int scans;
    private long backlogScans;

    TaskBlock(StreamInfo stream, int capacityScans) {
        this.stream = stream;
        this.positions = stream.positions().toArray(new ComediChannelRange[0]);
        this.volts = new double[capacityScans * stream.positionCount()];
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
        int n = scans * positions.length;
        int at = raw.position();
        if (stream.sampleBytes() == 2) {
            for (int i = 0; i < n; i++) {
                volts[i] = positions[i % positions.length].toVolts(raw.getShort(at + 2 * i) & 0xFFFFL);
            }
        } else {
            for (int i = 0; i < n; i++) {
                volts[i] = positions[i % positions.length].toVolts(raw.getInt(at + 4 * i) & 0xFFFFFFFFL);
            }
        }
    }

    /**
     * What the stream is: positions and their conversions, accepted periods, start time.
     *
     * @return the description the recorder was given at the start
     */
    public StreamInfo getStream() {
        return stream;
    }

    /**
     * The number since the start (the first scan being 0) of the block's first scan.
     *
     * @return the index of scan 0 of this block in the stream
     */
    public long getFirstScan() {
        return firstScan;
    }

    /**
     * The whole scans in this block.
     *
     * @return the number of scans; every block but the last of a task has the task's {@code everyScans}
     */
    public int getScanCount() {
        return scans;
    }

    /**
     * The values of one scan.
     *
     * @return the stream's number of scan positions
     */
    public int getPositionCount() {
        return positions.length;
    }

    /**
     * How far the reader lags: the scans stored but not yet delivered when this block was, in the
     * driver's buffer and read ahead into the library's own ({@code getBufferSize()} codes), so
     * never more than the two hold. The driver's share is measured from the clock (the scans the
     * accepted timing says were converted, less those read, at most the buffer's size), not asked
     * of the driver; once the clock says the buffer overflowed, only the scans stored before the
     * overflow count, and none once the reads drained it.
     *
     * @return the backlog in scans, 0 when the reader keeps up
     */
    public long getBacklogScans() {
        return backlogScans;
    }

    /**
     * When the stream's first scan began.
     *
     * @return nanoseconds since the epoch
     */
    public long getStartEpochNanos() {
        return stream.startEpochNanos();
    }

    /**
     * The time from one scan's start to the next, as the driver accepted it.
     *
     * @return the scan period in nanoseconds
     */
    public long getScanPeriodNanos() {
        return stream.scanPeriodNanos();
    }

    /**
     * When scan {@code scan} of this block began.
     *
     * @param scan a scan of this block, counted from 0
     * @return nanoseconds since the epoch
     */
    public long getScanStartEpochNanos(int scan) {
        return stream.startEpochNanos() + (firstScan + scan) * stream.scanPeriodNanos();
    }

    /**
     * When scan {@code scan} of this block began.
     *
     * @param scan a scan of this block, counted from 0
     * @return nanoseconds since the epoch
     * @deprecated renamed {@link #getScanStartEpochNanos(int)}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public long timeNanos(int scan) {
        return getScanStartEpochNanos(scan);
    }

    /**
     * The value at {@code position} of scan {@code scan} of this block, in the unit of its range.
     *
     * @param scan     a scan of this block, 0 to {@code getScanCount() - 1}
     * @param position a scan position, 0 to {@code getPositionCount() - 1}
     * @return the converted value
     * @throws IndexOutOfBoundsException if the scan or the position is outside the block
     * @throws IllegalStateException     if the task records without delivering volts
     */
    public double getVolts(int scan, int position) {
        if (scan < 0 || scan >= scans || position < 0 || position >= positions.length) {
            throw new IndexOutOfBoundsException("scan " + scan + ", position " + position + " of a block of " + scans
                    + " scans x " + positions.length + " positions");
        }
        requireVolts();
        return volts[scan * positions.length + position];
    }

    /**
     * The value at {@code position} of scan {@code scan} of this block.
     *
     * @param scan     a scan of this block
     * @param position a scan position
     * @return {@link #getVolts(int, int)}
     * @deprecated renamed {@link #getVolts(int, int)}, the name {@code ScanBlock} uses too
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public double volts(int scan, int position) {
        return getVolts(scan, position);
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
     * {@code getScanCount() * getPositionCount()} are this block's. No copy: valid during the
     * listener call only.
     *
     * @return the task's array of values; empty for a task that records without delivering volts
     */
    public double[] getVolts() {
        return volts;
    }

    /**
     * A copy of this block's values, to keep.
     *
     * @return {@code getScanCount() * getPositionCount()} values, scan after scan, positions in order
     * @throws IllegalStateException if the task records without delivering volts
     */
    public double[] copyVolts() {
        requireVolts();
        return Arrays.copyOf(volts, scans * positions.length);
    }

    /**
     * The raw codes of the block, as the driver delivered them.
     *
     * @return a read-only view in native byte order, {@link StreamInfo#sampleBytes()} bytes a code,
     *         unsigned, scan after scan; valid during the listener call only
     */
    public ByteBuffer getRaw() {
        ByteBuffer view = raw.asReadOnlyBuffer().order(raw.order());
        view.limit(raw.position() + scans * positions.length * stream.sampleBytes());
        return view;
    }
}
