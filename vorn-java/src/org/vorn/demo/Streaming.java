// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.time.Duration;
import java.util.Locale;
import java.util.StringJoiner;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.CalibrationState;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ScanBlock;
import org.vorn.exception.ComediException;
import org.vorn.exception.ComediOverrunException;

/**
 * The hardware-timed part, which is what the library is for: open a streaming device, configure
 * its positions, make the stream a counted one of exactly the scans asked for, run the command
 * test, then wait for whole scans until the stream ends by itself, counting any that the clock
 * says are missing.
 */
final class Streaming {
    /** The wake-up threshold: a read waits until this much of the stream has arrived. */
    static final long WAKE_MILLIS = 10;
    /** The longest a read waits before the loop looks at ^C again. */
    static final long STOP_CHECK_MILLIS = 100;

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

    /**
     * On a board calibrated in software, how each position converts: "Calibration: AI4 calibrated,
     * ..." with the file, or why it converts linearly. Nothing on other boards.
     */
    private void printCalibration(ComediAnalogStreamingDevice ai) {
        StringJoiner states = new StringJoiner(", ");
        boolean needed = false;
        for (int i = 0; i < inputs.length; i++) {
            CalibrationState state = ai.getCalibrationState(i);
            needed |= state != CalibrationState.NOT_NEEDED;
            states.add(inputs[i].name() + " " + state.name().toLowerCase(Locale.ROOT).replace('_', ' '));
        }
        if (needed) {
            String file = opt.calibration != null ? opt.calibration.toString() : "comedilib's default file";
            out.println("Calibration (" + file + "): " + states);
            out.println();
        }
    }

    /** Streams the channels; null when the streaming device could not be set up (already reported). */
    Acquisition run() throws DeviceUnavailable {
        long scans = opt.scans();
        // A read returns at most bufSize values: room for four poll intervals, so one read
        // normally empties the driver's buffer; when it comes back full the loop reads again at once.
        long perRead = Math.max(64, (long) Math.ceil(opt.rate * WAKE_MILLIS / 1000.0 * 4));
        int bufSize = (int) Math.min(perRead * inputs.length, 1 << 20);

        ComediAnalogStreamingDevice ai;
        try {
            ai = new ComediAnalogStreamingDevice(opt.device, inputs.length, opt.rate, bufSize);
            opt.calibrate(ai);
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
                    ranges[i] = DeviceListing.range(ai.getChannelRange(i).range());
                }
                printCalibration(ai);
                ai.setScanCount(scans); // exactly rate x duration scans, then the stream ends by itself
                ai.setStartTrigger(opt.start); // refused at configure() by a board without that start
                out.println("Command test (printed by the library):");
                out.flush();
                TracePrinter.during(out, ai::configure); // the library logs the trace; the demo prints it
            } catch (ComediException e) {
                System.out.flush();
                out.println("Streaming not possible: " + e.getMessage());
                return null;
            }
            out.println();
            // The driver rounds the timers: the scans come at its rate, and their times follow it.
            out.printf(Locale.ROOT, "Accepted: %s Hz (scan period %d ns, convert period %d ns), %d scans in %s s%n%n",
                    Numbers.plain(Math.round(ai.getScanRateHz() * 1000) / 1000.0), ai.getScanPeriodNanos(),
                    ai.getConvertPeriodNanos(), scans, Numbers.plain(scans * ai.getScanPeriodNanos() / 1e9));
            Acquisition acq = new Acquisition(inputs.length, scans, ranges, ai.getScanPeriodNanos());
            if (opt.hdf5 != null || opt.trigger != null) {
                LoggedRun.acquire(ai, acq, opt, stop, out, terminal);
            } else {
                acquire(ai, acq);
            }
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
        // Each read waits for about WAKE_MILLIS of scans (the wake-up threshold), and returns at
        // least every STOP_CHECK_MILLIS so that ^C is seen.
        int perRead = ai.getBufferSize() / n;
        ScanBlock block = ScanBlock.interleaved(n, perRead);
        int minScans = (int) Math.max(1, Math.min(perRead, Math.round(acq.scanRate * WAKE_MILLIS / 1000.0)));
        Duration timeout = Duration.ofMillis(STOP_CHECK_MILLIS);
        Progress progress = new Progress(acq, acq.scanRate, out, terminal);
        long stallLimitNs = (long) Math.max(2e9, 20e9 / acq.scanRate);

        out.println("Acquiring (^C stops early and keeps what arrived):");
        ArmedStart armed = opt.start.waitsForTrigger() ? new ArmedStart(opt, out) : null;
        long startedNs;
        try {
            if (armed != null) {
                armed.beforeArming();
            }
            ai.start();
        } catch (ComediException e) {
            acq.failure = e.getMessage();
            out.println("Acquisition not started: " + acq.failure);
            return;
        }
        // 0 until the trigger has come: an armed stream has no time yet, and cannot stall.
        startedNs = ai.getStartNanoTime();
        long lastDataNs = System.nanoTime();
        try {
            if (armed != null) {
                armed.fire(ai, stop);
            }
            while (true) {
                if (stop.requested()) {
                    acq.stoppedByUser = true;
                    break;
                }
                long readNs = System.nanoTime();
                int got;
                try {
                    got = ai.readScans(block, minScans, timeout);
                } catch (ComediOverrunException e) {
                    acq.failure = e.getMessage();
                    acq.lostScans = acq.wantedScans - acq.receivedValues / n;
                    acq.overran = true;
                    break;
                } catch (ComediException e) {
                    acq.failure = e.getMessage();
                    break;
                }
                if (got < 0) {
                    break; // the counted stream has delivered its last scan
                }
                if (got > 0) {
                    // The block says where its scans belong: a scan the driver delivered in part
                    // waits in the device for the next read, so rows never shift.
                    int at = Math.toIntExact(block.getFirstScan() * n);
                    int keep = (int) Math.min((long) got * n, acq.samples.length - (long) at);
                    System.arraycopy(block.getVolts(), 0, acq.samples, at, keep);
                    acq.storedValues = at + keep;
                    acq.receivedValues += (long) got * n;
                    lastDataNs = System.nanoTime();
                }
                if (startedNs == 0) {
                    if (!ai.isStarted()) {
                        lastDataNs = System.nanoTime();
                        continue;
                    }
                    startedNs = ai.getStartNanoTime();
                    armed.reportStart(ai);
                }
                if (got < perRead) {
                    acq.lostScans = Math.max(acq.lostScans, missingScans(readNs, startedNs, acq));
                }
                long now = System.nanoTime();
                acq.seconds = (now - startedNs) / 1e9;
                progress.update(now);
                if (now - lastDataNs > stallLimitNs) {
                    acq.failure = String.format(Locale.ROOT, "no samples for %.1f s", (now - lastDataNs) / 1e9);
                    break;
                }
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            acq.stoppedByUser = true;
        } finally {
            acq.seconds = startedNs == 0 ? 0 : (System.nanoTime() - startedNs) / 1e9;
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
        double due = Math.floor((readNs - startedNs) / 1e9 * acq.scanRate);
        double tolerance = 1 + due * 1e-3 + (opt.emulated() ? 0 : Math.ceil(acq.scanRate * 0.02));
        double arrived = (double) (acq.receivedValues / acq.nChannels);
        return (long) Math.max(0, Math.floor(due - tolerance - arrived));
    }
}
