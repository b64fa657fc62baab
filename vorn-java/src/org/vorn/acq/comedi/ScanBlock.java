// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * Whole scans from a streaming device, with their place in the stream: the caller makes one and
 * hands it to {@link ComediAnalogStreamingDevice#readScans} again and again (nothing is allocated
 * per read). The values are volts, either interleaved (scan after scan, each in position order) or
 * one array per scan position. It answers with the names of {@code org.vorn.acq.task.TaskBlock},
 * the block of an acquisition task.
 *
 * <p>Scan {@code i} of a block is scan {@link #getFirstScan()} + {@code i} of the stream; it was
 * converted (its last conversion) at {@code (getFirstScan() + i + 1) x getScanPeriodNanos()}
 * nanoseconds after the first scan began, and began at {@code (getFirstScan() + i) x} the period.
 *
 * <p>A block is not safe for use by two threads at once: one reader fills and reads it.
 */
public final class ScanBlock {
    private final int positions;
    private final int capacity;
    private final double[] interleaved;
    private final double[][] perPosition;
    int scans;
    long firstScan;
    boolean endOfStream;

    private ScanBlock(int positions, int capacity, boolean split) {
        if (positions < 1 || capacity < 1) {
            throw new IllegalArgumentException("a scan block needs at least 1 position and 1 scan, not " + positions
                    + " x " + capacity);
        }
        if ((long) positions * capacity > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException(positions + " x " + capacity + " values do not fit one array");
        }
        this.positions = positions;
        this.capacity = capacity;
        this.interleaved = split ? null : new double[positions * capacity];
        this.perPosition = split ? new double[positions][capacity] : null;
    }

    /**
     * A block whose values are interleaved, scan after scan, in {@link #getVolts()}.
     *
     * @param positions the scan positions of the stream it will read (its {@code getPositionCount()})
     * @param maxScans  the most scans one read puts into it
     * @return an empty block
     * @throws IllegalArgumentException if either count is below 1 or they do not fit one array
     */
    public static ScanBlock interleaved(int positions, int maxScans) {
        return new ScanBlock(positions, maxScans, false);
    }

    /**
     * A block that keeps one array per scan position ({@link #getPositionVolts(int)}).
     *
     * @param positions the scan positions of the stream it will read
     * @param maxScans  the most scans one read puts into it
     * @return an empty block
     * @throws IllegalArgumentException if either count is below 1 or they do not fit one array
     */
    public static ScanBlock perPosition(int positions, int maxScans) {
        return new ScanBlock(positions, maxScans, true);
    }

    /**
     * A block that keeps one array per scan position.
     *
     * @param channels the scan positions of the stream
     * @param maxScans the most scans one read puts into it
     * @return {@link #perPosition(int, int)}
     * @deprecated renamed {@link #perPosition(int, int)}: its arrays are per scan position
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public static ScanBlock perChannel(int channels, int maxScans) {
        return perPosition(channels, maxScans);
    }

    /**
     * The values of one scan.
     *
     * @return the number of scan positions the block was made for
     */
    public int getPositionCount() {
        return positions;
    }

    /**
     * The number of scan positions.
     *
     * @return {@link #getPositionCount()}
     * @deprecated renamed {@link #getPositionCount()}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public int channelCount() {
        return getPositionCount();
    }

    /**
     * The most scans one read puts into this block.
     *
     * @return the block's room, in scans
     */
    public int getCapacity() {
        return capacity;
    }

    /**
     * The most scans one read puts into this block.
     *
     * @return {@link #getCapacity()}
     * @deprecated renamed {@link #getCapacity()}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public int capacity() {
        return getCapacity();
    }

    /**
     * The whole scans the last read delivered.
     *
     * @return the number of scans, 0 when the read timed out with nothing
     */
    public int getScanCount() {
        return scans;
    }

    /**
     * The whole scans the last read delivered.
     *
     * @return {@link #getScanCount()}
     * @deprecated renamed {@link #getScanCount()}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public int scans() {
        return getScanCount();
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
     * The index in the stream of the block's first scan.
     *
     * @return {@link #getFirstScan()}
     * @deprecated renamed {@link #getFirstScan()}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public long firstScan() {
        return getFirstScan();
    }

    /**
     * Whether a counted stream has delivered its last scan: no read will bring more.
     *
     * @return true after the read that ended the stream
     */
    public boolean isEndOfStream() {
        return endOfStream;
    }

    /**
     * Whether a counted stream has delivered its last scan.
     *
     * @return {@link #isEndOfStream()}
     * @deprecated renamed {@link #isEndOfStream()}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public boolean endOfStream() {
        return isEndOfStream();
    }

    /**
     * Whether the values are interleaved ({@link #getVolts()}) rather than one array per position.
     *
     * @return true for a block made by {@link #interleaved(int, int)}
     */
    public boolean isInterleaved() {
        return interleaved != null;
    }

    /**
     * The interleaved values, scan after scan, positions in order; only the first
     * {@code getScanCount() * getPositionCount()} are the last read's. No copy: the next read
     * overwrites them.
     *
     * @return the block's array
     * @throws IllegalStateException for a block made by {@link #perPosition(int, int)}
     */
    public double[] getVolts() {
        if (interleaved == null) {
            throw new IllegalStateException("this block keeps one array per position: use getPositionVolts(position)");
        }
        return interleaved;
    }

    /**
     * The interleaved values.
     *
     * @return {@link #getVolts()}
     * @deprecated renamed {@link #getVolts()}, the name {@code TaskBlock} uses too
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public double[] values() {
        return getVolts();
    }

    /**
     * The values of one scan position, one per scan; only the first {@code getScanCount()} are
     * the last read's. No copy: the next read overwrites them.
     *
     * @param position a scan position, 0 to {@code getPositionCount() - 1}
     * @return the block's array for that position
     * @throws IllegalStateException          for a block made by {@link #interleaved(int, int)}
     * @throws ArrayIndexOutOfBoundsException if the position is outside the block
     */
    public double[] getPositionVolts(int position) {
        if (perPosition == null) {
            throw new IllegalStateException("this block is interleaved: use getVolts()");
        }
        return perPosition[position];
    }

    /**
     * The values of one scan position.
     *
     * @param position a scan position
     * @return {@link #getPositionVolts(int)}
     * @deprecated renamed {@link #getPositionVolts(int)}: the array is a scan position's
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public double[] channel(int position) {
        return getPositionVolts(position);
    }

    /**
     * The value of position {@code position} in scan {@code scan} of the block, for either layout.
     *
     * @param scan     a scan of the block, 0 to {@code getScanCount() - 1}
     * @param position a scan position, 0 to {@code getPositionCount() - 1}
     * @return the value in the unit of the position's range
     * @throws IndexOutOfBoundsException if the scan or the position is outside the block
     */
    public double getVolts(int scan, int position) {
        if (scan < 0 || scan >= scans || position < 0 || position >= positions) {
            throw new IndexOutOfBoundsException("scan " + scan + " position " + position + " of " + scans + " x "
                    + positions);
        }
        return interleaved != null ? interleaved[scan * positions + position] : perPosition[position][scan];
    }

    /**
     * The value of position {@code position} in scan {@code scan} of the block.
     *
     * @param scan     a scan of the block
     * @param position a scan position
     * @return {@link #getVolts(int, int)}
     * @deprecated renamed {@link #getVolts(int, int)}, the name {@code TaskBlock} uses too
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public double get(int scan, int position) {
        return getVolts(scan, position);
    }

    /** Stores value {@code k} of the read (k counted over the interleaved order). */
    void put(int k, double value) {
        if (interleaved != null) {
            interleaved[k] = value;
        } else {
            perPosition[k % positions][k / positions] = value;
        }
    }
}
