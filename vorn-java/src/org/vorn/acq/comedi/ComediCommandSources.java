// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * The trigger sources ({@code TRIG_*} bits, as in {@link StreamCommand#TRIG_TIMER}) that each part
 * of a subdevice's commands accepts. Its {@link #toString()} names them:
 * {@code ComediCommandSources[start=[NOW, EXT, INT], scanBegin=[FOLLOW, TIMER, EXT], ...]}.
 *
 * @param start     the sources the start of an acquisition accepts
 * @param scanBegin the sources the start of each scan accepts
 * @param convert   the sources each conversion accepts
 * @param scanEnd   the sources the end of each scan accepts
 * @param stop      the sources the end of the acquisition accepts
 */
public record ComediCommandSources(int start, int scanBegin, int convert, int scanEnd, int stop) {
    /** The bits that have a trigger-source word. */
    private static final int KNOWN = (1 << FlagNames.TRIGGER_SOURCES.length) - 1;

    /**
     * The sources of a mask in the words of the command trace, joined by "|".
     *
     * @param sources a mask of {@code TRIG_*} bits
     * @return e.g. "follow|timer"; "unknown(0x...)" when no known bit is set
     */
    public static String names(int sources) {
        String words = FlagNames.join(sources & KNOWN, FlagNames.TRIGGER_SOURCES, "|", false);
        return words.isEmpty() ? String.format("unknown(0x%08x)", sources) : words;
    }

    /**
     * Every part with its sources by name, in bit order.
     *
     * @return e.g. {@code ComediCommandSources[start=[NOW, INT], scanBegin=[TIMER], convert=[TIMER],
     *         scanEnd=[COUNT], stop=[NONE, COUNT]]}
     */
    @Override
    public String toString() {
        return "ComediCommandSources[start=" + FlagNames.list(start, FlagNames.TRIGGER_SOURCES) + ", scanBegin="
                + FlagNames.list(scanBegin, FlagNames.TRIGGER_SOURCES) + ", convert="
                + FlagNames.list(convert, FlagNames.TRIGGER_SOURCES) + ", scanEnd="
                + FlagNames.list(scanEnd, FlagNames.TRIGGER_SOURCES) + ", stop="
                + FlagNames.list(stop, FlagNames.TRIGGER_SOURCES) + "]";
    }
}
