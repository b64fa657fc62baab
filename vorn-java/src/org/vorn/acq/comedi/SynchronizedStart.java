// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.time.Instant;
import java.util.Objects;

import org.vorn.exception.ComediException;

/**
 * An input stream and an output stream of one board, started by one instruction list that holds
 * both start triggers, so that each response sample can be related to the stimulus scan that
 * caused it:
 * <pre>
 * SynchronizedStart.prepare(ai);   // before ai.configure(): the input waits for a trigger
 * ai.configure();
 * ao.configure();
 * ao.write(stimulus, preloadScans); // the output's preload
 * SynchronizedStart s = SynchronizedStart.start(ai, ao);
 * </pre>
 *
 * <p>Alignment: the driver runs the list's two triggers one after the other. On the emulated board
 * both commands start at the same instant (the list reads the clock once). On hardware they start
 * a few microseconds apart (the time the driver takes for one trigger), unless the driver routes one
 * start to the other; the library promises no more than that both starts happened within
 * {@link #getAlignmentBoundNanos()}, the time the list took. From the common start, input scan
 * {@code k} ends {@code (k + 1) x} the input's scan period after it and output scan {@code j} goes
 * out {@code (j + 1) x} the output's scan period after it; with equal periods, an input sample
 * converted at the end of scan {@code k} sees output scan {@code k}.
 */
public final class SynchronizedStart {
    private final long startNanoTime;
    private final Instant startTime;
    private final long alignmentBoundNanos;
    private final long inputScanPeriodNanos;
    private final long outputScanPeriodNanos;
    private final long preloadedScans;

    private SynchronizedStart(long startNanoTime, Instant startTime, long alignmentBoundNanos,
            long inputScanPeriodNanos, long outputScanPeriodNanos, long preloadedScans) {
        this.startNanoTime = startNanoTime;
        this.startTime = startTime;
        this.alignmentBoundNanos = alignmentBoundNanos;
        this.inputScanPeriodNanos = inputScanPeriodNanos;
        this.outputScanPeriodNanos = outputScanPeriodNanos;
        this.preloadedScans = preloadedScans;
    }

    /**
     * Gives the input a {@link StartTrigger#software()} start, to be started by {@link #start};
     * call before its {@code configure()}. A board whose input cannot wait for a trigger is refused
     * here already (a {@link org.vorn.exception.SettingRefusedException}) with the start sources it
     * has. The input is armed as any software-started stream is: its own {@code start()} arms it,
     * and its {@code trigger()} would start it alone.
     *
     * @param input the input stream, not yet configured
     */
    public static void prepare(ComediAnalogStreamingDevice input) {
        ByteBuffer h = input.lockHandle();
        try {
            if (input.stream.isTested()) {
                throw Failures.state(input.getDevice(), "the command of " + input.getDevice()
                        + " is already tested: prepare the synchronised start before configure()");
            }
            input.stream.setStartTrigger(StartTrigger.software());
            try {
                StreamStart.nApply(h, StreamCommand.TRIG_INT, 0, true);
            } catch (ComediException e) {
                throw Failures.namedRefusal(input.getDevice(), e);
            }
        } finally {
            input.unlock();
        }
    }

    /**
     * Starts {@code input} (prepared, configured, not running) and {@code output} (configured and
     * preloaded) of one board together. If the list fails, the input is stopped again and the
     * output stays armed.
     *
     * @param input  the input stream: prepared, configured, not running
     * @param output the output stream of the same board: configured and preloaded
     * @return the instants of the start and the alignment the library can promise
     */
    public static SynchronizedStart start(ComediAnalogStreamingDevice input, ComediAnalogStreamingOutDevice output) {
        Objects.requireNonNull(input, "input");
        Objects.requireNonNull(output, "output");
        if (!input.getDevice().equals(output.getDevice())) {
            throw new IllegalArgumentException("a synchronised start needs one board; the input is on "
                    + input.getDevice() + ", the output on " + output.getDevice());
        }
        // Always the input's lock first: two synchronised starts of one pair never wait on each other.
        ByteBuffer in = input.lockHandle();
        try {
            ByteBuffer out = output.lockHandle();
            try {
                StreamCommand command = input.stream.testedCommand();
                if (command != null && command.startSource() != StreamCommand.TRIG_INT) {
                    throw Failures.state(input.getDevice(), "the input of " + input.getDevice()
                            + " starts by itself: call SynchronizedStart.prepare(input) before its configure()");
                }
                if (input.stream.isRunning()) {
                    throw Failures.state(input.getDevice(), "the input of " + input.getDevice() + " is already running");
                }
                if (output.getStartTrigger().kind() == StartTrigger.Kind.EXTERNAL_EDGE) {
                    throw Failures.state(output.getDevice(), "the output of " + output.getDevice() + " starts on the "
                            + output.getStartTrigger() + ": a synchronised start needs a software or immediate start");
                }
                output.prepareSharedStart();
                input.stream.start(); // arms: the command waits for its trigger
                long before = System.nanoTime();
                Instant wallClock = Instant.now();
                try {
                    nTriggerTogether(in, out);
                } catch (ComediException e) {
                    input.stream.stop();
                    throw e;
                }
                long after = System.nanoTime();
                input.stream.startedAt(before, wallClock);
                output.markStarted(before, wallClock);
                return new SynchronizedStart(before, wallClock, after - before, input.stream.testedCommand().scanPeriodNanos(),
                        output.getScanPeriodNanos(), output.getPreloadedScans());
            } finally {
                output.unlock();
            }
        } finally {
            input.unlock();
        }
    }

    /**
     * When the list began, by {@link System#nanoTime()}: both streams started at most {@link #getAlignmentBoundNanos()} later.
     *
     * @return the start by {@link System#nanoTime()}
     */
    public long getStartNanoTime() {
        return startNanoTime;
    }

    /**
     * When the list began, by the wall clock.
     *
     * @return the start by the wall clock
     */
    public Instant getStartTime() {
        return startTime;
    }

    /**
     * How long the list took: the two starts happened within it, so they are at most this far apart.
     *
     * @return the longest time between the two starts, in nanoseconds
     */
    public long getAlignmentBoundNanos() {
        return alignmentBoundNanos;
    }

    /**
     * When input scan {@code k} ended (its last conversion), by {@link System#nanoTime()}.
     *
     * @param k an input scan index
     * @return the instant by {@link System#nanoTime()}
     */
    public long inputScanNanoTime(long k) {
        return startNanoTime + (k + 1) * inputScanPeriodNanos;
    }

    /**
     * When output scan {@code j} went out, by {@link System#nanoTime()}.
     *
     * @param j an output scan index
     * @return the instant by {@link System#nanoTime()}
     */
    public long outputScanNanoTime(long j) {
        return startNanoTime + (j + 1) * outputScanPeriodNanos;
    }

    /**
     * The output's preload when it started.
     *
     * @return the scans the output had preloaded
     */
    public long getPreloadedScans() {
        return preloadedScans;
    }

    static native void nTriggerTogether(ByteBuffer inputHandle, ByteBuffer outputHandle);
}
