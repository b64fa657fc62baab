package org.vorn.acq.comedi;

/**
 * Whole scans from a streaming device, with their place in the stream: the caller makes one and
 * hands it to {@link ComediAnalogStreamingDevice#readScans} again and again (nothing is allocated
 * per read). The values are volts, either interleaved (scan after scan, each in position order) or
 * one array per scan position.
 *
 * <p>Scan {@code i} of a block is scan {@link #firstScan()} + {@code i} of the stream; it was
 * converted (its last conversion) at {@code (firstScan() + i + 1) x getScanPeriodNanos()}
 * nanoseconds after the first scan began, and began at {@code (firstScan() + i) x} the period.
 */
public final class ScanBlock {
    private final int channels;
    private final int capacity;
    private final double[] interleaved;
    private final double[][] perChannel;
    int scans;
    long firstScan;
    boolean endOfStream;

    private ScanBlock(int channels, int capacity, boolean split) {
        if (channels < 1 || capacity < 1) {
            throw new IllegalArgumentException("a scan block needs at least 1 channel and 1 scan, not " + channels
                    + " x " + capacity);
        }
        if ((long) channels * capacity > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException(channels + " x " + capacity + " values do not fit one array");
        }
        this.channels = channels;
        this.capacity = capacity;
        this.interleaved = split ? null : new double[channels * capacity];
        this.perChannel = split ? new double[channels][capacity] : null;
    }

    /** Room for {@code maxScans} scans of {@code channels} values, interleaved in {@link #values()}. */
    public static ScanBlock interleaved(int channels, int maxScans) {
        return new ScanBlock(channels, maxScans, false);
    }

    /** Room for {@code maxScans} scans, one array per scan position ({@link #channel(int)}). */
    public static ScanBlock perChannel(int channels, int maxScans) {
        return new ScanBlock(channels, maxScans, true);
    }

    public int channelCount() {
        return channels;
    }

    /** The most scans one read puts into this block. */
    public int capacity() {
        return capacity;
    }

    /** Scans the last read delivered (0 when it timed out with nothing). */
    public int scans() {
        return scans;
    }

    /** Index in the stream, counted from 0 at start, of the block's first scan. */
    public long firstScan() {
        return firstScan;
    }

    /** True once a counted stream has delivered its last scan: no read will bring more. */
    public boolean endOfStream() {
        return endOfStream;
    }

    public boolean isInterleaved() {
        return interleaved != null;
    }

    /** The interleaved values ({@code scans() x channelCount()} valid); fails for a per-channel block. */
    public double[] values() {
        if (interleaved == null) {
            throw new IllegalStateException("this block keeps one array per channel: use channel(position)");
        }
        return interleaved;
    }

    /** The values of scan position {@code position} ({@code scans()} valid); fails for an interleaved block. */
    public double[] channel(int position) {
        if (perChannel == null) {
            throw new IllegalStateException("this block is interleaved: use values()");
        }
        return perChannel[position];
    }

    /** The value of position {@code position} in scan {@code scan} of the block. */
    public double get(int scan, int position) {
        if (scan < 0 || scan >= scans || position < 0 || position >= channels) {
            throw new IndexOutOfBoundsException("scan " + scan + " position " + position + " of " + scans + " x "
                    + channels);
        }
        return interleaved != null ? interleaved[scan * channels + position] : perChannel[position][scan];
    }

    /** Stores value {@code k} of the read (k counted over the interleaved order). */
    void put(int k, double value) {
        if (interleaved != null) {
            interleaved[k] = value;
        } else {
            perChannel[k % channels][k / channels] = value;
        }
    }
}
