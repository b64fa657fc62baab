// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.util.Objects;

/**
 * What starts a stream's command: {@link #now()} (the default: {@code start()} starts it),
 * {@link #software()} ({@code start()} arms it, {@code trigger()} starts it) or
 * {@link #externalEdge(int, Edge)} ({@code start()} arms it, a change of a digital line of the
 * board to its active level starts it). Set on {@link ComediAnalogStreamingDevice#setStartTrigger}
 * or {@link ComediAnalogStreamingOutDevice#setStartTrigger} before {@code configure()}, which
 * refuses a start the board lacks with a {@link org.vorn.exception.SettingRefusedException} that
 * names the start sources it has.
 *
 * <p>Scan 0 is the first scan after the trigger, and the stream's start time is the trigger's
 * instant, not the arming's.
 *
 * @param kind the kind of start
 * @param line the board's trigger line of an external edge, -1 otherwise
 * @param edge the active edge of an external start, null otherwise
 */
public record StartTrigger(Kind kind, int line, Edge edge) {
    /** The kinds of start. */
    public enum Kind {
        /** The command starts as {@code start()} submits it. */
        NOW,
        /** {@code start()} arms the command, {@code trigger()} starts it (Comedi's internal trigger). */
        SOFTWARE,
        /** {@code start()} arms the command, an edge of a digital line of the board starts it (Comedi's external trigger). */
        EXTERNAL_EDGE
    }

    /** The change of a line that starts an external start. */
    public enum Edge {
        /** Low to high. */
        RISING,
        /** High to low. */
        FALLING
    }

    /** The largest line number a Comedi trigger argument carries (its channel field). */
    public static final int MAX_LINE = 0xFFFF;

    // The flags of a Comedi trigger argument (comedi.h): the line is edge-sensitive, and active low.
    static final long CR_EDGE = 0x4000_0000L;
    static final long CR_INVERT = 0x8000_0000L;

    private static final StartTrigger NOW = new StartTrigger(Kind.NOW, -1, null);
    private static final StartTrigger SOFTWARE = new StartTrigger(Kind.SOFTWARE, -1, null);

    /**
     * Checks the parts: an external edge needs a line 0 to {@link #MAX_LINE} and an edge; the other
     * kinds neither (line -1, edge null).
     *
     * @param kind the kind of start
     * @param line the line of an external edge, -1 otherwise
     * @param edge the edge of an external start, null otherwise
     */
    public StartTrigger {
        Objects.requireNonNull(kind, "kind");
        if (kind == Kind.EXTERNAL_EDGE) {
            if (line < 0 || line > MAX_LINE) {
                throw new IllegalArgumentException("a trigger line is 0 to " + MAX_LINE + ", not " + line);
            }
            Objects.requireNonNull(edge, "edge");
        } else if (line != -1 || edge != null) {
            throw new IllegalArgumentException("a " + kind + " start has no line and no edge (line -1, edge null)");
        }
    }

    /**
     * The stream starts as {@code start()} submits its command: the default.
     *
     * @return the immediate start
     */
    public static StartTrigger now() {
        return NOW;
    }

    /**
     * {@code start()} arms the stream and {@code trigger()} starts it.
     *
     * @return the software start
     */
    public static StartTrigger software() {
        return SOFTWARE;
    }

    /**
     * {@code start()} arms the stream and the first change of {@code line} (a digital line of the
     * board, as its driver numbers its trigger inputs) to the active level of {@code edge} starts it.
     *
     * @param line the trigger line, 0 to {@link #MAX_LINE}
     * @param edge the active edge
     * @return the external start
     */
    public static StartTrigger externalEdge(int line, Edge edge) {
        return new StartTrigger(Kind.EXTERNAL_EDGE, line, edge);
    }

    /**
     * Whether {@code start()} only arms the stream, which starts later (on {@code trigger()} or an edge).
     *
     * @return true unless the start is {@link #now()}
     */
    public boolean waitsForTrigger() {
        return kind != Kind.NOW;
    }

    /** The Comedi start source: TRIG_NOW, TRIG_INT or TRIG_EXT. */
    int startSource() {
        return switch (kind) {
            case NOW -> StreamCommand.TRIG_NOW;
            case SOFTWARE -> StreamCommand.TRIG_INT;
            case EXTERNAL_EDGE -> StreamCommand.TRIG_EXT;
        };
    }

    /**
     * The start argument as the drivers read it: for an external edge the line (CR_CHAN) with
     * CR_EDGE, and CR_INVERT for a falling edge (active low); 0, the trigger number, otherwise.
     */
    long startArgument() {
        if (kind != Kind.EXTERNAL_EDGE) {
            return 0;
        }
        return line | CR_EDGE | (edge == Edge.FALLING ? CR_INVERT : 0);
    }

    /**
     * The refusal of a start that the driver's command test changed (a driver moves a line it
     * lacks to line 0, or drops an edge flag it cannot honour: the stream would start on another
     * signal); null when it kept the start asked for.
     */
    org.vorn.exception.SettingRefusedException refusalIfChanged(String device, long acceptedArgument) {
        if (acceptedArgument == startArgument()) {
            return null;
        }
        return Failures.refused(String.format(java.util.Locale.ROOT, "device %s: the driver does not start on the %s:"
                + " it accepted start argument 0x%x instead of 0x%x (a line it lacks, or an edge it cannot detect)",
                device, this, acceptedArgument, startArgument()), 0, null);
    }

    /**
     * As the trace and the messages say it: "now", "software", "rising edge of line 0".
     *
     * @return the start in words
     */
    @Override
    public String toString() {
        return kind == Kind.EXTERNAL_EDGE ? edge.name().toLowerCase(java.util.Locale.ROOT) + " edge of line " + line
                : kind.name().toLowerCase(java.util.Locale.ROOT);
    }
}
