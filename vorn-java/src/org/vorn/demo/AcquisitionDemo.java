// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Path;
import java.util.Locale;

import org.vorn.acq.comedi.ComediDeviceInfo;
import org.vorn.exception.ComediException;

/**
 * What the library is for, run the way a lab engineer would use it: a few channels streamed at a
 * fixed rate for a fixed number of scans, their statistics, a CSV file and a plot of them, then
 * one call each of the software-timed input, the analog output and the digital ports.
 *
 * <p>Runs on the emulated board by default; {@code --device /dev/comedi0} runs it on hardware.
 * Only the public API of {@code org.vorn.acq.comedi} is used; {@link Streaming} shows the
 * hardware-timed use, {@link OtherDevices} the software-timed devices.
 */
public final class AcquisitionDemo {
    static final String PROGRAM = "run-demo";

    static final int EXIT_OK = 0;
    static final int EXIT_FAILED = 1;
    static final int EXIT_USAGE = 2;

    private final Options opt;
    private final Input[] inputs;
    private final StopSignal stop;
    private final PrintStream out = System.out;
    private final boolean terminal = System.console() != null;

    private AcquisitionDemo(Options opt, StopSignal stop) {
        this.opt = opt;
        this.inputs = Input.first(opt.channels);
        this.stop = stop;
    }

    public static void main(String[] args) {
        Options opt;
        try {
            opt = Options.parse(args);
        } catch (UsageException e) {
            System.err.println(PROGRAM + ": " + e.getMessage());
            System.err.print(Options.usage());
            System.err.flush();
            System.exit(EXIT_USAGE);
            return;
        }
        if (opt.help) {
            System.out.print(Options.usage());
            System.out.flush();
            System.exit(EXIT_OK);
            return;
        }
        if (opt.list) {
            System.exit(list(opt.device, opt.calibration));
            return;
        }
        ChartStyle.prepareGraphics();
        StopSignal stop = new StopSignal();
        stop.install();
        int status;
        try {
            status = new AcquisitionDemo(opt, stop).run();
        } catch (DeviceUnavailable e) {
            System.out.flush();
            System.err.println(PROGRAM + ": " + e.getMessage());
            status = EXIT_FAILED;
        } catch (RuntimeException | LinkageError | IOException e) {
            // A failure the demo does not expect still gets one readable line, not a stack trace.
            System.out.flush();
            System.err.println(PROGRAM + ": " + e.getClass().getSimpleName() + ": " + e.getMessage());
            status = EXIT_FAILED;
        } finally {
            System.out.flush();
            stop.finished();
        }
        if (stop.shuttingDown()) {
            return;
        }
        stop.uninstall();
        System.exit(status);
    }

    /** {@code --list}: the description, or the library's message when the device cannot be described. */
    static int list(String device, Path calibration) {
        try {
            DeviceListing.print(calibration == null ? ComediDeviceInfo.describe(device)
                    : ComediDeviceInfo.describe(device, calibration), System.out);
            System.out.flush();
            return EXIT_OK;
        } catch (ComediException e) {
            System.out.flush();
            System.err.println(PROGRAM + ": " + e.getMessage());
            return EXIT_FAILED;
        }
    }

    /** The sections in the order they run; each prints its own part. */
    private int run() throws DeviceUnavailable, IOException {
        out.printf(Locale.ROOT, "libvorn acquisition demo on %s%s%n", opt.device,
                opt.emulated() ? " (the emulated board)" : "");
        out.println();
        Acquisition acq = new Streaming(opt, inputs, stop, out, terminal).run();
        boolean ok = acq != null && acq.failure == null;
        if (acq != null) {
            Statistics.print(acq, inputs, out);
            if (acq.rows() > 0) {
                SampleFiles.write(acq, inputs, opt, out);
            }
        }
        if (stop.shuttingDown()) {
            return EXIT_FAILED;
        }
        if (opt.stimulus) {
            ok &= new Stimulus(opt, out).run();
        }
        OtherDevices devices = new OtherDevices(opt, out);
        devices.sampling();
        if (opt.outputs) {
            devices.analogOutput();
            devices.digitalOutput();
        } else {
            out.println();
            out.println("Output sections skipped (--no-outputs).");
        }
        return ok ? EXIT_OK : EXIT_FAILED;
    }
}
