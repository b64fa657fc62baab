package org.vorn.acq.comedi;

import java.util.StringJoiner;

/** The trigger sources ({@code TRIG_*} bits) that each part of a subdevice's commands accepts. */
public record ComediCommandSources(int start, int scanBegin, int convert, int scanEnd, int stop) {
    private static final int[] BITS = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100};
    private static final String[] WORDS = {"none", "now", "follow", "time", "timer", "count", "ext", "int", "other"};

    /** The sources of a mask in words joined by "|", e.g. "timer|follow"; "unknown(0x...)" when no known bit is set. */
    public static String names(int sources) {
        StringJoiner words = new StringJoiner("|");
        for (int i = 0; i < BITS.length; i++) {
            if ((sources & BITS[i]) != 0) {
                words.add(WORDS[i]);
            }
        }
        return words.length() > 0 ? words.toString() : String.format("unknown(0x%08x)", sources);
    }
}
