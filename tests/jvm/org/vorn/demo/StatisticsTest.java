// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** The table after a streaming run: each channel's figures, and why scans are missing. */
class StatisticsTest {
    private static String table(Acquisition acq) {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        Statistics.print(acq, Input.first(acq.nChannels), new PrintStream(bytes, true, StandardCharsets.UTF_8));
        return bytes.toString(StandardCharsets.UTF_8);
    }

    /** 4 of 6 wanted scans of 2 channels arrived: channel 0 reads 1, -1, 3, -3 V, channel 1 2 V throughout. */
    private static Acquisition fourOfSixScans() {
        Acquisition acq = new Acquisition(2, 6, new String[] {"[-5, 5] V", "[-5, 5] V"}, 1_000_000);
        double[] values = {1, 2, -1, 2, 3, 2, -3, 2};
        System.arraycopy(values, 0, acq.samples, 0, values.length);
        acq.storedValues = values.length;
        acq.receivedValues = values.length;
        acq.lostScans = 2;
        acq.seconds = 0.004;
        return acq;
    }

    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void eachChannelsFiguresAndTheReasonScansAreMissing(boolean overran) {
        Acquisition acq = fourOfSixScans();
        acq.overran = overran;
        String out = table(acq);
        // min, max, mean and RMS of 1, -1, 3, -3 and of 2, 2, 2, 2
        assertTrue(out.contains("AI4      [-5, 5] V             4    -3.0000    +3.0000    +0.0000     2.2361      2"), out);
        assertTrue(out.contains("AI5      [-5, 5] V             4    +2.0000    +2.0000    +2.0000     2.0000      2"), out);
        String reason = overran ? "the driver's buffer overran, which stopped the acquisition."
                : "the clock says they were converted, but the reads fell behind.";
        assertTrue(out.endsWith("2 scans per channel never arrived: " + reason + System.lineSeparator()), out);
    }

    @Test
    void aRunWithoutLossesSaysSo() {
        Acquisition acq = fourOfSixScans();
        acq.lostScans = 0;
        String out = table(acq);
        assertTrue(out.endsWith("4 scans in 0.00 s, none lost (no overrun reported, and every read kept up with the"
                + " clock)." + System.lineSeparator()), out);
    }
}
