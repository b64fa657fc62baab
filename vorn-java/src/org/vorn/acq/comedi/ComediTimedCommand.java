// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * A timed command as comedilib's {@code comedi_get_cmd_generic_timed} proposes it, after the
 * driver's test has adjusted it: each trigger source ({@code TRIG_*} bits, as in
 * {@link StreamCommand#TRIG_TIMER}) with its argument (unsigned 32-bit values: nanoseconds for a
 * timer, a number for a count).
 *
 * @param startSource     the source of the acquisition's start
 * @param startArg        its argument
 * @param scanBeginSource the source of each scan's start
 * @param scanBeginArg    its argument (the scan period in nanoseconds for a timer)
 * @param convertSource   the source of each conversion
 * @param convertArg      its argument (the convert period in nanoseconds for a timer)
 * @param scanEndSource   the source of each scan's end
 * @param scanEndArg      its argument (the conversions of a scan for a count)
 * @param stopSource      the source of the acquisition's end
 * @param stopArg         its argument (the scans for a count)
 */
public record ComediTimedCommand(int startSource, long startArg, int scanBeginSource, long scanBeginArg,
        int convertSource, long convertArg, int scanEndSource, long scanEndArg, int stopSource, long stopArg) {

    /**
     * The time between scan starts: the scan timer, or with scans that follow each other the
     * conversion timer times the conversions of a scan.
     *
     * @return nanoseconds; 0 when neither is timed
     */
    public long scanPeriodNanos() {
        if (scanBeginSource == StreamCommand.TRIG_TIMER) {
            return scanBeginArg;
        }
        if (scanBeginSource == StreamCommand.TRIG_FOLLOW && convertSource == StreamCommand.TRIG_TIMER) {
            return convertArg * scanEndArg;
        }
        return 0;
    }

    /**
     * The time between scan starts.
     *
     * @return {@link #scanPeriodNanos()}
     * @deprecated renamed {@link #scanPeriodNanos()}: nanoseconds end in {@code Nanos}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public long scanPeriodNs() {
        return scanPeriodNanos();
    }

    /**
     * Every source by name with its argument.
     *
     * @return e.g. {@code ComediTimedCommand[start=NOW 0, scanBegin=TIMER 1000 ns, convert=TIMER 1000 ns,
     *         scanEnd=COUNT 1, stop=NONE 0]}
     */
    @Override
    public String toString() {
        return "ComediTimedCommand[start=" + FlagNames.source(startSource, startArg) + ", scanBegin="
                + FlagNames.source(scanBeginSource, scanBeginArg) + ", convert="
                + FlagNames.source(convertSource, convertArg) + ", scanEnd="
                + FlagNames.source(scanEndSource, scanEndArg) + ", stop=" + FlagNames.source(stopSource, stopArg) + "]";
    }
}
