// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;
import java.util.Set;

import org.vorn.acq.comedi.ComediAnalogDevice;
import org.vorn.acq.comedi.StartTrigger;
import org.vorn.acq.task.Trigger;

/**
 * The demo's command line. An option is a field here, a case in {@link #setFlag} or, with its
 * name in {@link #VALUED}, in {@link #setValue}, and a line of {@link #usage}.
 */
final class Options {
    static final String EMULATED_MULTI = "/dev/comedi-emu/multi";
    /** The same signals through converters that need software calibration. */
    static final String EMULATED_SOFTCAL = "/dev/comedi-emu/softcal";

    /**
     * Every sample is kept in memory until the files are written; this bounds that memory
     * (160 MB of doubles) instead of running out of heap in the middle of an acquisition.
     */
    static final long MAX_VALUES = 20_000_000L;

    String device = EMULATED_MULTI;
    int channels = 4;
    double rate = 1000;
    double duration = 3;
    Path out = Paths.get("demo-output");
    /** --hdf5 FILE: the run goes through an acquisition task that logs it to this file; null: no log. */
    Path hdf5;
    /** --calibration FILE: the calibration file of a board calibrated in software; null: comedilib's default one. */
    Path calibration;
    /** --trigger POSITION:VOLTS[:rising|falling]: records cut around each crossing; null: none. */
    Trigger trigger;
    /** --pretrigger N: the scans of a record before its trigger's. */
    int pretrigger;
    /** --record N: the scans of a record, pretrigger ones included. */
    int record = 100;
    /** --start software|LINE:rising|LINE:falling: what starts the stream once it is armed. */
    StartTrigger start = StartTrigger.now();
    boolean outputs = true;
    /** --stimulus: the stimulus-response section (a frequency response of AI1 against AI0, driven by AO0). */
    boolean stimulus;
    boolean list;
    boolean help;

    /** Gives a device the --calibration file, if any; otherwise it looks where comedilib does. */
    void calibrate(ComediAnalogDevice device) {
        if (calibration != null) {
            device.setCalibrationFile(calibration);
        }
    }

    long scans() {
        return Math.round(rate * duration);
    }

    /** The emulated board tells what it feeds each channel; a real device's wiring is unknown. */
    boolean emulated() {
        return EMULATED_MULTI.equals(device) || EMULATED_SOFTCAL.equals(device);
    }

    static String usage() {
        return String.join("\n",
            "usage: " + AcquisitionDemo.PROGRAM + " [--device PATH] [--channels N] [--rate HZ] [--duration SECONDS] [--out DIR]",
            "                [--hdf5 FILE] [--trigger POSITION:VOLTS[:rising|falling]] [--pretrigger N]",
            "                [--record N] [--start software|LINE:rising|LINE:falling] [--stimulus]",
            "                [--calibration FILE] [--no-outputs] [--list] [--help]",
            "",
            "Streams analog input channels through ComediAnalogStreamingDevice, prints the command test,",
            "a progress bar and per-channel statistics, writes the samples to DIR/" + SampleFiles.CSV_NAME,
            "(time in s, one column per channel in V) and a plot to DIR/" + SampleFiles.PNG_NAME + ", then shows one",
            "software-timed scan, an analog output read back and a digital port pattern.",
            "",
            "  --device PATH       Comedi device file (default " + EMULATED_MULTI + ", the emulated board).",
            "                      A real board, e.g. /dev/comedi0, works the same: the emulated board is",
            "                      preloaded by the launcher but passes every other path to the real device.",
            "  --channels N        channels to stream, 1 to " + Input.COUNT + " (default 4): AI4, AI5, AI6, AI1, then",
            "                      AI3, AI2, AI12, AI10, AI11, AI0, AI8, AI9, AI13, AI14, AI15, AI7",
            "  --rate HZ           scans per second, every channel once per scan (default 1000)",
            "  --duration SECONDS  acquisition time; the demo keeps exactly rate x duration scans (default 3)",
            "  --out DIR           folder for the CSV file and the plot (default ./demo-output)",
            "  --hdf5 FILE         run the acquisition as an AcquisitionTask that also logs every scan to",
            "                      FILE (HDF5: raw codes, what turns them into volts, the stream's timing)",
            "  --trigger POSITION:VOLTS[:rising|falling]",
            "                      cut records out of the stream where the value at scan position POSITION",
            "                      crosses VOLTS (rising by default); prints one line per record, marks the",
            "                      trigger instants in the CSV (column trigger) and the plot",
            "  --pretrigger N      scans of a record before its trigger's scan (default 0)",
            "  --record N          scans of a record, the pretrigger ones included (default 100)",
            "  --start software|LINE:rising|LINE:falling",
            "                      arm the stream and start it on a trigger: the software trigger, or an",
            "                      edge of digital line LINE (a board with an external start, e.g.",
            "                      /dev/comedi-emu/rig). After about a second the demo fires the trigger",
            "                      itself, or on the emulated board changes the line; on a real board you",
            "                      bring the edge. Time 0 is the trigger's instant.",
            "  --stimulus          then measure a frequency response: stepped sines (20 Hz to 2 kHz, 4 V) on AO0",
            "                      at 50 kS/s, AI0 reads AO0, AI1 the circuit under test (on",
            "                      /dev/comedi-emu/rig an RC low-pass of 1 ms), started together; prints",
            "                      gain and phase per frequency with the first-order model's and plots",
            "                      them to DIR/" + Stimulus.PNG_NAME + "; with --hdf5 FILE, the response and the",
            "                      stimulus (/stimulus, the AO codes) go to FILE's sibling NAME-stimulus.h5",
            "  --calibration FILE  the calibration file (comedilib's format) of a board calibrated in",
            "                      software, in place of the one comedilib finds for the device (e.g.",
            "                      /dev/comedi-emu/softcal, which the launcher gives its file)",
            "  --no-outputs        skip the analog and digital output sections. On a real board they set",
            "                      AO0 to +2.5 V and -1.25 V and digital lines 0-7 to 0xA5 and 0x5A, then",
            "                      back to 0 V and 0x00: disconnect what those outputs drive, or use this.",
            "  --list              print what the device offers (every subdevice, its channels, ranges and",
            "                      command timing) and stop",
            "  --help              this text",
            "",
            "^C stops the acquisition early: the command is cancelled, the device closed and the files",
            "are written with what arrived. Exit status: 0 done, 1 device or acquisition failure, 2 bad",
            "options.",
            "");
    }

    /** Options that take a value, as {@code --name VALUE} or {@code --name=VALUE}. */
    private static final Set<String> VALUED = Set.of("--device", "--channels", "--rate", "--duration", "--out",
            "--hdf5", "--trigger", "--pretrigger", "--record", "--start", "--calibration");

    static Options parse(String[] args) throws UsageException {
        Options o = new Options();
        for (int i = 0; i < args.length; i++) {
            String arg = args[i];
            String name = arg;
            String value = null;
            int eq = arg.indexOf('=');
            if (arg.startsWith("--") && eq > 0) {
                name = arg.substring(0, eq);
                value = arg.substring(eq + 1);
            }
            if (o.setFlag(name)) {
                // Dropping the value would turn --no-outputs=false into "skip the outputs".
                if (value != null) {
                    throw new UsageException(name + " takes no value, not '" + value + "'");
                }
                continue;
            }
            if (!VALUED.contains(name)) {
                throw new UsageException((arg.startsWith("-") ? "unknown option " : "unexpected argument ") + arg);
            }
            if (value == null) {
                if (i + 1 >= args.length) {
                    throw new UsageException(name + " needs a value");
                }
                value = args[++i];
            }
            o.setValue(name, value);
        }
        long scans = o.scans();
        if (scans < 1) {
            throw new UsageException("--rate " + Numbers.plain(o.rate) + " for --duration "
                    + Numbers.plain(o.duration) + " s gives no scan at all");
        }
        if (scans > MAX_VALUES / o.channels) {
            throw new UsageException("--rate x --duration x --channels asks for " + (double) scans * o.channels
                    + " samples; the demo keeps at most " + MAX_VALUES + " in memory");
        }
        if (o.trigger != null && o.trigger.getPosition() >= o.channels) {
            throw new UsageException("--trigger position " + o.trigger.getPosition() + " is not one of the "
                    + o.channels + " streamed (0 to " + (o.channels - 1) + ")");
        }
        if (o.start.waitsForTrigger() && (o.hdf5 != null || o.trigger != null)) {
            throw new UsageException("--start arms the plain streaming run: it does not combine with --hdf5 or"
                    + " --trigger");
        }
        if (o.record <= o.pretrigger) {
            throw new UsageException("--record " + o.record + " leaves no scan after the " + o.pretrigger
                    + " pretrigger ones");
        }
        return o;
    }

    /** software, now, or LINE:rising / LINE:falling. */
    static StartTrigger parseStart(String value) throws UsageException {
        switch (value) {
            case "software" -> {
                return StartTrigger.software();
            }
            case "now" -> {
                return StartTrigger.now();
            }
            default -> {
                int colon = value.indexOf(':');
                String edge = colon < 0 ? "" : value.substring(colon + 1);
                if (colon < 0 || !(edge.equals("rising") || edge.equals("falling"))) {
                    throw new UsageException("--start takes software, LINE:rising or LINE:falling, not '" + value + "'");
                }
                int line = parseInt("--start line", value.substring(0, colon));
                if (line < 0 || line > StartTrigger.MAX_LINE) {
                    throw new UsageException("--start line must be 0 to " + StartTrigger.MAX_LINE + ", not "
                            + value.substring(0, colon));
                }
                return StartTrigger.externalEdge(line,
                        edge.equals("rising") ? StartTrigger.Edge.RISING : StartTrigger.Edge.FALLING);
            }
        }
    }

    /** False when {@code name} is no option without a value. */
    private boolean setFlag(String name) {
        switch (name) {
            case "--help", "-h" -> help = true;
            case "--no-outputs" -> outputs = false;
            case "--stimulus" -> stimulus = true;
            case "--list" -> list = true;
            default -> {
                return false;
            }
        }
        return true;
    }

    private void setValue(String name, String value) throws UsageException {
        switch (name) {
            case "--device" -> {
                if (value.isEmpty()) {
                    throw new UsageException("--device needs a path");
                }
                device = value;
            }
            case "--channels" -> {
                int n = parseInt(name, value);
                if (n < 1 || n > Input.COUNT) {
                    throw new UsageException("--channels must be 1 to " + Input.COUNT + ", not " + value);
                }
                channels = n;
            }
            case "--rate" -> rate = parsePositive(name, value);
            case "--duration" -> duration = parsePositive(name, value);
            case "--out" -> {
                if (value.isEmpty()) {
                    throw new UsageException("--out needs a folder");
                }
                out = Paths.get(value);
            }
            case "--hdf5" -> {
                if (value.isEmpty()) {
                    throw new UsageException("--hdf5 needs a file name");
                }
                hdf5 = Paths.get(value);
            }
            case "--calibration" -> {
                if (value.isEmpty()) {
                    throw new UsageException("--calibration needs a file name");
                }
                calibration = Paths.get(value);
            }
            case "--trigger" -> trigger = parseTrigger(value);
            case "--start" -> start = parseStart(value);
            case "--pretrigger" -> {
                pretrigger = parseInt(name, value);
                if (pretrigger < 0) {
                    throw new UsageException("--pretrigger must be 0 or more, not " + value);
                }
            }
            case "--record" -> {
                record = parseInt(name, value);
                if (record < 1) {
                    throw new UsageException("--record must be 1 or more, not " + value);
                }
            }
            default -> throw new IllegalStateException(name + " is listed as taking a value but sets nothing");
        }
    }

    private static Trigger parseTrigger(String value) throws UsageException {
        String[] f = value.split(":", -1);
        if (f.length < 2 || f.length > 3) {
            throw new UsageException("--trigger needs POSITION:VOLTS[:rising|falling], not '" + value + "'");
        }
        int position = parseInt("--trigger position", f[0]);
        double volts;
        try {
            volts = Double.parseDouble(f[1].trim());
        } catch (NumberFormatException e) {
            throw new UsageException("--trigger needs a level in volts, not '" + f[1] + "'");
        }
        if (position < 0 || !Double.isFinite(volts)) {
            throw new UsageException("--trigger needs a position of 0 or more and a finite level, not '" + value + "'");
        }
        Trigger.Slope slope = Trigger.Slope.RISING;
        if (f.length == 3) {
            switch (f[2].trim().toLowerCase(Locale.ROOT)) {
                case "rising" -> slope = Trigger.Slope.RISING;
                case "falling" -> slope = Trigger.Slope.FALLING;
                default -> throw new UsageException("--trigger slope is rising or falling, not '" + f[2] + "'");
            }
        }
        return Trigger.level(position, volts, slope);
    }

    private static int parseInt(String name, String value) throws UsageException {
        try {
            return Integer.parseInt(value.trim());
        } catch (NumberFormatException e) {
            throw new UsageException(name + " needs a whole number, not '" + value + "'");
        }
    }

    private static double parsePositive(String name, String value) throws UsageException {
        double v;
        try {
            v = Double.parseDouble(value.trim());
        } catch (NumberFormatException e) {
            throw new UsageException(name + " needs a number, not '" + value + "'");
        }
        if (!(v > 0) || Double.isInfinite(v)) {
            throw new UsageException(name + " must be a number above 0, not '" + value + "'");
        }
        return v;
    }
}
