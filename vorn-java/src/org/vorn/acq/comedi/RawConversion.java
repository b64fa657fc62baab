package org.vorn.acq.comedi;

/**
 * What turns the raw codes of one scan position into physical values: the range comedilib chose
 * for that position and the largest code of its channel. {@link #toPhysical} is comedilib's
 * {@code comedi_to_phys} with the ends of the range as numbers, operation for operation, so a raw
 * stream converted later gives the very values the converting reads deliver.
 *
 * @param min     the value of code 0
 * @param max     the value of code {@code maxdata}
 * @param unit    comedilib's unit number ({@code UNIT_volt} = 0, {@code UNIT_mA} = 1, {@code UNIT_none} = 2)
 * @param maxdata the largest raw code (65535 for a 16-bit converter); 0 for a position never configured
 */
public record RawConversion(double min, double max, int unit, long maxdata) {
    public static final int UNIT_VOLT = 0;

    /** The physical value of {@code raw} (an unsigned code, 0 to {@code maxdata}). */
    public double toPhysical(long raw) {
        double x = raw;
        x /= maxdata;
        x *= max - min;
        return x + min;
    }
}
