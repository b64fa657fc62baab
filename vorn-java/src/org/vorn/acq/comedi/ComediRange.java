// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * One range of a channel as comedilib gives it: raw 0 reads as {@code min}, the maximum raw value as
 * {@code max}, in {@code unit}. An external range ({@code RF_EXTERNAL}) is scaled by a reference
 * outside the board, so its ends are factors of that reference.
 *
 * @param min      the value of raw code 0
 * @param max      the value of the largest raw code
 * @param unit     the unit of both ends
 * @param external whether the ends are factors of an external reference ({@code RF_EXTERNAL})
 */
public record ComediRange(double min, double max, Unit unit, boolean external) {
    /** comedilib's {@code RF_EXTERNAL} flag, kept in the unit word beside the unit. */
    static final int EXTERNAL_FLAG = 0x100;

    /** comedilib's units ({@code UNIT_volt}, {@code UNIT_mA}, {@code UNIT_none}). */
    public enum Unit {
        /** {@code UNIT_volt}: volts. */
        VOLT("V"),
        /** {@code UNIT_mA}: milliamperes. */
        MILLIAMPERE("mA"),
        /** {@code UNIT_none}: a number without a unit. */
        NONE("");

        private final String symbol;

        Unit(String symbol) {
            this.symbol = symbol;
        }

        /**
         * The unit's symbol.
         *
         * @return "V", "mA", or empty for a range without a unit
         */
        public String symbol() {
            return symbol;
        }
    }

    /** The range for comedilib's unit word (the unit in bits 0 to 7, {@code RF_EXTERNAL} above); an unknown unit is {@link Unit#NONE}. */
    static ComediRange of(double min, double max, int unitWord) {
        int code = unitWord & 0xff;
        Unit unit = code == 0 ? Unit.VOLT : code == 1 ? Unit.MILLIAMPERE : Unit.NONE;
        return new ComediRange(min, max, unit, (unitWord & EXTERNAL_FLAG) != 0);
    }

    /**
     * The range as the demo prints it.
     *
     * @return e.g. "[-10, 10] V" or "[0, 1] × external"
     */
    @Override
    public String toString() {
        String span = "[" + number(min) + ", " + number(max) + "]";
        if (external) {
            return span + " × external" + (unit == Unit.NONE ? "" : " " + unit.symbol());
        }
        return unit == Unit.NONE ? span : span + " " + unit.symbol();
    }

    /** A number in the fewest digits that read back as the same double, without a trailing ".0". */
    static String number(double value) {
        if (value == Math.rint(value) && Math.abs(value) < 1e15) {
            return Long.toString((long) value);
        }
        return Double.toString(value);
    }
}
