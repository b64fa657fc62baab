// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.time.Instant;
import java.util.ArrayList;
import java.util.List;
import java.util.Objects;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediChannelRange;
import org.vorn.acq.comedi.ComediRange;

/**
 * What a recorder needs to know about a stream before its first scan, to write raw codes that
 * mean something on their own: where they came from, how to turn them into volts, and when each
 * scan was taken (scan {@code k} began at {@code startEpochNanos + k * scanPeriodNanos}).
 *
 * @param device             the device path, e.g. "/dev/comedi0"
 * @param driver             the driver's name as comedilib reports it
 * @param board              the board's name as comedilib reports it
 * @param subdevice          the analog input subdevice the stream runs on
 * @param sampleBytes        2 or 4: the size of one raw code in the driver's stream
 * @param positions          what each scan position converts, in position order (at least one):
 *                           {@code positions().get(p).toVolts(raw)} is the value the library
 *                           delivers for code {@code raw} at position {@code p}
 * @param scanPeriodNanos    the scan period the driver accepted, above 0
 * @param convertPeriodNanos the convert period the driver accepted (0 when conversions follow at once)
 * @param startEpochNanos    when the stream started (its first scan began), in nanoseconds since the epoch
 * @param scansRequested     the number of scans of a finite stream, 0 for a continuous one
 * @param libraryVersion     the version of this library
 */
public record StreamInfo(String device, String driver, String board, int subdevice, int sampleBytes,
        List<ComediChannelRange> positions, long scanPeriodNanos, long convertPeriodNanos, long startEpochNanos,
        long scansRequested, String libraryVersion) {

    /**
     * A description; the positions are copied, unmodifiable.
     *
     * @param device the device path
     * @param driver the driver's name
     * @param board the board's name
     * @param subdevice the subdevice
     * @param sampleBytes 2 or 4
     * @param positions what each position converts, at least one
     * @param scanPeriodNanos the accepted scan period, above 0
     * @param convertPeriodNanos the accepted convert period
     * @param startEpochNanos when the first scan began, in nanoseconds since the epoch
     * @param scansRequested the scans of a finite stream, 0 for a continuous one
     * @param libraryVersion the version of this library
     * @throws NullPointerException if a text, the list or one of its positions is null
     * @throws IllegalArgumentException if there is no position, a raw code of other than 2 or 4 bytes, a scan period not above 0 or a negative scan count
     */
    public StreamInfo {
        Objects.requireNonNull(device, "device");
        Objects.requireNonNull(driver, "driver");
        Objects.requireNonNull(board, "board");
        Objects.requireNonNull(libraryVersion, "libraryVersion");
        positions = List.copyOf(positions);
        if (positions.isEmpty()) {
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

    /**
     * The description as 0.1 built it, with one {@link Channel} per position.
     *
     * @param device             the device path
     * @param driver             the driver's name
     * @param board              the board's name
     * @param subdevice          the subdevice the stream runs on
     * @param channels           one entry per scan position, in position order
     * @param sampleBytes        2 or 4
     * @param scanPeriodNanos    the accepted scan period
     * @param convertPeriodNanos the accepted convert period
     * @param startEpochNanos    when the first scan began, in nanoseconds since the epoch
     * @param scansRequested     the scans of a finite stream, 0 for a continuous one
     * @param libraryVersion     the version of this library
     * @deprecated the positions are {@link ComediChannelRange}s: use the canonical constructor,
     *             whose {@code sampleBytes} comes before the positions
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public StreamInfo(String device, String driver, String board, int subdevice, List<Channel> channels,
            int sampleBytes, long scanPeriodNanos, long convertPeriodNanos, long startEpochNanos, long scansRequested,
            String libraryVersion) {
        this(device, driver, board, subdevice, sampleBytes, channels.stream().map(Channel::toChannelRange).toList(),
                scanPeriodNanos, convertPeriodNanos, startEpochNanos, scansRequested, libraryVersion);
    }

    /**
     * The number of scan positions: values a scan holds.
     *
     * @return {@code positions().size()}
     */
    public int positionCount() {
        return positions.size();
    }

    /**
     * The number of scan positions.
     *
     * @return {@link #positionCount()}
     * @deprecated a count of positions is {@link #positionCount()}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public int channelCount() {
        return positionCount();
    }

    /**
     * The positions as 0.1 described them.
     *
     * @return one {@link Channel} per position, in position order
     * @deprecated use {@link #positions()}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public List<Channel> channels() {
        List<Channel> channels = new ArrayList<>(positions.size());
        for (int p = 0; p < positions.size(); p++) {
            channels.add(Channel.of(p, positions.get(p)));
        }
        return List.copyOf(channels);
    }

    /**
     * The accepted scan rate.
     *
     * @return scans a second, {@code 1e9 / scanPeriodNanos}
     */
    public double scanRateHz() {
        return 1e9 / scanPeriodNanos;
    }

    /**
     * When the first scan began, by the wall clock.
     *
     * @return {@link #startEpochNanos()} as an instant
     */
    public Instant startTime() {
        return Instant.ofEpochSecond(Math.floorDiv(startEpochNanos, 1_000_000_000L),
                Math.floorMod(startEpochNanos, 1_000_000_000L));
    }

    /**
     * One scan position as 0.1 described it: what it converts and how a raw code becomes volts.
     *
     * @param position  the scan position
     * @param channel   the hardware channel
     * @param reference the reference's name: "ground", "common", "diff" or "other"
     * @param rangeMin  the value of code 0
     * @param rangeMax  the value of code {@code maxData}
     * @param unit      the range's unit: "V", "mA", or empty for none
     * @param maxData   the largest raw code, above 0
     * @deprecated one record describes a position's conversion everywhere: {@link ComediChannelRange}
     *             ({@link StreamInfo#positions()})
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public record Channel(int position, int channel, String reference, double rangeMin, double rangeMax, String unit,
            long maxData) {
        /**
         * A description of one position.
         *
         * @param position the scan position
         * @param channel the hardware channel
         * @param reference "ground", "common", "diff" or "other"
         * @param rangeMin the value of code 0
         * @param rangeMax the value of code {@code maxData}
         * @param unit "V", "mA" or empty
         * @param maxData the largest raw code, above 0
         * @throws NullPointerException if {@code reference} or {@code unit} is null
         * @throws IllegalArgumentException if {@code maxData} is not above 0, or the reference or unit is another word
         */
        public Channel {
            Objects.requireNonNull(reference, "reference");
            Objects.requireNonNull(unit, "unit");
            if (maxData <= 0) {
                throw new IllegalArgumentException("maximum raw value " + maxData + " of position " + position
                        + " is not positive");
            }
            referenceOf(reference);
            unitOf(unit);
        }

        static Channel of(int position, ComediChannelRange c) {
            return new Channel(position, c.channel(), c.reference().nativeName(), c.range().min(), c.range().max(),
                    c.range().unit().symbol(), c.maxData());
        }

        ComediChannelRange toChannelRange() {
            return new ComediChannelRange(channel, -1, new ComediRange(rangeMin, rangeMax, unitOf(unit), false),
                    maxData, referenceOf(reference));
        }

        /**
         * The value the library delivers for {@code raw} at this position.
         *
         * @param raw an unsigned raw code
         * @return bit for bit {@link ComediChannelRange#toVolts(long)}
         */
        public double toVolts(long raw) {
            return toChannelRange().toVolts(raw);
        }

        private static AnalogReference referenceOf(String name) {
            for (AnalogReference r : AnalogReference.values()) {
                if (r.nativeName().equals(name)) {
                    return r;
                }
            }
            throw new IllegalArgumentException("reference \"" + name
                    + "\" is not one of \"ground\", \"common\", \"diff\", \"other\"");
        }

        private static ComediRange.Unit unitOf(String symbol) {
            for (ComediRange.Unit u : ComediRange.Unit.values()) {
                if (u.symbol().equals(symbol)) {
                    return u;
                }
            }
            throw new IllegalArgumentException("unit \"" + symbol + "\" is not one of \"V\", \"mA\", \"\"");
        }
    }
}
