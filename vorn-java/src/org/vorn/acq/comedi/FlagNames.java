// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.util.StringJoiner;

/** comedilib's bit masks in words, for the trace and for the description records' toString. */
final class FlagNames {
    /** The trigger sources, {@code TRIG_*}, by bit number, as the command trace writes them. */
    static final String[] TRIGGER_SOURCES = {"none", "now", "follow", "time", "timer", "count", "ext", "int", "other"};
    /** The subdevice flags, {@code SDF_*} without the prefix, by bit number; null for a bit comedilib leaves unnamed. */
    static final String[] SUBDEVICE_FLAGS = {"BUSY", "BUSY_OWNER", "LOCKED", "LOCK_OWNER", "MAXDATA", "FLAGS",
        "RANGETYPE", "PWM_COUNTER", "PWM_HBRIDGE", null, null, null, "CMD", "SOFT_CALIBRATED", "CMD_WRITE", "CMD_READ",
        "READABLE", "WRITABLE", "INTERNAL", null, "GROUND", "COMMON", "DIFF", "OTHER", "DITHER", "DEGLITCH", "MMAP",
        "RUNNING", "LSAMPL", "PACKED"};
    /** The command flags, {@code CMDF_*} without the prefix, by bit number; the rounding mode comes apart. */
    static final String[] COMMAND_FLAGS = {"BOGUS", null, null, "PRIORITY", null, "WAKE_EOS", "WRITE", "RAWDATA"};
    private static final int ROUND_MASK = 0x30000;
    private static final String[] ROUNDING = {null, "ROUND_DOWN", "ROUND_UP", "ROUND_UP_NEXT"};

    private FlagNames() {
    }

    /** The words of the set bits joined by {@code separator}; a set bit without a word as hex; empty for 0. */
    static String join(int mask, String[] names, String separator, boolean upperCase) {
        StringJoiner words = new StringJoiner(separator);
        for (int bit = 0; bit < 32; bit++) {
            if ((mask & (1 << bit)) == 0) {
                continue;
            }
            String name = bit < names.length ? names[bit] : null;
            if (name == null) {
                words.add(String.format("0x%08x", 1 << bit));
            } else {
                words.add(upperCase ? name.toUpperCase(java.util.Locale.ROOT) : name);
            }
        }
        return words.toString();
    }

    /** The set bits as a list of upper-case words, e.g. "[NOW, EXT, INT]". */
    static String list(int mask, String[] names) {
        return "[" + join(mask, names, ", ", true) + "]";
    }

    /** A command's flags: the named bits, then the rounding mode unless it is the default (nearest). */
    static String commandFlags(int flags) {
        String words = join(flags & ~ROUND_MASK, COMMAND_FLAGS, ", ", true);
        String rounding = ROUNDING[(flags & ROUND_MASK) >>> 16];
        if (rounding != null) {
            words = words.isEmpty() ? rounding : words + ", " + rounding;
        }
        return "[" + words + "]";
    }

    /** One trigger source with its argument, e.g. "TIMER 1000000 ns" or "NOW 0". */
    static String source(int source, long arg) {
        String name = source == 0 ? "INVALID" : join(source, TRIGGER_SOURCES, "|", true);
        return name + " " + arg + (source == StreamCommand.TRIG_TIMER ? " ns" : "");
    }
}
