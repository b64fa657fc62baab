package org.vorn.demo;

import java.io.PrintStream;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.exception.ComediException;

/**
 * The hardware-timed part, which is what the library is for: open a streaming device, configure
 * its positions, run the command test, then drain the driver's buffer until exactly the scans
 * asked for have arrived, counting any that the clock says are missing.
 */
final class Streaming {
    /** How often the stream is drained when it has been emptied. */
    static final long POLL_MILLIS = 10;

    private final Options opt;
    private final Input[] inputs;
    private final StopSignal stop;
    private final PrintStream out;
    private final boolean terminal;

    Streaming(Options opt, Input[] inputs, StopSignal stop, PrintStream out, boolean terminal) {
        this.opt = opt;
        this.inputs = inputs;
        this.stop = stop;
        this.out = out;
        this.terminal = terminal;
    }

    /** Streams the channels; null when the streaming device could not be set up (already reported). */
    Acquisition run() throws DeviceUnavailable {
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
                inputs.length, inputs.length == 1 ? "" : "s", Numbers.plain(opt.rate), Numbers.plain(opt.duration),
                scans);
        for (int i = 0; i < inputs.length; i++) {
            Input in = inputs[i];
            out.printf(Locale.ROOT, "  position %2d: %-4s %-10s%s%n", i, in.name(), in.range(),
                    opt.emulated() ? "  " + in.emulatedSignal() : "");
        }
        out.println();
        try (ai) {
            String[] ranges = new String[inputs.length];
            try {
                for (int i = 0; i < inputs.length; i++) {
                    Input in = inputs[i];
                    ai.configureChannel(i, in.channel(), in.min(), in.max(), AnalogReference.GROUND);
                    // The smallest range that holds the request, which is what the values can span.
                    ranges[i] = DeviceListing.range(ai.channelRange(i).range());
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
            Acquisition acq = new Acquisition(inputs.length, scans, ranges);
            acquire(ai, acq);
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
        Progress progress = new Progress(acq, opt.rate, out, terminal);
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
                if (stop.requested()) {
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
        double tolerance = 1 + due * 1e-3 + (opt.emulated() ? 0 : Math.ceil(opt.rate * 0.02));
        double arrived = (double) (acq.receivedValues / acq.nChannels);
        return (long) Math.max(0, Math.floor(due - tolerance - arrived));
    }

    private void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            stop.request();
        }
    }
}
