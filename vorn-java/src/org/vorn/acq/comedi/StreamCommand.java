package org.vorn.acq.comedi;

/**
 * The acquisition command of a streaming device as the driver's test left it: the trigger sources
 * and their arguments that the command trace prints. Sources are comedilib's {@code TRIG_*} bits
 * ({@link #TRIG_NONE}, {@link #TRIG_NOW}, {@link #TRIG_TIMER}, {@link #TRIG_COUNT}, ...); timer
 * arguments are nanoseconds, count arguments numbers. Arguments are unsigned 32-bit values held in
 * a {@code long}.
 */
public record StreamCommand(int subdevice, int flags, int startSource, long startArg, int scanBeginSource,
        long scanBeginArg, int convertSource, long convertArg, int scanEndSource, long scanEndArg, int stopSource,
        long stopArg, int chanlistLength) {
    public static final int TRIG_NONE = 0x1;
    public static final int TRIG_NOW = 0x2;
    public static final int TRIG_FOLLOW = 0x4;
    public static final int TRIG_TIME = 0x8;
    public static final int TRIG_TIMER = 0x10;
    public static final int TRIG_COUNT = 0x20;
    public static final int TRIG_EXT = 0x40;
    public static final int TRIG_INT = 0x80;
    public static final int TRIG_OTHER = 0x100;

    /** Decodes the natives' field order (see stream_timing.cpp). */
    static StreamCommand of(int[] f) {
        return new StreamCommand(f[0], f[1], f[2], u(f[3]), f[4], u(f[5]), f[6], u(f[7]), f[8], u(f[9]), f[10],
                u(f[11]), f[12]);
    }

    private static long u(int v) {
        return Integer.toUnsignedLong(v);
    }

    /** Nanoseconds from one scan's start to the next: the timer argument, or the conversions of a scan that follows the last. */
    public long scanPeriodNanos() {
        if (scanBeginSource == TRIG_TIMER) {
            return scanBeginArg;
        }
        return convertSource == TRIG_TIMER ? convertArg * chanlistLength : 0;
    }

    /** Nanoseconds between two conversions of a scan; 0 when the board converts as fast as it can. */
    public long convertPeriodNanos() {
        return convertSource == TRIG_TIMER ? convertArg : 0;
    }

    /** Scans a second, as the board runs them; NaN when the scans are not timed. */
    public double scanRateHz() {
        long period = scanPeriodNanos();
        return period > 0 ? 1e9 / period : Double.NaN;
    }

    /** The number of scans of a counted stream, 0 for one that runs until stopped. */
    public long scanCount() {
        return stopSource == TRIG_COUNT ? stopArg : 0;
    }

    /** The trigger-source words as the trace writes them, e.g. "timer" or "now|int". */
    public static String sourceName(int source) {
        String[] words = {"none", "now", "follow", "time", "timer", "count", "ext", "int", "other"};
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < words.length; i++) {
            if ((source & (1 << i)) != 0) {
                b.append(b.length() == 0 ? "" : "|").append(words[i]);
            }
        }
        return b.length() == 0 ? String.format("unknown(0x%08x)", source) : b.toString();
    }

    /** The command in one line: "scan_begin timer 333000 ns, convert timer 111000 ns, scan_end count 3, stop none 0". */
    public String describe() {
        return "start " + sourceName(startSource) + " " + startArg + ", scan_begin " + sourceName(scanBeginSource) + " "
                + scanBeginArg + (scanBeginSource == TRIG_TIMER ? " ns" : "") + ", convert " + sourceName(convertSource)
                + " " + convertArg + (convertSource == TRIG_TIMER ? " ns" : "") + ", scan_end "
                + sourceName(scanEndSource) + " " + scanEndArg + ", stop " + sourceName(stopSource) + " " + stopArg;
    }
}
