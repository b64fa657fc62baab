// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.util.Objects;

/**
 * A condition on one scan position that an {@link AcquisitionTask} evaluates on every scan, in
 * order, to cut records out of the stream ({@link AcquisitionTask.Builder#onRecord}). Immutable.
 *
 * <ul>
 * <li>{@link #level level}: the value crosses a level. RISING fires at the first scan at or above
 * the level after a scan below it (below {@code level - hysteresis} with a hysteresis); FALLING at
 * the first scan at or below it after one above it (above {@code level + hysteresis}). After it
 * fired it fires again only once the value went back past the hysteresis band, so noise of a few
 * codes around the level gives one trigger, not many.
 * <li>{@link #window window}: ENTERING fires at the first scan inside {@code [low, high]} after a
 * scan outside it; LEAVING at the first scan outside after one inside.
 * <li>{@link #line line}: one bit of the raw code of a position that carries digital lines. HIGH
 * and LOW fire on every scan where the line has that level (each taken as the hold-off allows);
 * RISING and FALLING at the first scan with the new level after one with the other.
 * </ul>
 * The first scan of the stream has none before it: an edge, a crossing or a window change is
 * found from the second scan on, a line level from the first.
 *
 * <p>Values are compared as the library delivers them ({@code positions().get(p).toVolts(code)}),
 * so a trigger at a level fires exactly on the scans whose delivered value reaches it.
 */
public final class Trigger {
    /** The direction of a level crossing. */
    public enum Slope {
        /** From below the level to at or above it. */
        RISING,
        /** From above the level to at or below it. */
        FALLING
    }

    /** Which change of a window fires. */
    public enum Crossing {
        /** From outside {@code [low, high]} to inside it. */
        ENTERING,
        /** From inside {@code [low, high]} to outside it. */
        LEAVING
    }

    /** What of a digital line fires. */
    public enum LineCondition {
        /** Every scan where the line is 1. */
        HIGH,
        /** Every scan where the line is 0. */
        LOW,
        /** The line is 1 after a scan where it was 0. */
        RISING,
        /** The line is 0 after a scan where it was 1. */
        FALLING
    }

    enum Kind { LEVEL, WINDOW, LINE }

    final Kind kind;
    final int position;
    final double low;
    final double high;
    final double hysteresis;
    final Slope slope;
    final Crossing crossing;
    final int bit;
    final LineCondition line;

    private Trigger(Kind kind, int position, double low, double high, double hysteresis, Slope slope,
            Crossing crossing, int bit, LineCondition line) {
        if (position < 0) {
            throw new IllegalArgumentException("scan position " + position + " is negative");
        }
        this.kind = kind;
        this.position = position;
        this.low = low;
        this.high = high;
        this.hysteresis = hysteresis;
        this.slope = slope;
        this.crossing = crossing;
        this.bit = bit;
        this.line = line;
    }

    /**
     * A crossing of {@code level} at {@code position}, without hysteresis.
     *
     * @param position the scan position watched
     * @param level    the level, in the unit of the position's range
     * @param slope    the direction that fires
     * @return the trigger
     * @throws IllegalArgumentException if the position is negative or the level not finite
     */
    public static Trigger level(int position, double level, Slope slope) {
        requireFinite(level, "level");
        Objects.requireNonNull(slope, "slope");
        return new Trigger(Kind.LEVEL, position, level, level, 0, slope, null, 0, null);
    }

    /**
     * This level trigger with a hysteresis: it re-arms only once the value went below
     * {@code level - volts} (RISING) or above {@code level + volts} (FALLING).
     *
     * @param volts the width of the band, 0 or more, in the unit of the position's range
     * @return a new trigger
     * @throws IllegalStateException    if this is not a level trigger
     * @throws IllegalArgumentException if the width is negative or not finite
     */
    public Trigger withHysteresis(double volts) {
        if (kind != Kind.LEVEL) {
            throw new IllegalStateException("only a level trigger has a hysteresis, not " + this);
        }
        requireFinite(volts, "hysteresis");
        if (volts < 0) {
            throw new IllegalArgumentException("hysteresis " + volts + " is negative");
        }
        return new Trigger(kind, position, low, high, volts, slope, null, 0, null);
    }

    /**
     * A change of the value at {@code position} into or out of {@code [low, high]}.
     *
     * @param position the scan position watched
     * @param low      the window's lower edge (inside)
     * @param high     the window's upper edge (inside), at least {@code low}
     * @param crossing the change that fires
     * @return the trigger
     * @throws IllegalArgumentException if the position is negative, an edge not finite or high below low
     */
    public static Trigger window(int position, double low, double high, Crossing crossing) {
        requireFinite(low, "low edge");
        requireFinite(high, "high edge");
        if (high < low) {
            throw new IllegalArgumentException("window " + low + ".." + high + " has its high edge below its low edge");
        }
        return new Trigger(Kind.WINDOW, position, low, high, 0, null, Objects.requireNonNull(crossing, "crossing"), 0,
                null);
    }

    /**
     * A digital line read in the same scan: bit {@code bit} of the raw code at {@code position}
     * (bit 0 for a position whose codes are a line's 0 and 1). A board gets lines into its
     * analog scan only where its driver offers them as a channel of the analog input subdevice;
     * elsewhere, wire the line to an analog input and use {@link #level level} with a hysteresis
     * (a TTL line: 1.4 V, 0.4 V).
     *
     * @param position  the scan position that carries the line
     * @param bit       the bit of the raw code, 0 to 31
     * @param condition what fires
     * @return the trigger
     * @throws IllegalArgumentException if the position is negative or the bit outside 0..31
     */
    public static Trigger line(int position, int bit, LineCondition condition) {
        if (bit < 0 || bit > 31) {
            throw new IllegalArgumentException("bit " + bit + " is not one of a raw code's 0..31");
        }
        Objects.requireNonNull(condition, "condition");
        return new Trigger(Kind.LINE, position, 0, 0, 0, null, null, bit, condition);
    }

    private static void requireFinite(double v, String what) {
        if (!Double.isFinite(v)) {
            throw new IllegalArgumentException(what + " " + v + " is not a finite number");
        }
    }

    /**
     * The scan position the trigger watches.
     *
     * @return the position
     */
    public int getPosition() {
        return position;
    }

    @Override
    public String toString() {
        return switch (kind) {
            case LEVEL -> slope.name().toLowerCase() + " through " + low + (hysteresis > 0 ? " (hysteresis "
                    + hysteresis + ")" : "") + " at position " + position;
            case WINDOW -> crossing.name().toLowerCase() + " " + low + ".." + high + " at position " + position;
            case LINE -> "line (bit " + bit + ") " + line.name().toLowerCase() + " at position " + position;
        };
    }

    /** The state of one run's evaluation, scan after scan: whether the condition may fire. */
    static final class Detector {
        private final Trigger t;
        private boolean armed;

        Detector(Trigger t) {
            this.t = t;
        }

        /** Whether scan with this value and code fires; every scan of the stream passes here once, in order. */
        boolean fires(double v, long code) {
            boolean fire;
            switch (t.kind) {
                case LEVEL -> {
                    if (t.slope == Slope.RISING) {
                        fire = armed && v >= t.low;
                        armed = fire ? false : armed || v < t.low - t.hysteresis;
                    } else {
                        fire = armed && v <= t.low;
                        armed = fire ? false : armed || v > t.low + t.hysteresis;
                    }
                }
                case WINDOW -> {
                    boolean inside = v >= t.low && v <= t.high;
                    boolean wanted = t.crossing == Crossing.ENTERING ? inside : !inside;
                    fire = armed && wanted;
                    armed = !wanted;
                }
                default -> {
                    boolean set = ((code >>> t.bit) & 1) != 0;
                    boolean wanted = t.line == LineCondition.HIGH || t.line == LineCondition.RISING ? set : !set;
                    boolean level = t.line == LineCondition.HIGH || t.line == LineCondition.LOW;
                    fire = wanted && (level || armed);
                    armed = !wanted;
                }
            }
            return fire;
        }
    }
}
