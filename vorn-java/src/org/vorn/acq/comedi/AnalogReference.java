package org.vorn.acq.comedi;

/** The analog reference of an input or output channel, by the name the native side maps to comedilib's AREF_*. */
public enum AnalogReference {
    GROUND("ground"),
    COMMON("common"),
    DIFF("diff"),
    OTHER("other");

    private final String nativeName;

    AnalogReference(String nativeName) {
        this.nativeName = nativeName;
    }

    /** The name passed to the native channel configuration. */
    public String nativeName() {
        return nativeName;
    }
}
