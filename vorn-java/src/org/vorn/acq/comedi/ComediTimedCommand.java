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
     */
    public long scanPeriodNs() {
        if (scanBeginSource == TRIG_TIMER) {
            return scanBeginArg;
        }
        if (scanBeginSource == TRIG_FOLLOW && convertSource == TRIG_TIMER) {
            return convertArg * scanEndArg;
        }
        return 0;
    }
}
