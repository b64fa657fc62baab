// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The numbers a user reads back: option values in titles, and the CSV file's six decimals. */
class NumbersTest {
    @ParameterizedTest
    @CsvSource({"1000, 1000", "-2, -2", "0.5, 0.5", "0.0025, 0.0025", "1e15, 1.0E15", "2500.5, 2500.5"})
    void plainDropsTheFractionOfAWholeNumberOnly(double v, String expected) {
        assertEquals(expected, Numbers.plain(v));
    }

    @ParameterizedTest
    @CsvSource({
        "0, 0.000000",
        "1.5, 1.500000",
        "-1.25, -1.250000",
        "0.000001, 0.000001",
        "0.0000005, 0.000001",       // half a microvolt rounds up
        "-0.0000006, -0.000001",
        "-0.0000004, 0.000000",       // no "-0" for what rounds to zero
        "9.9999996, 10.000000",       // the carry reaches the whole part
        "123.4567894, 123.456789",
        "-4.999, -4.999000",
    })
    void sixDecimalsAreRoundedToTheMicroAndPadded(double v, String expected) {
        StringBuilder sb = new StringBuilder("x");
        Numbers.appendSixDecimals(sb, v);
        assertEquals("x" + expected, sb.toString());
    }
}
