// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/** The kinds of subdevice comedilib knows ({@code COMEDI_SUBD_*}), with the names its {@code info} demo prints. */
public enum ComediSubdeviceType {
    /** {@code COMEDI_SUBD_UNUSED}: a subdevice slot the board leaves empty. */
    UNUSED("unused"),
    /** {@code COMEDI_SUBD_AI}: analog inputs. */
    ANALOG_INPUT("analog input"),
    /** {@code COMEDI_SUBD_AO}: analog outputs. */
    ANALOG_OUTPUT("analog output"),
    /** {@code COMEDI_SUBD_DI}: digital input lines. */
    DIGITAL_INPUT("digital input"),
    /** {@code COMEDI_SUBD_DO}: digital output lines. */
    DIGITAL_OUTPUT("digital output"),
    /** {@code COMEDI_SUBD_DIO}: digital lines, each configurable as input or output. */
    DIGITAL_IO("digital I/O"),
    /** {@code COMEDI_SUBD_COUNTER}: counters. */
    COUNTER("counter"),
    /** {@code COMEDI_SUBD_TIMER}: timers. */
    TIMER("timer"),
    /** {@code COMEDI_SUBD_MEMORY}: memory, e.g. EEPROM. */
    MEMORY("memory"),
    /** {@code COMEDI_SUBD_CALIB}: calibration DACs. */
    CALIBRATION("calibration"),
    /** {@code COMEDI_SUBD_PROC}: a processor or DSP. */
    PROCESSOR("processor"),
    /** {@code COMEDI_SUBD_SERIAL}: serial digital I/O. */
    SERIAL_DIGITAL_IO("serial digital I/O"),
    /** {@code COMEDI_SUBD_PWM}: pulse-width modulation outputs. */
    PWM("pwm"),
    /** A code newer than this library; {@link ComediSubdeviceInfo#typeCode()} keeps it. */
    UNKNOWN("UNKNOWN");

    private static final ComediSubdeviceType[] BY_CODE = values();

    private final String label;

    ComediSubdeviceType(String label) {
        this.label = label;
    }

    /**
     * The type of one of comedilib's codes.
     *
     * @param code a {@code COMEDI_SUBD_*} value
     * @return its type, {@link #UNKNOWN} for a code this library does not know
     */
    public static ComediSubdeviceType of(int code) {
        return code >= 0 && code < UNKNOWN.ordinal() ? BY_CODE[code] : UNKNOWN;
    }

    /**
     * The name in words.
     *
     * @return e.g. "digital I/O"
     */
    public String label() {
        return label;
    }
}
