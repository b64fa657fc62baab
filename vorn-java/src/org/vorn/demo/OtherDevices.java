// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogSWOutDevice;
import org.vorn.acq.comedi.ComediAnalogSamplingDevice;
import org.vorn.acq.comedi.ComediDeviceInfo;
import org.vorn.acq.comedi.ComediDigitalPortInDevice;
import org.vorn.acq.comedi.ComediDigitalPortOutDevice;
import org.vorn.acq.comedi.ComediSubdeviceInfo;
import org.vorn.acq.comedi.ComediSubdeviceType;
import org.vorn.exception.ComediException;

/**
 * One call each of the software-timed devices. A section that the device lacks is skipped with the
 * library's message.
 */
final class OtherDevices {
    private final String device;
    private final boolean emulated;
    private final Options opt;
    private final PrintStream out;

    OtherDevices(Options opt, PrintStream out) {
        this.device = opt.device;
        this.opt = opt;
        this.emulated = opt.emulated();
        this.out = out;
    }

    /** One software-timed scan of every input channel, ±10 V. */
    void sampling() {
        out.println();
        out.println("Software-timed scan of all inputs (ComediAnalogSamplingDevice, +/-10 V):");
        int channels = 16;
        double[] volts;
        while (true) {
            try (ComediAnalogSamplingDevice ai = new ComediAnalogSamplingDevice(device, channels)) {
                opt.calibrate(ai);
                int configured = 0;
                try {
                    for (; configured < channels; configured++) {
                        ai.configureChannel(configured, configured, -10, 10, AnalogReference.GROUND);
                    }
                } catch (ComediException e) {
                    // A board with fewer inputs refuses the first channel it lacks: scan those it has.
                    if (configured == 0) {
                        throw e;
                    }
                    channels = configured;
                    continue;
                }
                volts = ai.scan();
                break;
            } catch (ComediException e) {
                out.println("  skipped: " + e.getMessage());
                return;
            }
        }
        StringBuilder line = new StringBuilder();
        for (int c = 0; c < volts.length; c++) {
            line.append(String.format(Locale.ROOT, "  AI%-2d %+8.4f V", c, volts[c]));
            if (c % 4 == 3 || c == volts.length - 1) {
                out.println(line);
                line.setLength(0);
            }
        }
    }

    /** AO0 set to two voltages and read back on AI14, then left at 0 V. */
    void analogOutput() {
        out.println();
        out.println("Analog output (ComediAnalogSWOutDevice AO0, +/-10 V), read back on AI14"
                + (emulated ? " (the emulated board loops AO0 back to AI14):" : ":"));
        try (ComediAnalogSWOutDevice ao = new ComediAnalogSWOutDevice(device, 1)) {
            opt.calibrate(ao);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ComediAnalogSamplingDevice back = null;
            String noReadBack = null;
            try {
                back = new ComediAnalogSamplingDevice(device, 1);
                opt.calibrate(back);
                back.configureChannel(0, 14, -10, 10, AnalogReference.GROUND);
            } catch (ComediException e) {
                noReadBack = e.getMessage();
                if (back != null) {
                    back.close();
                    back = null;
                }
            }
            try {
                for (double v : new double[] {2.5, -1.25, 0.0}) {
                    ao.write(v);
                    String read = back != null
                            ? String.format(Locale.ROOT, "AI14 reads %+8.4f V", back.scan()[0])
                            : "AI14 not read: " + noReadBack;
                    out.printf(Locale.ROOT, "  AO0 <- %+7.3f V   %s%n", v, read);
                }
            } finally {
                if (back != null) {
                    back.close();
                }
            }
        } catch (ComediException e) {
            out.println("  skipped: " + e.getMessage());
        }
    }

    /** Two patterns on port 0 (lines 0-7), then all lines low. */
    void digitalOutput() {
        out.println();
        out.println("Digital output (ComediDigitalPortOutDevice, port 0 = lines 0-7, every line made an output):");
        // The input device goes first: the output device then takes the lines back as outputs, and
        // reading them returns what they drive (made after it, the input device would make them inputs).
        try (ComediDigitalPortInDevice readBack = readBackDevice();
                ComediDigitalPortOutDevice dio = new ComediDigitalPortOutDevice(device, new int[] {0}, 8)) {
            for (long pattern : new long[] {0xA5, 0x5A, 0x00}) {
                dio.write(pattern);
                long lines = readBack != null ? readBack.read()[0] : pattern;
                String bits = String.format("%8s", Long.toBinaryString(lines)).replace(' ', '0');
                out.printf(Locale.ROOT, "  port 0 <- 0x%02X   lines 7..0 = %s %s%s%n", pattern,
                        bits.substring(0, 4), bits.substring(4),
                        readBack != null ? "   (read back by ComediDigitalPortInDevice)" : "");
            }
        } catch (ComediException e) {
            out.println("  skipped: " + e.getMessage());
        }
    }

    /** Port 0 of the subdevice the output device drives (its first DIO one), or null if there is none. */
    private ComediDigitalPortInDevice readBackDevice() {
        ComediSubdeviceInfo dio = ComediDeviceInfo.describe(device).firstOfType(ComediSubdeviceType.DIGITAL_IO);
        return dio == null ? null : new ComediDigitalPortInDevice(device, dio.index(), new int[] {0}, 8);
    }
}
