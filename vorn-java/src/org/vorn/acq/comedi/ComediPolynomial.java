// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * A calibration polynomial of comedilib's calibration file ({@code comedi_polynomial_t}), of order
 * 3 at most: {@code c0 + c1 u + c2 u^2 + c3 u^3} with {@code u = x - expansionOrigin}, where
 * {@code x} is a raw code ({@link Direction#TO_PHYSICAL}, inputs) or volts
 * ({@link Direction#FROM_PHYSICAL}, outputs). {@link #apply(double)} evaluates it exactly as the
 * library's converting reads and writes do, so a raw code recorded earlier converts to the very
 * double the library delivered.
 *
 * @param direction       what the polynomial converts
 * @param expansionOrigin the value of {@code x} the powers are taken around
 * @param c0              the constant coefficient
 * @param c1              the coefficient of {@code u}
 * @param c2              the coefficient of {@code u^2}
 * @param c3              the coefficient of {@code u^3}
 */
public record ComediPolynomial(Direction direction, double expansionOrigin, double c0, double c1, double c2,
        double c3) {

    /** The direction of a conversion, as comedilib's {@code enum comedi_conversion_direction}. */
    public enum Direction {
        /** Raw code to volts: an input's. */
        TO_PHYSICAL,
        /** Volts to raw code (before rounding): an output's. */
        FROM_PHYSICAL
    }

    /**
     * A polynomial.
     *
     * @param direction what it converts
     * @param expansionOrigin the origin
     * @param c0 the constant coefficient
     * @param c1 the linear coefficient
     * @param c2 the square coefficient
     * @param c3 the cubic coefficient
     * @throws NullPointerException if {@code direction} is null
     */
    public ComediPolynomial {
        java.util.Objects.requireNonNull(direction, "direction");
    }

    /**
     * The polynomial at {@code x}: {@code u = x - expansionOrigin}, then Horner's scheme
     * {@code ((c3 u + c2) u + c1) u + c0}, in doubles, in that order.
     *
     * @param x a raw code or volts, as {@link #direction()} says
     * @return the polynomial's value
     */
    public double apply(double x) {
        double u = x - expansionOrigin;
        double r = c3 * u;
        r += c2;
        r *= u;
        r += c1;
        r *= u;
        r += c0;
        return r;
    }

    /**
     * The coefficients, lowest power first.
     *
     * @return a new array {@code {c0, c1, c2, c3}}
     */
    public double[] coefficients() {
        return new double[] {c0, c1, c2, c3};
    }

    /**
     * The highest power with a coefficient other than 0.
     *
     * @return 0 to 3
     */
    public int order() {
        return c3 != 0 ? 3 : c2 != 0 ? 2 : c1 != 0 ? 1 : 0;
    }
}
