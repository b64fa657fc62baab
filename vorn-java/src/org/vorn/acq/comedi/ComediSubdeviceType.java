package org.vorn.acq.comedi;

/** The kinds of subdevice comedilib knows ({@code COMEDI_SUBD_*}), with the names its {@code info} demo prints. */
public enum ComediSubdeviceType {
    UNUSED("unused"),
    ANALOG_INPUT("analog input"),
    ANALOG_OUTPUT("analog output"),
    DIGITAL_INPUT("digital input"),
    DIGITAL_OUTPUT("digital output"),
    DIGITAL_IO("digital I/O"),
    COUNTER("counter"),
    TIMER("timer"),
    MEMORY("memory"),
    CALIBRATION("calibration"),
    PROCESSOR("processor"),
    SERIAL_DIGITAL_IO("serial digital I/O"),
    PWM("pwm"),
    /** A code newer than this library; {@link ComediSubdeviceInfo#typeCode()} keeps it. */
    UNKNOWN("UNKNOWN");

    private static final ComediSubdeviceType[] BY_CODE = values();

    private final String label;

    ComediSubdeviceType(String label) {
        this.label = label;
    }

    /** The type of comedilib's code {@code code}, {@link #UNKNOWN} for a code it does not define. */
    public static ComediSubdeviceType of(int code) {
        return code >= 0 && code < UNKNOWN.ordinal() ? BY_CODE[code] : UNKNOWN;
    }

    /** The name in words, e.g. "digital I/O". */
    public String label() {
        return label;
    }
}
