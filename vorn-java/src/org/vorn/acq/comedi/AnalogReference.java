// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.util.Objects;

/** The analog reference of an input or output channel, by the name the native side maps to comedilib's AREF_*. */
public enum AnalogReference {
    /** Single-ended, against the board's ground (AREF_GROUND). */
    GROUND("ground"),
    /** Single-ended, against a common reference input (AREF_COMMON). */
    COMMON("common"),
    /** Differential: the channel against its pair (AREF_DIFF). */
    DIFF("diff"),
    /** The board's other reference (AREF_OTHER). */
    OTHER("other");

    private final String nativeName;

    AnalogReference(String nativeName) {
        this.nativeName = nativeName;
    }

    /**
     * The name passed to the native channel configuration.
     *
     * @return "ground", "common", "diff" or "other"
     */
    public String nativeName() {
        return nativeName;
    }

    /**
     * The reference of a name: "ground", "common", "diff" or "other", as written here.
     *
     * @param name the name
     * @return the reference
     * @throws IllegalArgumentException for any other word, "Ground" included (before 0.2 it meant
     *                                  "diff"), naming the accepted ones
     * @throws NullPointerException     for null
     */
    public static AnalogReference fromName(String name) {
        Objects.requireNonNull(name, "reference");
        for (AnalogReference r : values()) {
            if (r.nativeName.equals(name)) {
                return r;
            }
        }
        throw new IllegalArgumentException("analog reference \"" + name
                + "\" is none of \"ground\", \"common\", \"diff\", \"other\"");
    }
}
