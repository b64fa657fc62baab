// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.List;
import java.util.Locale;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediAnalogStreamingOutDevice;
import org.vorn.acq.comedi.SynchronizedStart;
import org.vorn.acq.task.StimulusResponseTask;
import org.vorn.acq.task.TaskEnd;
import org.vorn.exception.ComediException;
import org.vorn.hdf5.Hdf5ScanLog;
import org.vorn.hdf5.Hdf5StimulusLog;

/**
 * {@code --stimulus}: a frequency response measured the way a lab does it. Stepped sines go out
 * on AO0 while AI0 reads AO0 directly and AI1 through the device under test (on the emulated rig,
 * an RC low-pass of τ = 1 ms), both streams started by one instruction list, so that every input
 * sample's instant relative to every output update is known. For each frequency, after the
 * filter has settled, a whole number of periods of both channels is reduced to the complex
 * amplitude at that frequency, and their ratio is the gain and phase.
 *
 * <p>What makes the ratio the filter's, and nothing else's:
 * <ul>
 * <li>each channel is taken at its own conversion instant ({@code (k + 1)·SP − (L − 1 − p)·CP}
 * after the start for position {@code p} of scan {@code k}), so the skew between the two positions
 * of a scan does not show as phase;
 * <li>the filter's input is the DAC's staircase, not a sine: the direct channel reads the level
 * held since the last update, and the staircase's component at {@code f} is those levels
 * integrated over their hold intervals (the factor {@code (1 − e^(−jωT))/(jωT)}: the hold's
 * half-period delay and its sinc), so the DAC's hold is not charged to the filter;
 * <li>the filter's output is continuous and sampled where it is, at a rate (50 kS/s) at which the
 * staircase's steps, filtered, leave well under 0.01 dB at the analysed frequency.
 * </ul>
 */
final class Stimulus {
    static final String PNG_NAME = "bode.png";
    /** The rig's filter: τ = 1 ms, as the emulated board documents it. */
    static final double TAU_SECONDS = 1e-3;
    static final double RATE = 50_000;
    static final double AMPLITUDE = 4.0;
    /** The frequencies asked for; each is moved to a whole number of periods in its window. */
    static final double[] FREQUENCIES = {20, 50, 100, 159.155, 200, 500, 1000, 2000};
    /** Scans the filter gets to settle after each change of frequency: 20 τ. */
    static final double SETTLE_SECONDS = 0.02;
    /** The shortest analysis window. */
    static final double WINDOW_SECONDS = 0.05;
    static final int MIN_PERIODS = 4;

    private final Options opt;
    private final PrintStream out;

    Stimulus(Options opt, PrintStream out) {
        this.opt = opt;
        this.out = out;
    }

    /** One frequency of the sweep: where its scans start, how many settle, how many are analysed. */
    record Step(double hz, long first, int settle, int window) {
        long end() {
            return first + settle + window;
        }
    }

    /** One row of the table. */
    record Row(double hz, double gainDb, double phaseDeg, double modelGainDb, double modelPhaseDeg) {
    }

    static Step[] plan(double rate) {
        Step[] steps = new Step[FREQUENCIES.length];
        long first = 0;
        int settle = (int) Math.round(SETTLE_SECONDS * rate);
        for (int i = 0; i < steps.length; i++) {
            double f = FREQUENCIES[i];
            int periods = Math.max(MIN_PERIODS, (int) Math.ceil(WINDOW_SECONDS * f));
            int window = (int) Math.round(periods * rate / f);
            steps[i] = new Step(periods * rate / window, first, settle, window);
            first = steps[i].end();
        }
        return steps;
    }

    /** Runs the sweep; false when it could not (already reported). */
    boolean run() throws IOException {
        out.println();
        out.printf(Locale.ROOT, "Stimulus-response on %s: stepped sines of %s V on AO0, AI0 reads AO0, AI1 the filtered"
                + " AO0 (StimulusResponseTask, one synchronised start)%n", opt.device, Numbers.plain(AMPLITUDE));
        try (var ai = new ComediAnalogStreamingDevice(opt.device, 2, RATE, 1 << 16);
                var ao = new ComediAnalogStreamingOutDevice(opt.device, 1, RATE, 1 << 14)) {
            ai.configureChannel(0, 0, -5, 5, AnalogReference.GROUND);
            ai.configureChannel(1, 1, -5, 5, AnalogReference.GROUND);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            SynchronizedStart.prepare(ai);
            Step[] steps = plan(RATE);
            long total = steps[steps.length - 1].end();
            ai.setScanCount(total);
            ai.configure();
            ao.setScanCount(total);
            ao.configure();
            long period = ai.getScanPeriodNanos();
            if (ao.getScanPeriodNanos() != period || period != Math.round(1e9 / RATE)) {
                // The windows hold whole periods only on the clock they were planned for.
                out.println("Stimulus-response not possible: the device accepted scan periods of " + period
                        + " ns (input) and " + ao.getScanPeriodNanos() + " ns (output), not " + Math.round(1e9 / RATE));
                return false;
            }
            double rate = ai.getScanRateHz();
            long convert = ai.getConvertPeriodNanos();
            double[] direct = new double[(int) total];
            double[] filtered = new double[(int) total];
            double[] sent = new double[(int) total];
            for (int j = 0; j < total; j++) {
                sent[j] = stimulus(steps, j, period);
            }
            Path logFile = opt.hdf5 == null ? null : logFile(opt.hdf5);
            var builder = StimulusResponseTask.on(ai, ao).everyScans(1000)
                    .generate((first, n, v) -> System.arraycopy(sent, (int) first, v, 0, n));
            if (logFile != null) {
                Files.createDirectories(logFile.getParent());
                builder.recordTo(new Hdf5ScanLog(logFile, Hdf5ScanLog.DEFAULT_FLUSH_INTERVAL, false), true);
            }
            var task = builder
                    .onBlock(b -> {
                        for (int s = 0; s < b.getScanCount(); s++) {
                            int k = (int) (b.getFirstScan() + s);
                            direct[k] = b.getVolts(s, 0);
                            filtered[k] = b.getVolts(s, 1);
                        }
                    })
                    .build();
            task.start();
            TaskEnd end = task.awaitEnd(Duration.ofSeconds(60 + total / (long) rate));
            task.close();
            ao.stop(0.0); // the output would otherwise hold the sweep's last value
            if (end == null || end.reason() != TaskEnd.Reason.COMPLETED) {
                out.println("Stimulus-response not complete: " + (end == null ? "no end within the time" : end));
                return false;
            }
            out.printf(Locale.ROOT, "%d scans at %s Hz (period %d ns, the two conversions of a scan %d ns apart)%n",
                    total, Numbers.plain(rate), period, convert);
            Row[] rows = new Row[steps.length];
            out.println("      f [Hz]   gain [dB]  phase [deg]   model [dB]  model [deg]");
            for (int i = 0; i < steps.length; i++) {
                rows[i] = measure(steps[i], direct, filtered, period, convert);
                out.printf(Locale.ROOT, "%12.3f %11.3f %12.3f %12.3f %12.3f%n", rows[i].hz(), rows[i].gainDb(),
                        rows[i].phaseDeg(), rows[i].modelGainDb(), rows[i].modelPhaseDeg());
            }
            if (logFile != null) {
                Hdf5StimulusLog.append(logFile, sent, (int) total, List.of(ao.getChannelRange(0)));
                out.println("Logged the response (/scans) and the stimulus (/stimulus) to " + logFile);
            }
            Files.createDirectories(opt.out);
            Path png = opt.out.resolve(PNG_NAME).toAbsolutePath().normalize();
            BodePlot.write(rows, opt.device, png);
            out.println("Bode plot: " + png);
            out.flush();
            return true;
        } catch (ComediException | IllegalStateException e) {
            out.println("Stimulus-response not possible: " + e.getMessage());
            return false;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            out.println("Stimulus-response interrupted");
            return false;
        }
    }

    /** The stimulus run's log beside the acquisition's: {@code run.h5} gives {@code run-stimulus.h5}. */
    static Path logFile(Path hdf5) {
        Path abs = hdf5.toAbsolutePath().normalize();
        String name = abs.getFileName().toString();
        int dot = name.lastIndexOf('.');
        String stem = dot > 0 ? name.substring(0, dot) : name;
        return abs.resolveSibling(stem + "-stimulus" + (dot > 0 ? name.substring(dot) : ".h5"));
    }

    /** Output scan {@code j}: the sine of its step, from phase 0 at the step's first scan. */
    static double stimulus(Step[] steps, long j, long periodNanos) {
        for (Step s : steps) {
            if (j < s.end()) {
                return AMPLITUDE * Math.sin(2 * Math.PI * s.hz() * (j - s.first()) * periodNanos / 1e9);
            }
        }
        return 0;
    }

    /**
     * The gain and phase of AI1 against AI0 over the step's window (see the class comment); times
     * are from the shared start, in nanoseconds.
     */
    static Row measure(Step step, double[] direct, double[] filtered, long period, long convert) {
        double w = 2 * Math.PI * step.hz();
        double yRe = 0;
        double yIm = 0;
        double dRe = 0;
        double dIm = 0;
        for (long k = step.first() + step.settle(); k < step.end(); k++) {
            long tFiltered = (k + 1) * period;              // position 1, the last of the scan
            long tDirect = tFiltered - convert;              // position 0, one conversion earlier
            long held = Math.floorDiv(tDirect, period) * period; // the update whose level it reads
            double a = w * tFiltered / 1e9;
            yRe += filtered[(int) k] * Math.cos(a);
            yIm -= filtered[(int) k] * Math.sin(a);
            double b = w * held / 1e9;
            dRe += direct[(int) k] * Math.cos(b);
            dIm -= direct[(int) k] * Math.sin(b);
        }
        // The staircase's component: each level integrated over its hold, (1 - e^(-jwT)) / (jwT).
        double wt = w * period / 1e9;
        double hRe = Math.sin(wt) / wt;
        double hIm = (Math.cos(wt) - 1) / wt;
        double sRe = dRe * hRe - dIm * hIm;
        double sIm = dRe * hIm + dIm * hRe;
        double den = sRe * sRe + sIm * sIm;
        double rRe = (yRe * sRe + yIm * sIm) / den;
        double rIm = (yIm * sRe - yRe * sIm) / den;
        double wtau = w * TAU_SECONDS;
        return new Row(step.hz(), 20 * Math.log10(Math.hypot(rRe, rIm)), Math.toDegrees(Math.atan2(rIm, rRe)),
                -10 * Math.log10(1 + wtau * wtau), -Math.toDegrees(Math.atan(wtau)));
    }
}
