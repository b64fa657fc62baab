// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.util.Locale;

import org.vorn.exception.ComediException;

/** What the streaming device adds to a native failure of configure() and start(), with the lock held. */
final class StreamMessages {
    private StreamMessages() {
    }

    private static final String[] TEST_RESULTS = {
        "success", "invalid source", "source conflict", "invalid argument", "argument conflict", "invalid chanlist",
    };

    static String testResultText(int result) {
        return result >= 0 && result < TEST_RESULTS.length ? TEST_RESULTS[result] : "unknown result";
    }

    /**
     * The refusal of configure(), saying why: what the driver answered to the second test and what
     * it would accept (a test of a copy of the corrected command; the command itself stays as the
     * tests left it). Other failures pass unchanged.
     */
    static ComediException explainRefusal(ComediAnalogStreamingDevice dev, ByteBuffer h, ComediException e) {
        int[] fields = new int[14];
        int[] commandFields = new int[14];
        dev.nGetCommand(h, commandFields);
        // The driver's last answer, reset before the tests: above 0 only when the second test refused.
        int answer = commandFields[13];
        if (answer <= 0) {
            return Failures.named(dev.getDevice(), e);
        }
        StreamCommand refused = StreamCommand.of(commandFields);
        StringBuilder m = new StringBuilder(e.getMessage());
        m.append(" The driver of ").append(dev.getDevice()).append(" answered the second test with ").append(answer)
                .append(" (").append(testResultText(answer)).append(") and corrected the command to ")
                .append(refused.describe());
        try {
            int verdict = dev.nTestCommandCopy(h, fields);
            StreamCommand copy = StreamCommand.of(fields);
            if (verdict == 0) {
                m.append("; it would accept ").append(copy.equals(refused) ? "that" : copy.describe());
                if (copy.scanPeriodNanos() > 0) {
                    m.append(String.format(Locale.ROOT, ", %.3f scans/s over %d channels", copy.scanRateHz(),
                            copy.chanlistLength()));
                }
                m.append(": ask for that rate or fewer channels");
            } else {
                m.append("; a test of the correction still answers ").append(verdict).append(" (")
                        .append(testResultText(verdict)).append(") with ").append(copy.describe());
            }
        } catch (ComediException again) {
            m.append("; a further test failed: ").append(again.getMessage());
        }
        return Failures.refused(m.toString(), e.getErrorNumber(), e);
    }

    /**
     * After a failed start: the native stays open on a refused command (it keeps that state until
     * nStop), so the device is stopped here and the next start() finds it closed. A start whose
     * open failed left it closed already; nStop then only says so.
     */
    static void closeAfterFailedStart(ComediAnalogStreamingDevice dev, ByteBuffer h) {
        try {
            dev.nStop(h);
        } catch (ComediException alreadyClosed) {
            // Nothing was open: the failure itself is what the caller needs.
        }
    }
}
