package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.util.Locale;

import org.vorn.exception.ComediException;

/** What the streaming device adds to a native failure of configure() and start(), with the lock held. */
final class StreamMessages {
    private StreamMessages() {
    }

    /** The native refusal that the second command test answered with a stage other than 0. */
    static final String PREPARING_FAILED = "Error preparing command.";

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
        if (!PREPARING_FAILED.equals(e.getMessage())) {
            return e;
        }
        StreamCommand refused = StreamLifecycle.readCommand(dev, h);
        int[] fields = new int[14];
        int[] commandFields = new int[14];
        dev.nGetCommand(h, commandFields);
        int answer = commandFields[13];
        StringBuilder m = new StringBuilder(PREPARING_FAILED);
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
        ComediException explained = new ComediException(m.toString());
        explained.initCause(e);
        return explained;
    }

    /**
     * After a failed start: the native stays open on a refused command (it keeps that state until
     * nStop), so the device is stopped here and the next start() finds it closed. A start whose
     * open failed left it closed already; nStop then only says so.
     */
    static void closeAfterFailedStart(ComediAnalogStreamingDevice dev, ByteBuffer h, ComediException failure) {
        try {
            dev.nStop(h);
        } catch (ComediException alreadyClosed) {
            // Nothing was open: the failure itself is what the caller needs.
        }
    }
}
