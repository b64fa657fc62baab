package org.vorn.acq.task;

import java.time.Instant;
import java.util.List;
import java.util.Objects;

/**
 * What a recorder needs to know about a stream before its first scan, to write raw codes that
 * mean something on their own: where they came from, how to turn them into volts, and when each
 * scan was taken (scan {@code k} began at {@code startEpochNanos + k * scanPeriodNanos}).
 *
 * @param device           the device path, e.g. "/dev/comedi0"
 * @param driver           the driver's name as comedilib reports it
 * @param board            the board's name as comedilib reports it
 * @param subdevice        the analog input subdevice the stream runs on
 * @param channels         one entry per scan position, in position order
 * @param sampleBytes      2 or 4: the size of one raw code in the driver's stream
 * @param scanPeriodNanos  the scan period the driver accepted
 * @param convertPeriodNanos the convert period the driver accepted (0 when conversions follow at once)
 * @param startEpochNanos  when the stream started (its first scan began), in nanoseconds since the epoch
 * @param scansRequested   the number of scans of a finite stream, 0 for a continuous one
 * @param libraryVersion   the version of this library
 */
public record StreamInfo(String device, String driver, String board, int subdevice, List<Channel> channels,
        int sampleBytes, long scanPeriodNanos, long convertPeriodNanos, long startEpochNanos, long scansRequested,
        String libraryVersion) {

    /**
     * One scan position: what it converts and how a raw code becomes volts. The library converts
     * {@code raw / maxData * (rangeMax - rangeMin) + rangeMin} in doubles, in that order, and so
     * must anyone who wants the same volts from the raw codes.
     */
    public record Channel(int position, int channel, String reference, double rangeMin, double rangeMax, String unit,
            long maxData) {
        public Channel {
            Objects.requireNonNull(reference, "reference");
            Objects.requireNonNull(unit, "unit");
            if (maxData <= 0) {
                throw new IllegalArgumentException("maximum raw value " + maxData + " of position " + position
                        + " is not positive");
            }
        }

        /** The value the library delivers for {@code raw} at this position. */
        public double toVolts(long raw) {
            double x = raw;
            x /= maxData;
            x *= rangeMax - rangeMin;
            x += rangeMin;
            return x;
        }
    }

    public StreamInfo {
        Objects.requireNonNull(device, "device");
        Objects.requireNonNull(driver, "driver");
        Objects.requireNonNull(board, "board");
        Objects.requireNonNull(libraryVersion, "libraryVersion");
        channels = List.copyOf(channels);
        if (channels.isEmpty()) {
            throw new IllegalArgumentException("a stream has at least one scan position");
        }
        if (sampleBytes != 2 && sampleBytes != 4) {
            throw new IllegalArgumentException("a raw code has 2 or 4 bytes, not " + sampleBytes);
        }
        if (scanPeriodNanos <= 0) {
            throw new IllegalArgumentException("scan period " + scanPeriodNanos + " ns is not positive");
        }
        if (scansRequested < 0) {
            throw new IllegalArgumentException("scans requested " + scansRequested + " is negative");
        }
    }

    public int channelCount() {
        return channels.size();
    }

    /** The accepted scan rate in Hz. */
    public double scanRateHz() {
        return 1e9 / scanPeriodNanos;
    }

    public Instant startTime() {
        return Instant.ofEpochSecond(Math.floorDiv(startEpochNanos, 1_000_000_000L),
                Math.floorMod(startEpochNanos, 1_000_000_000L));
    }
}
