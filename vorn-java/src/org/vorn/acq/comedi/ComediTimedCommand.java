package org.vorn.acq.comedi;

/**
 * A timed command as comedilib's {@code comedi_get_cmd_generic_timed} proposes it, after the
 * driver's test has adjusted it: each trigger source with its argument (unsigned 32-bit values, e.g.
 * nanoseconds for a timer).
 */
public record ComediTimedCommand(int startSource, long startArg, int scanBeginSource, long scanBeginArg,
        int convertSource, long convertArg, int scanEndSource, long scanEndArg, int stopSource, long stopArg) {
    private static final int TRIG_FOLLOW = 0x4;
    private static final int TRIG_TIMER = 0x10;

    /**
     * The time between scan starts in nanoseconds: the scan timer, or with scans that follow each other
     * the conversion timer times the channels of a scan; 0 when neither is timed.
     *
     * @return the scan period in nanoseconds, or 0
     */
    public long scanPeriodNanos() {
        if (scanBeginSource == TRIG_TIMER) {
            return scanBeginArg;
        }
        if (scanBeginSource == TRIG_FOLLOW && convertSource == TRIG_TIMER) {
            return convertArg * scanEndArg;
        }
        return 0;
    }

    /**
     * The scan period under its 0.1 name.
     *
     * @return {@link #scanPeriodNanos()}
     * @deprecated use {@link #scanPeriodNanos()}: the library's durations end in "Nanos"
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public long scanPeriodNs() {
        return scanPeriodNanos();
    }
}
