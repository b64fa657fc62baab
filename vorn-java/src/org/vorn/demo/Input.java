// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.util.Arrays;

/** One stream position: hardware channel, range asked for, and what the emulated board feeds it. */
record Input(int channel, double min, double max, String emulatedSignal) {
    /**
     * Channels in the order {@code --channels N} takes them. The first four show the emulated
     * board's moving signals and a DC level; each range is the narrowest that holds its signal.
     */
    private static final Input[] ALL = {
        new Input(4, -5, 5, "2 V sine, 10 Hz"),
        new Input(5, -5, 5, "+/-3 V square, 5 Hz"),
        new Input(6, -5, 5, "-4..+4 V sawtooth, 2 Hz"),
        new Input(1, -5, 5, "+1 V DC"),
        new Input(3, -5, 5, "+4 V DC"),
        new Input(2, -5, 5, "-2.5 V DC"),
        new Input(12, -5, 5, "+3.3 V DC"),
        new Input(10, -1, 1, "+0.5 V DC"),
        new Input(11, -1, 1, "-0.5 V DC"),
        new Input(0, -1, 1, "0 V"),
        new Input(8, -10, 10, "+9 V DC"),
        new Input(9, -10, 10, "-9 V DC"),
        new Input(13, -10, 10, "-7 V DC"),
        new Input(14, -10, 10, "AO0 looped back"),
        new Input(15, -10, 10, "AO1 looped back"),
        new Input(7, -10, 10, "sample counter"),
    };

    /** The most channels the demo streams. */
    static final int COUNT = ALL.length;

    /** The first {@code n} positions, as {@code --channels n} streams them. */
    static Input[] first(int n) {
        return Arrays.copyOf(ALL, n);
    }

    String name() {
        return "AI" + channel;
    }

    /** The CSV file's column. */
    String column() {
        return "ai" + channel + "_V";
    }

    String range() {
        return range("+/-");
    }

    /** For the plot, whose fonts have the sign whatever the terminal's encoding. */
    String plotRange() {
        return range("\u00b1");
    }

    private String range(String plusMinus) {
        return min == -max ? plusMinus + Numbers.plain(max) + " V"
                : Numbers.plain(min) + ".." + Numbers.plain(max) + " V";
    }
}
