// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * The acquisition command of a streaming device as the driver's test left it: the trigger sources
 * and their arguments that the command trace prints. Sources are comedilib's {@code TRIG_*} bits
 * ({@link #TRIG_NONE}, {@link #TRIG_NOW}, {@link #TRIG_TIMER}, {@link #TRIG_COUNT}, ...); timer
 * arguments are nanoseconds, count arguments numbers. Arguments are unsigned 32-bit values held in
 * a {@code long}. Its {@link #toString()} names the flags and sources.
 *
 * @param subdevice       the subdevice the command runs on
 * @param flags           comedilib's {@code CMDF_*} flags
 * @param startSource     the source of the acquisition's start
 * @param startArg        its argument
 * @param scanBeginSource the source of each scan's start
 * @param scanBeginArg    its argument (the scan period in nanoseconds for {@link #TRIG_TIMER})
 * @param convertSource   the source of each conversion
 * @param convertArg      its argument (the convert period in nanoseconds for {@link #TRIG_TIMER})
 * @param scanEndSource   the source of each scan's end
 * @param scanEndArg      its argument (the conversions of a scan for {@link #TRIG_COUNT})
 * @param stopSource      the source of the acquisition's end
 * @param stopArg         its argument (the scans of a counted stream for {@link #TRIG_COUNT})
 * @param chanlistLength  the scan positions of the command
 */
public record StreamCommand(int subdevice, int flags, int startSource, long startArg, int scanBeginSource,
        long scanBeginArg, int convertSource, long convertArg, int scanEndSource, long scanEndArg, int stopSource,
        long stopArg, int chanlistLength) {
    /** comedilib's {@code TRIG_NONE}: never (a stream that runs until stopped). */
    public static final int TRIG_NONE = 0x1;
    /** comedilib's {@code TRIG_NOW}: at once, the argument in nanoseconds later. */
    public static final int TRIG_NOW = 0x2;
    /** comedilib's {@code TRIG_FOLLOW}: right after the previous part. */
    public static final int TRIG_FOLLOW = 0x4;
    /** comedilib's {@code TRIG_TIME}: at an absolute time. */
    public static final int TRIG_TIME = 0x8;
    /** comedilib's {@code TRIG_TIMER}: periodically, every argument nanoseconds. */
    public static final int TRIG_TIMER = 0x10;
    /** comedilib's {@code TRIG_COUNT}: after argument events. */
    public static final int TRIG_COUNT = 0x20;
    /** comedilib's {@code TRIG_EXT}: on an external signal, the argument naming it. */
    public static final int TRIG_EXT = 0x40;
    /** comedilib's {@code TRIG_INT}: on an internal trigger that the program sends. */
    public static final int TRIG_INT = 0x80;
    /** comedilib's {@code TRIG_OTHER}: as the driver defines. */
    public static final int TRIG_OTHER = 0x100;

    /** Decodes the natives' field order (see stream_timing.cpp). */
    static StreamCommand of(int[] f) {
        return new StreamCommand(f[0], f[1], f[2], u(f[3]), f[4], u(f[5]), f[6], u(f[7]), f[8], u(f[9]), f[10],
                u(f[11]), f[12]);
    }

    private static long u(int v) {
        return Integer.toUnsignedLong(v);
    }

    /**
     * The time from one scan's start to the next: the timer argument, or the conversions of a scan
     * that follows the last.
     *
     * @return nanoseconds; 0 when the scans are not timed
     */
    public long scanPeriodNanos() {
        if (scanBeginSource == TRIG_TIMER) {
            return scanBeginArg;
        }
        return convertSource == TRIG_TIMER ? convertArg * chanlistLength : 0;
    }

    /**
     * The time between two conversions of a scan.
     *
     * @return nanoseconds; 0 when the board converts as fast as it can
     */
    public long convertPeriodNanos() {
        return convertSource == TRIG_TIMER ? convertArg : 0;
    }

    /**
     * Scans a second, as the board runs them.
     *
     * @return {@code 1e9 / scanPeriodNanos()}; NaN when the scans are not timed
     */
    public double scanRateHz() {
        long period = scanPeriodNanos();
        return period > 0 ? 1e9 / period : Double.NaN;
    }

    /**
     * The number of scans of a counted stream.
     *
     * @return the stop count, 0 for a stream that runs until stopped
     */
    public long scanCount() {
        return stopSource == TRIG_COUNT ? stopArg : 0;
    }

    /**
     * The trigger-source words as the trace writes them.
     *
     * @param source a mask of {@code TRIG_*} bits
     * @return e.g. "timer" or "now|int"; "unknown(0x...)" when no known bit is set
     */
    public static String sourceName(int source) {
        return ComediCommandSources.names(source);
    }

    /**
     * The command in one line, as the trace words it.
     *
     * @return e.g. "start now 0, scan_begin timer 333000 ns, convert timer 111000 ns, scan_end count 3, stop none 0"
     */
    public String describe() {
        return "start " + sourceName(startSource) + " " + startArg + ", scan_begin " + sourceName(scanBeginSource) + " "
                + scanBeginArg + (scanBeginSource == TRIG_TIMER ? " ns" : "") + ", convert " + sourceName(convertSource)
                + " " + convertArg + (convertSource == TRIG_TIMER ? " ns" : "") + ", scan_end "
                + sourceName(scanEndSource) + " " + scanEndArg + ", stop " + sourceName(stopSource) + " " + stopArg;
    }

    /**
     * Every field, with the flags and sources by name.
     *
     * @return e.g. {@code StreamCommand[subdevice=0, flags=[], start=NOW 0, scanBegin=TIMER 333000 ns,
     *         convert=TIMER 111000 ns, scanEnd=COUNT 3, stop=NONE 0, chanlistLength=3]}
     */
    @Override
    public String toString() {
        return "StreamCommand[subdevice=" + subdevice + ", flags=" + FlagNames.commandFlags(flags) + ", start="
                + FlagNames.source(startSource, startArg) + ", scanBegin="
                + FlagNames.source(scanBeginSource, scanBeginArg) + ", convert="
                + FlagNames.source(convertSource, convertArg) + ", scanEnd="
                + FlagNames.source(scanEndSource, scanEndArg) + ", stop=" + FlagNames.source(stopSource, stopArg)
                + ", chanlistLength=" + chanlistLength + "]";
    }
}
