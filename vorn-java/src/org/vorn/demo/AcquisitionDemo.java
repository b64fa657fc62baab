package org.vorn.demo;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.image.BufferedImage;
import java.io.BufferedWriter;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

import javax.imageio.ImageIO;

import org.jfree.chart.ChartFactory;
import org.jfree.chart.JFreeChart;
import org.jfree.chart.axis.NumberAxis;
import org.jfree.chart.block.BlockBorder;
import org.jfree.chart.plot.PlotOrientation;
import org.jfree.chart.plot.XYPlot;
import org.jfree.chart.renderer.xy.XYLineAndShapeRenderer;
import org.jfree.chart.title.TextTitle;
import org.jfree.data.xy.XYSeries;
import org.jfree.data.xy.XYSeriesCollection;
import org.jfree.ui.RectangleEdge;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogSWOutDevice;
import org.vorn.acq.comedi.ComediAnalogSamplingDevice;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediDigitalPortOutDevice;
import org.vorn.exception.ComediException;

/**
 * What the library is for, run the way a lab engineer would use it: a few channels streamed at a
 * fixed rate for a fixed number of scans, their statistics, a CSV file and a plot of them, then
 * one call each of the software-timed input, the analog output and the digital ports.
 *
 * <p>Runs on the emulated board by default; {@code --device /dev/comedi0} runs it on hardware.
 * Only the public API of {@code org.vorn.acq.comedi} is used.
 */
public final class AcquisitionDemo {
    static final String PROGRAM = "run-demo";
    static final String EMULATED_MULTI = "/dev/comedi-emu/multi";

    static final String CSV_NAME = "acquisition.csv";
    static final String PNG_NAME = "acquisition.png";
    static final int PLOT_WIDTH = 1200;
    static final int PLOT_HEIGHT = 700;

    /** How often the stream is drained when it has been emptied. */
    static final long POLL_MILLIS = 10;
    /**
     * Every sample is kept in memory until the files are written; this bounds that memory
     * (160 MB of doubles) instead of running out of heap in the middle of an acquisition.
     */
    static final long MAX_VALUES = 20_000_000L;

    static final int EXIT_OK = 0;
    static final int EXIT_FAILED = 1;
    static final int EXIT_USAGE = 2;

    /** One stream position: hardware channel, range asked for, and what the emulated board feeds it. */
    record Input(int channel, double min, double max, String emulatedSignal) {
        String name() {
            return "AI" + channel;
        }

        String range() {
            return range("+/-");
        }

        /** For the plot, whose fonts have the sign whatever the terminal's encoding. */
        String plotRange() {
            return range("\u00b1");
        }

        private String range(String plusMinus) {
            return min == -max ? plusMinus + volts(max) + " V" : volts(min) + ".." + volts(max) + " V";
        }

        private static String volts(double v) {
            return v == Math.rint(v) ? Long.toString((long) v) : Double.toString(v);
        }
    }

    /**
     * Channels in the order {@code --channels N} takes them. The first four show the emulated
     * board's moving signals and a DC level; each range is the narrowest that holds its signal.
     */
    static final Input[] INPUTS = {
        new Input(4, -5, 5, "2 V sine, 10 Hz"),
        new Input(5, -5, 5, "+/-3 V square, 5 Hz"),
        new Input(6, -5, 5, "-4..+4 V sawtooth, 2 Hz"),
        new Input(1, -5, 5, "+1 V DC"),
        new Input(3, -5, 5, "+4 V DC"),
        new Input(2, -5, 5, "-2.5 V DC"),
        new Input(12, -5, 5, "+3.3 V DC"),
        new Input(10, -1, 1, "+0.5 V DC"),
        new Input(11, -1, 1, "-0.5 V DC"),
        new Input(0, -1, 1, "0 V"),
        new Input(8, -10, 10, "+9 V DC"),
        new Input(9, -10, 10, "-9 V DC"),
        new Input(13, -10, 10, "-7 V DC"),
        new Input(14, -10, 10, "AO0 looped back"),
        new Input(15, -10, 10, "AO1 looped back"),
        new Input(7, -10, 10, "sample counter"),
    };

    static final Color[] PALETTE = {
        new Color(0x1f77b4), new Color(0xd62728), new Color(0x2ca02c), new Color(0xff7f0e),
        new Color(0x9467bd), new Color(0x8c564b), new Color(0xe377c2), new Color(0x7f7f7f),
        new Color(0xbcbd22), new Color(0x17becf), new Color(0x393b79), new Color(0xad494a),
        new Color(0x637939), new Color(0x8c6d31), new Color(0x843c39), new Color(0x7b4173),
    };

    /** Parsed command line. */
    static final class Options {
        String device = EMULATED_MULTI;
        int channels = 4;
        double rate = 1000;
        double duration = 3;
        Path out = Paths.get("demo-output");
        boolean outputs = true;
        boolean help;

        long scans() {
            return Math.round(rate * duration);
        }
    }

    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }

    /** Raised when the device cannot be opened at all: nothing else is worth trying then. */
    static final class DeviceUnavailable extends Exception {
        private static final long serialVersionUID = 1L;

        DeviceUnavailable(String message) {
            super(message);
        }
    }

    // Set by the shutdown hook (^C, kill); the acquisition loop ends at its next poll.
    private static volatile boolean stopRequested;
    private static volatile boolean interrupted;
    private static final CountDownLatch finished = new CountDownLatch(1);

    private final Options opt;
    private final Input[] inputs;
    private final PrintStream out = System.out;
    private final boolean terminal = System.console() != null;

    AcquisitionDemo(Options opt) {
        this.opt = opt;
        this.inputs = java.util.Arrays.copyOf(INPUTS, opt.channels);
    }

    public static void main(String[] args) {
        Options opt;
        try {
            opt = parse(args);
        } catch (UsageException e) {
            System.err.println(PROGRAM + ": " + e.getMessage());
            System.err.print(usage());
            System.err.flush();
            System.exit(EXIT_USAGE);
            return;
        }
        if (opt.help) {
            System.out.print(usage());
            System.out.flush();
            System.exit(EXIT_OK);
            return;
        }
        prepareGraphics();
        Thread hook = new Thread(AcquisitionDemo::onShutdown, "demo-shutdown");
        Runtime.getRuntime().addShutdownHook(hook);
        int status;
        try {
            status = new AcquisitionDemo(opt).run();
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
            finished.countDown();
        }
        if (interrupted) {
            // The JVM is already shutting down (the hook waits for the count-down above);
            // System.exit would block for good now.
            return;
        }
        Runtime.getRuntime().removeShutdownHook(hook);
        System.exit(status);
    }

    /**
     * After ^C the plot is drawn while the JVM shuts down, when nothing may add a shutdown hook any
     * more. ImageIO's file cache adds one per stream (and is of no use for a file written at
     * once), and the graphics and font set-up may: both are done now, before the acquisition.
     */
    private static void prepareGraphics() {
        ImageIO.setUseCache(false);
        BufferedImage probe = new BufferedImage(8, 8, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = probe.createGraphics();
        g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
        g.drawString("0", 0, 8);
        g.dispose();
    }

    /** ^C or a kill: stop the acquisition and let it write what arrived before the JVM goes. */
    private static void onShutdown() {
        interrupted = true;
        stopRequested = true;
        try {
            finished.await(120, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    // ---- command line ----------------------------------------------------------------------

    static String usage() {
        return String.join("\n",
            "usage: " + PROGRAM + " [--device PATH] [--channels N] [--rate HZ] [--duration SECONDS] [--out DIR]",
            "                [--no-outputs] [--help]",
            "",
            "Streams analog input channels through ComediAnalogStreamingDevice, prints the command test,",
            "a progress bar and per-channel statistics, writes the samples to DIR/" + CSV_NAME,
            "(time in s, one column per channel in V) and a plot to DIR/" + PNG_NAME + ", then shows one",
            "software-timed scan, an analog output read back and a digital port pattern.",
            "",
            "  --device PATH       Comedi device file (default " + EMULATED_MULTI + ", the emulated board).",
            "                      A real board, e.g. /dev/comedi0, works the same: the emulated board is",
            "                      preloaded by the launcher but passes every other path to the real device.",
            "  --channels N        channels to stream, 1 to " + INPUTS.length + " (default 4): AI4, AI5, AI6, AI1, then",
            "                      AI3, AI2, AI12, AI10, AI11, AI0, AI8, AI9, AI13, AI14, AI15, AI7",
            "  --rate HZ           scans per second, every channel once per scan (default 1000)",
            "  --duration SECONDS  acquisition time; the demo keeps exactly rate x duration scans (default 3)",
            "  --out DIR           folder for the CSV file and the plot (default ./demo-output)",
            "  --no-outputs        skip the analog and digital output sections. On a real board they set",
            "                      AO0 to +2.5 V and -1.25 V and digital lines 0-7 to 0xA5 and 0x5A, then",
            "                      back to 0 V and 0x00: disconnect what those outputs drive, or use this.",
            "  --help              this text",
            "",
            "^C stops the acquisition early: the command is cancelled, the device closed and the files",
            "are written with what arrived. Exit status: 0 done, 1 device or acquisition failure, 2 bad",
            "options.",
            "");
    }

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
            switch (name) {
                case "--help", "-h" -> o.help = true;
                case "--no-outputs" -> o.outputs = false;
                case "--device", "--channels", "--rate", "--duration", "--out" -> {
                    if (value == null) {
                        if (i + 1 >= args.length) {
                            throw new UsageException(name + " needs a value");
                        }
                        value = args[++i];
                    }
                    switch (name) {
                        case "--device" -> {
                            if (value.isEmpty()) {
                                throw new UsageException("--device needs a path");
                            }
                            o.device = value;
                        }
                        case "--channels" -> {
                            int n = parseInt(name, value);
                            if (n < 1 || n > INPUTS.length) {
                                throw new UsageException("--channels must be 1 to " + INPUTS.length + ", not " + value);
                            }
                            o.channels = n;
                        }
                        case "--rate" -> o.rate = parsePositive(name, value);
                        case "--duration" -> o.duration = parsePositive(name, value);
                        default -> {
                            if (value.isEmpty()) {
                                throw new UsageException("--out needs a folder");
                            }
                            o.out = Paths.get(value);
                        }
                    }
                }
                default -> throw new UsageException(
                        (arg.startsWith("-") ? "unknown option " : "unexpected argument ") + arg);
            }
        }
        long scans = o.scans();
        if (scans < 1) {
            throw new UsageException("--rate " + fmt(o.rate) + " for --duration " + fmt(o.duration)
                    + " s gives no scan at all");
        }
        if (scans > MAX_VALUES / o.channels) {
            throw new UsageException("--rate x --duration x --channels asks for " + (double) scans * o.channels
                    + " samples; the demo keeps at most " + MAX_VALUES + " in memory");
        }
        return o;
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

    // ---- the demo ----------------------------------------------------------------------------

    private boolean emulated() {
        return EMULATED_MULTI.equals(opt.device);
    }

    int run() throws DeviceUnavailable, IOException {
        out.printf(Locale.ROOT, "libvorn acquisition demo on %s%s%n", opt.device,
                emulated() ? " (the emulated board)" : "");
        out.println();
        Acquisition acq = stream();
        boolean ok = acq != null && acq.failure == null;
        if (acq != null && acq.rows() > 0) {
            writeFiles(acq);
        }
        if (interrupted) {
            return EXIT_FAILED;
        }
        sampling();
        if (opt.outputs) {
            analogOutput();
            digitalOutput();
        } else {
            out.println();
            out.println("Output sections skipped (--no-outputs).");
        }
        return ok ? EXIT_OK : EXIT_FAILED;
    }

    /** What one streaming run collected. */
    final class Acquisition {
        final int nChannels = inputs.length;
        final long wantedScans = opt.scans();
        final double[] samples = new double[Math.toIntExact(wantedScans * nChannels)];
        long receivedValues;      // every value read, including those past the last kept scan
        int storedValues;
        long lostScans;
        double seconds;
        String failure;
        boolean stoppedByUser;

        long rows() {
            return storedValues / nChannels;
        }
    }

    /** Streams the channels; null when the streaming device could not be set up (already reported). */
    private Acquisition stream() throws DeviceUnavailable {
        long scans = opt.scans();
        // A read returns at most bufSize values: room for four poll intervals, so one read
        // normally empties the driver's buffer; when it comes back full the loop reads again at once.
        long perRead = Math.max(64, (long) Math.ceil(opt.rate * POLL_MILLIS / 1000.0 * 4));
        int bufSize = (int) Math.min(perRead * inputs.length, 1 << 20);

        ComediAnalogStreamingDevice ai;
        try {
            ai = new ComediAnalogStreamingDevice(opt.device, inputs.length, opt.rate, bufSize);
        } catch (ComediException e) {
            return refuse(e);
        }
        out.printf(Locale.ROOT, "Streaming %d channel%s at %s Hz for %s s (%d scans) with ComediAnalogStreamingDevice:%n",
                inputs.length, inputs.length == 1 ? "" : "s", fmt(opt.rate), fmt(opt.duration), scans);
        for (int i = 0; i < inputs.length; i++) {
            Input in = inputs[i];
            out.printf(Locale.ROOT, "  position %2d: %-4s %-10s%s%n", i, in.name(), in.range(),
                    emulated() ? "  " + in.emulatedSignal() : "");
        }
        out.println();
        try (ai) {
            try {
                for (int i = 0; i < inputs.length; i++) {
                    Input in = inputs[i];
                    ai.configureChannel(i, in.channel(), in.min(), in.max(), AnalogReference.GROUND);
                }
                out.println("Command test (printed by the library):");
                out.flush();
                ai.configure();   // the library prints the trace on the process's standard output
            } catch (ComediException e) {
                System.out.flush();
                out.println("Streaming not possible: " + e.getMessage());
                return null;
            }
            out.println();
            Acquisition acq = new Acquisition();
            acquire(ai, acq);
            report(acq);
            return acq;
        }
    }

    private Acquisition refuse(ComediException e) throws DeviceUnavailable {
        String m = e.getMessage();
        if (m != null && m.startsWith("Error opening comedi device")) {
            throw new DeviceUnavailable(m);
        }
        out.println("Streaming not possible: " + m);
        return null;
    }

    private void acquire(ComediAnalogStreamingDevice ai, Acquisition acq) {
        int n = acq.nChannels;
        long wantedValues = (long) acq.samples.length;
        double[] chunk = new double[ai.getBufferSize()];
        Progress progress = new Progress(acq);
        long stallLimitNs = (long) Math.max(2e9, 20e9 / opt.rate);

        out.println("Acquiring (^C stops early and keeps what arrived):");
        long startedNs;
        try {
            ai.start();
        } catch (ComediException e) {
            acq.failure = e.getMessage();
            out.println("Acquisition not started: " + acq.failure);
            return;
        }
        // The command began inside start(), so by the clock read here at most this many ns of
        // scans are behind: every count of "scans that must have arrived" below is a lower bound.
        startedNs = System.nanoTime();
        long lastDataNs = startedNs;
        boolean drained = false;
        try {
            while (true) {
                if (stopRequested) {
                    acq.stoppedByUser = true;
                    break;
                }
                if (acq.receivedValues >= wantedValues && drained) {
                    break;
                }
                long readNs = System.nanoTime();
                int got;
                try {
                    got = ai.read(chunk);
                } catch (ComediException e) {
                    // An overrun lands here once what was buffered before it has been read.
                    acq.failure = e.getMessage();
                    acq.lostScans = Math.max(acq.lostScans, missingScans(readNs, startedNs, acq));
                    break;
                }
                if (got > 0) {
                    int keep = (int) Math.min(got, wantedValues - acq.storedValues);
                    System.arraycopy(chunk, 0, acq.samples, acq.storedValues, keep);
                    acq.storedValues += keep;
                    acq.receivedValues += got;
                    lastDataNs = readNs;
                }
                drained = got < chunk.length;
                if (drained) {
                    acq.lostScans = Math.max(acq.lostScans, missingScans(readNs, startedNs, acq));
                }
                long now = System.nanoTime();
                acq.seconds = (now - startedNs) / 1e9;
                progress.update(now);
                if (now - lastDataNs > stallLimitNs) {
                    acq.failure = String.format(Locale.ROOT, "no samples for %.1f s", (now - lastDataNs) / 1e9);
                    break;
                }
                if (drained && acq.receivedValues < wantedValues) {
                    sleep(POLL_MILLIS);
                }
            }
        } finally {
            acq.seconds = (System.nanoTime() - startedNs) / 1e9;
            progress.finish();
            try {
                ai.stop();
            } catch (ComediException e) {
                if (acq.failure == null) {
                    acq.failure = e.getMessage();
                }
            }
        }
        if (acq.stoppedByUser) {
            out.printf(Locale.ROOT, "Stopped after %.2f s: acquisition cancelled, device closed, %d complete scans kept.%n",
                    acq.seconds, acq.rows());
        }
        if (acq.failure != null) {
            out.println("Acquisition ended early: " + acq.failure);
        }
        int partial = acq.storedValues % n;
        acq.storedValues -= partial;   // a scan cut short by ^C or a failure is not a row
    }

    /**
     * Scans that the clock says had been converted when a read began but that never arrived.
     *
     * <p>The board converts one scan every 1/rate s from the moment the command starts, and the
     * driver keeps each in its buffer until it is read; the only way Comedi loses samples is a
     * buffer overrun, which stops the command and reaches Java as a ComediException. This count
     * checks that independently with the host clock: the command started before {@code startedNs},
     * so when a read begins at {@code readNs} at least floor((readNs - startedNs) × rate) scans
     * had been converted, and a read that drains the buffer must have delivered all of them (the
     * poll inside the read comes after {@code readNs}). The shortfall is counted as lost beyond a
     * tolerance for what may honestly still be on its way: the scan being converted at that
     * instant, 0.1 % for a board's crystal against the host clock, and, on real hardware only, a
     * board FIFO's worth (20 ms) of scans not yet moved into the driver's buffer.
     */
    private long missingScans(long readNs, long startedNs, Acquisition acq) {
        double due = Math.floor((readNs - startedNs) / 1e9 * opt.rate);
        double tolerance = 1 + due * 1e-3 + (emulated() ? 0 : Math.ceil(opt.rate * 0.02));
        double arrived = (double) (acq.receivedValues / acq.nChannels);
        return (long) Math.max(0, Math.floor(due - tolerance - arrived));
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            stopRequested = true;
        }
    }

    /** The progress line: redrawn in place on a terminal, one line a second otherwise. */
    final class Progress {
        private static final int WIDTH = 30;
        private final Acquisition acq;
        private final double total;
        private long nextNs;
        private boolean drawn;
        private long drawnValues = -1;

        Progress(Acquisition acq) {
            this.acq = acq;
            this.total = acq.wantedScans / opt.rate;
            this.nextNs = System.nanoTime();
        }

        void update(long now) {
            if (now < nextNs) {
                return;
            }
            nextNs = now + (terminal ? 100_000_000L : 1_000_000_000L);
            draw();
        }

        void finish() {
            if (terminal || drawnValues != acq.receivedValues) {
                draw();
            }
            if (terminal && drawn) {
                out.println();
            }
            out.flush();
        }

        private void draw() {
            long values = Math.min(acq.receivedValues, acq.samples.length);
            double fraction = Math.min(1.0, (double) values / acq.samples.length);
            double rate = acq.seconds > 0 ? values / acq.seconds : 0;
            if (terminal) {
                int filled = (int) Math.round(fraction * WIDTH);
                out.printf(Locale.ROOT, "\r  [%s%s] %5.1f %%  %6.2f / %.2f s  %,10d samples  %,9.0f samples/s ",
                        "#".repeat(filled), ".".repeat(WIDTH - filled), 100 * fraction, acq.seconds, total,
                        values, rate);
            } else {
                out.printf(Locale.ROOT, "  %5.1f %%  %6.2f / %.2f s  %d samples  %.0f samples/s%n",
                        100 * fraction, acq.seconds, total, values, rate);
            }
            out.flush();
            drawn = true;
            drawnValues = acq.receivedValues;
        }
    }

    /** The per-channel table. */
    private void report(Acquisition acq) {
        long rows = acq.rows();
        int n = acq.nChannels;
        out.println();
        out.printf(Locale.ROOT, "%-8s %-11s %9s %10s %10s %10s %10s %6s%n",
                "channel", "range", "samples", "min [V]", "max [V]", "mean [V]", "RMS [V]", "lost");
        for (int c = 0; c < n; c++) {
            double min = Double.POSITIVE_INFINITY;
            double max = Double.NEGATIVE_INFINITY;
            double sum = 0;
            double sumSq = 0;
            for (long r = 0; r < rows; r++) {
                double v = acq.samples[(int) (r * n + c)];
                min = Math.min(min, v);
                max = Math.max(max, v);
                sum += v;
                sumSq += v * v;
            }
            double mean = rows > 0 ? sum / rows : Double.NaN;
            double rms = rows > 0 ? Math.sqrt(sumSq / rows) : Double.NaN;
            if (rows == 0) {
                min = max = Double.NaN;
            }
            out.printf(Locale.ROOT, "%-8s %-11s %9d %+10.4f %+10.4f %+10.4f %10.4f %6d%n",
                    inputs[c].name(), inputs[c].range(), rows, min, max, mean, rms, acq.lostScans);
        }
        if (acq.lostScans == 0 && acq.failure == null) {
            out.printf(Locale.ROOT, "%d scans in %.2f s, none lost (no overrun reported, and every read kept up "
                    + "with the clock).%n", rows, acq.seconds);
        } else if (acq.lostScans > 0) {
            out.printf(Locale.ROOT, "%d scans per channel never arrived: the clock says they were converted, "
                    + "but the reads fell behind.%n", acq.lostScans);
        }
    }

    // ---- files -------------------------------------------------------------------------------

    private void writeFiles(Acquisition acq) throws IOException {
        Files.createDirectories(opt.out);
        Path csv = opt.out.resolve(CSV_NAME).toAbsolutePath().normalize();
        Path png = opt.out.resolve(PNG_NAME).toAbsolutePath().normalize();
        writeCsv(acq, csv);
        writePlot(acq, png);
        out.println();
        out.printf(Locale.ROOT, "Samples: %s (%d row%s: time_s", csv, acq.rows(), acq.rows() == 1 ? "" : "s");
        for (Input in : inputs) {
            out.print(", " + column(in));
        }
        out.println(")");
        out.println("Plot:    " + png);
        out.flush();
    }

    private static String column(Input in) {
        return "ai" + in.channel() + "_V";
    }

    private void writeCsv(Acquisition acq, Path file) throws IOException {
        int n = acq.nChannels;
        long rows = acq.rows();
        // Times are scan index over the requested rate; the command test may have rounded the
        // period to what the board's timer can do (its trace above shows scan_begin_arg).
        StringBuilder line = new StringBuilder(32 + 16 * n);
        try (BufferedWriter w = Files.newBufferedWriter(file, StandardCharsets.US_ASCII)) {
            line.append("time_s");
            for (Input in : inputs) {
                line.append(',').append(column(in));
            }
            w.append(line).append('\n');
            for (long r = 0; r < rows; r++) {
                line.setLength(0);
                appendFixed(line, r / opt.rate);
                for (int c = 0; c < n; c++) {
                    line.append(',');
                    appendFixed(line, acq.samples[(int) (r * n + c)]);
                }
                w.append(line).append('\n');
            }
        }
    }

    /**
     * Six decimals (1 µs, 1 µV: finer than a 16-bit step of a ±1 V range), written without
     * String.format, which would dominate the time of a long run's file.
     */
    static void appendFixed(StringBuilder sb, double v) {
        long micro = Math.round(v * 1e6);
        if (micro < 0) {
            sb.append('-');
            micro = -micro;
        }
        sb.append(micro / 1_000_000).append('.');
        String frac = Long.toString(micro % 1_000_000);
        for (int i = frac.length(); i < 6; i++) {
            sb.append('0');
        }
        sb.append(frac);
    }

    /** At most this many points per line; longer runs keep each bucket's minimum and maximum. */
    static final int PLOT_POINTS = 8000;

    private void writePlot(Acquisition acq, Path file) throws IOException {
        int n = acq.nChannels;
        long rows = acq.rows();
        XYSeriesCollection data = new XYSeriesCollection();
        long bucket = Math.max(1, (2 * rows + PLOT_POINTS - 1) / PLOT_POINTS);
        for (int c = 0; c < n; c++) {
            Input in = inputs[c];
            String label = in.name() + " (" + in.plotRange() + ")"
                    + (emulated() ? ": " + in.emulatedSignal().replace("+/-", "\u00b1") : "");
            XYSeries s = new XYSeries(label, false, true);
            if (bucket == 1) {
                for (long r = 0; r < rows; r++) {
                    s.add(r / opt.rate, acq.samples[(int) (r * n + c)], false);
                }
            } else {
                // The envelope of each bucket, in time order, so that peaks and edges survive.
                for (long r0 = 0; r0 < rows; r0 += bucket) {
                    long r1 = Math.min(rows, r0 + bucket);
                    long rMin = r0;
                    long rMax = r0;
                    for (long r = r0; r < r1; r++) {
                        double v = acq.samples[(int) (r * n + c)];
                        if (v < acq.samples[(int) (rMin * n + c)]) {
                            rMin = r;
                        }
                        if (v > acq.samples[(int) (rMax * n + c)]) {
                            rMax = r;
                        }
                    }
                    long first = Math.min(rMin, rMax);
                    long second = Math.max(rMin, rMax);
                    s.add(first / opt.rate, acq.samples[(int) (first * n + c)], false);
                    if (second != first) {
                        s.add(second / opt.rate, acq.samples[(int) (second * n + c)], false);
                    }
                }
            }
            data.addSeries(s);
        }

        String title = String.format(Locale.ROOT, "%d channel%s at %s Hz on %s", n, n == 1 ? "" : "s",
                fmt(opt.rate), opt.device);
        JFreeChart chart = ChartFactory.createXYLineChart(title, "time [s]", "voltage [V]", data,
                PlotOrientation.VERTICAL, true, false, false);
        chart.setAntiAlias(true);
        chart.setTextAntiAlias(true);
        chart.setBackgroundPaint(Color.WHITE);
        chart.getTitle().setFont(new Font(Font.SANS_SERIF, Font.BOLD, 18));
        TextTitle subtitle = new TextTitle(String.format(Locale.ROOT,
                "ComediAnalogStreamingDevice, %d scans in %.2f s, %d lost%s", rows, acq.seconds, acq.lostScans,
                acq.stoppedByUser ? ", stopped early" : ""),
                new Font(Font.SANS_SERIF, Font.PLAIN, 13));
        subtitle.setPaint(Color.DARK_GRAY);
        chart.addSubtitle(subtitle);
        chart.getLegend().setPosition(RectangleEdge.BOTTOM);
        chart.getLegend().setFrame(BlockBorder.NONE);
        chart.getLegend().setItemFont(new Font(Font.SANS_SERIF, Font.PLAIN, 13));

        XYPlot plot = chart.getXYPlot();
        plot.setBackgroundPaint(Color.WHITE);
        plot.setOutlinePaint(Color.GRAY);
        plot.setDomainGridlinePaint(new Color(0xd0d0d0));
        plot.setRangeGridlinePaint(new Color(0xd0d0d0));
        plot.setDomainGridlineStroke(new BasicStroke(0.8f));
        plot.setRangeGridlineStroke(new BasicStroke(0.8f));
        plot.setRangeZeroBaselineVisible(true);
        plot.setRangeZeroBaselinePaint(Color.GRAY);

        XYLineAndShapeRenderer lines = new XYLineAndShapeRenderer(true, false);
        for (int c = 0; c < n; c++) {
            lines.setSeriesPaint(c, PALETTE[c % PALETTE.length]);
            lines.setSeriesStroke(c, new BasicStroke(1.5f, BasicStroke.CAP_ROUND, BasicStroke.JOIN_ROUND));
        }
        plot.setRenderer(lines);

        Font axisLabel = new Font(Font.SANS_SERIF, Font.PLAIN, 14);
        Font ticks = new Font(Font.SANS_SERIF, Font.PLAIN, 12);
        NumberAxis x = (NumberAxis) plot.getDomainAxis();
        x.setLabelFont(axisLabel);
        x.setTickLabelFont(ticks);
        x.setAutoRangeIncludesZero(true);
        x.setLowerMargin(0);
        x.setUpperMargin(0);
        if (rows > 1) {
            x.setRange(0, Math.max((rows - 1) / opt.rate, 1e-9));
        }
        NumberAxis y = (NumberAxis) plot.getRangeAxis();
        y.setLabelFont(axisLabel);
        y.setTickLabelFont(ticks);
        y.setAutoRangeIncludesZero(true);
        y.setUpperMargin(0.08);
        y.setLowerMargin(0.08);

        BufferedImage image = chart.createBufferedImage(PLOT_WIDTH, PLOT_HEIGHT);
        if (!ImageIO.write(image, "png", file.toFile())) {
            throw new IOException("no PNG writer in this Java runtime");
        }
    }

    // ---- the other devices ---------------------------------------------------------------------

    /** One software-timed scan of every input channel, ±10 V. */
    private void sampling() {
        out.println();
        out.println("Software-timed scan of all inputs (ComediAnalogSamplingDevice, +/-10 V):");
        int channels = 16;
        double[] volts;
        while (true) {
            try (ComediAnalogSamplingDevice ai = new ComediAnalogSamplingDevice(opt.device, channels)) {
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
    private void analogOutput() {
        out.println();
        out.println("Analog output (ComediAnalogSWOutDevice AO0, +/-10 V), read back on AI14"
                + (emulated() ? " (the emulated board loops AO0 back to AI14):" : ":"));
        try (ComediAnalogSWOutDevice ao = new ComediAnalogSWOutDevice(opt.device, 1)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ComediAnalogSamplingDevice back = null;
            String noReadBack = null;
            try {
                back = new ComediAnalogSamplingDevice(opt.device, 1);
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
    private void digitalOutput() {
        out.println();
        out.println("Digital output (ComediDigitalPortOutDevice, port 0 = lines 0-7, every line made an output):");
        try (ComediDigitalPortOutDevice dio = new ComediDigitalPortOutDevice(opt.device, new int[] {0}, 8)) {
            for (long pattern : new long[] {0xA5, 0x5A, 0x00}) {
                dio.write(pattern);
                String bits = String.format("%8s", Long.toBinaryString(pattern)).replace(' ', '0');
                out.printf(Locale.ROOT, "  port 0 <- 0x%02X   lines 7..0 = %s %s%n", pattern,
                        bits.substring(0, 4), bits.substring(4));
            }
        } catch (ComediException e) {
            out.println("  skipped: " + e.getMessage());
        }
    }

    static String fmt(double v) {
        if (v == Math.rint(v) && Math.abs(v) < 1e15) {
            return Long.toString((long) v);
        }
        return Double.toString(v);
    }
}
