// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.time.Duration;
import java.util.Objects;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;

import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediAnalogStreamingOutDevice;
import org.vorn.acq.comedi.SynchronizedStart;

/**
 * A stimulus and its response on one board: an {@link OutputTask} and an {@link AcquisitionTask}
 * started together by {@link SynchronizedStart}, so that input scan {@code k} and output scan
 * {@code k} are counted from the same instant. With equal scan periods, output scan {@code k} goes
 * out at the end of input scan {@code k}: a sample converted at that instant (the last position of
 * a scan, on the emulated board) already sees it, one converted earlier in the scan still sees
 * scan {@code k - 1}.
 *
 * <pre>
 * SynchronizedStart.prepare(ai);  // before ai.configure()
 * ai.configure();
 * ao.configure();
 * var task = StimulusResponseTask.on(ai, ao).everyScans(1000)
 *         .generate((first, n, v) -&gt; fillStimulus(first, n, v))
 *         .onBlock(block -&gt; analyse(block.getFirstScan(), block.getVolts()))
 *         .build();
 * task.start();
 * TaskEnd end = task.awaitEnd(Duration.ofMinutes(1));
 * </pre>
 *
 * <h2>Threading model</h2>
 * <ul>
 * <li>The generator runs on the output's writer thread ({@code vorn-output <device>}), the block
 * listeners, the recorder and the record listeners on the input's reader thread
 * ({@code vorn-acquisition <device>}), each side as in its own task. The two threads run at the
 * same time: what a listener shares with the generator needs its own synchronisation.
 * <li>{@link #start()} has the output preloaded on its thread, then starts both streams by one
 * instruction list on the calling thread (a refusal raises there).
 * <li>Either side's end ends the other: an output that fails (underrun, generator, device) stops
 * the input, an input that ends stops a continuous output; a finite input lets a finite output
 * put out its last scans. The done listener runs once, when both have ended, on the thread of
 * the side that ended last, with the end of the input, or the output's end if the output failed
 * and the input only stopped or completed. {@link #getInputEnd()} and {@link #getOutputEnd()}
 * give each side's.
 * <li>{@link #stop()} and {@link #close()} may be called from any thread at any time, as on the
 * two tasks; close also waits for both threads, except the one it is called on.
 * </ul>
 * The devices stay the caller's.
 */
public final class StimulusResponseTask implements AutoCloseable {
    private final ComediAnalogStreamingDevice input;
    private final ComediAnalogStreamingOutDevice output;
    private final OutputTask outputTask;
    private final AcquisitionTask inputTask;
    private final TaskDoneListener doneListener;
    private final AtomicInteger sidesRunning = new AtomicInteger(2);
    private final CountDownLatch ended = new CountDownLatch(1);
    private final Object lifecycle = new Object();
    private boolean started;
    private volatile SynchronizedStart start;
    private volatile TaskEnd inputEnd;
    private volatile TaskEnd outputEnd;
    private volatile TaskEnd end;

    private StimulusResponseTask(Builder b) {
        this.input = b.input;
        this.output = b.output;
        this.doneListener = b.doneListener;
        this.outputTask = b.out.onDone(e -> sideEnded(false, e)).build();
        this.inputTask = b.in.onDone(e -> sideEnded(true, e)).build();
    }

    /**
     * A task on an input prepared for the shared start ({@link SynchronizedStart#prepare} before its
     * {@code configure()}) and an output of the same board, both configured, neither started.
     *
     * @param input  the response's stream; it stays the caller's
     * @param output the stimulus's stream; it stays the caller's
     * @return a builder of the task
     */
    public static Builder on(ComediAnalogStreamingDevice input, ComediAnalogStreamingOutDevice output) {
        return new Builder(Objects.requireNonNull(input, "input"), Objects.requireNonNull(output, "output"));
    }

    /** Sets up a task; nothing touches the devices before {@link StimulusResponseTask#start()}. */
    public static final class Builder {
        private final ComediAnalogStreamingDevice input;
        private final ComediAnalogStreamingOutDevice output;
        private final AcquisitionTask.Builder in;
        private final OutputTask.Builder out;
        private TaskDoneListener doneListener;
        private StimulusResponseTask task;

        private Builder(ComediAnalogStreamingDevice input, ComediAnalogStreamingOutDevice output) {
            this.input = input;
            this.output = output;
            this.in = AcquisitionTask.on(input.getDevice(), new DeviceScanSource(input,
                    AcquisitionTask.READ_TIMEOUT_NANOS, () -> task.start = SynchronizedStart.start(input, output)));
            this.out = OutputTask.on(output);
        }

        /**
         * Blocks of {@code n} scans on both sides, generated and delivered; default 1000.
         *
         * @param n the scans of a block, at least 1
         * @return this builder
         */
        public Builder everyScans(int n) {
            in.everyScans(n);
            out.everyScans(n);
            return this;
        }

        /**
         * Sets what fills the stimulus's blocks (required).
         *
         * @param generator called for every output block, on the writer thread
         * @return this builder
         */
        public Builder generate(ScanGenerator generator) {
            out.generate(generator);
            return this;
        }

        /**
         * The output's preload at most ({@link OutputTask.Builder#preloadScans}).
         *
         * @param scans the most scans written before the start, at least 1
         * @return this builder
         */
        public Builder preloadScans(long scans) {
            out.preloadScans(scans);
            return this;
        }

        /**
         * Adds a listener of the response's blocks ({@link AcquisitionTask.Builder#onBlock}).
         *
         * @param listener what receives every input block, on the reader thread
         * @return this builder
         */
        public Builder onBlock(TaskBlockListener listener) {
            in.onBlock(listener);
            return this;
        }

        /**
         * Records the response ({@link AcquisitionTask.Builder#recordTo}).
         *
         * @param recorder   where the input's raw codes go
         * @param deliverToo whether the block listeners get volts as well
         * @return this builder
         */
        public Builder recordTo(ScanRecorder recorder, boolean deliverToo) {
            in.recordTo(recorder, deliverToo);
            return this;
        }

        /**
         * Sets the listener told once how the task ended (see the class's threading model).
         *
         * @param listener what receives the end
         * @return this builder
         */
        public Builder onDone(TaskDoneListener listener) {
            doneListener = Objects.requireNonNull(listener, "listener");
            return this;
        }

        /**
         * The task, not yet started; a builder builds one task.
         *
         * @return a task that {@link StimulusResponseTask#start()} runs once
         */
        public StimulusResponseTask build() {
            if (task != null) {
                throw new IllegalStateException("this builder already built its task");
            }
            task = new StimulusResponseTask(this);
            return task;
        }
    }

    /**
     * Preloads the output, then starts both streams together (see the class's threading model).
     *
     * @return the shared start (its instants and the alignment the library can promise), or null
     *         when the preload already ended the task ({@link #getEnd()} says why)
     */
    public SynchronizedStart start() {
        synchronized (lifecycle) {
            if (started) {
                throw new IllegalStateException("task on " + input.getDevice() + " was already started");
            }
            started = true;
        }
        if (!outputTask.preload()) {
            sideEnded(true, null);
            return null;
        }
        try {
            inputTask.start();
        } catch (RuntimeException | Error e) {
            outputTask.release(e instanceof RuntimeException r ? r : new IllegalStateException(e));
            sideEnded(true, null);
            throw e;
        }
        outputTask.release(null);
        return start;
    }

    /**
     * The shared start.
     *
     * @return the instants of the start, null before it
     */
    public SynchronizedStart getStart() {
        return start;
    }

    private void sideEnded(boolean isInput, TaskEnd e) {
        if (isInput) {
            inputEnd = e;
            if (e != null && (e.reason() != TaskEnd.Reason.COMPLETED || output.getScanCount() == 0)) {
                outputTask.stop();
            }
        } else {
            outputEnd = e;
            if (e.reason() != TaskEnd.Reason.COMPLETED) {
                inputTask.stop();
            }
        }
        if (sidesRunning.decrementAndGet() != 0) {
            return;
        }
        TaskEnd in = inputEnd;
        TaskEnd out = outputEnd;
        boolean outputFailed = out.reason() != TaskEnd.Reason.COMPLETED && out.reason() != TaskEnd.Reason.STOPPED;
        boolean inputQuiet = in == null || in.reason() == TaskEnd.Reason.COMPLETED
                || in.reason() == TaskEnd.Reason.STOPPED;
        TaskEnd result = in == null || outputFailed && inputQuiet ? out : in;
        end = result;
        try {
            if (doneListener != null) {
                doneListener.done(result);
            }
        } finally {
            ended.countDown();
        }
    }

    /** Ends both streams; the end says {@code STOPPED} unless a side failed first. */
    public void stop() {
        outputTask.stop();
        inputTask.stop();
    }

    /** Stops the task and waits for both threads, except the calling one. Idempotent. */
    @Override
    public void close() {
        stop();
        outputTask.close();
        inputTask.close();
    }

    /**
     * Waits for the end at most {@code timeout}; returns it, or null if the task still runs.
     *
     * @param timeout the longest wait; zero or negative only looks
     * @return how the task ended, or null if it had not ended within the timeout
     * @throws InterruptedException if the waiting thread is interrupted
     */
    public TaskEnd awaitEnd(Duration timeout) throws InterruptedException {
        return TaskThreads.await(ended, timeout) ? end : null;
    }

    /**
     * How the task ended.
     *
     * @return the end, once the done listener has been told; null before
     */
    public TaskEnd getEnd() {
        return ended.getCount() == 0 ? end : null;
    }

    /**
     * How the input ended.
     *
     * @return the input's end, null while it runs or when it never started
     */
    public TaskEnd getInputEnd() {
        return inputEnd;
    }

    /**
     * How the output ended.
     *
     * @return the output's end, null while it runs
     */
    public TaskEnd getOutputEnd() {
        return outputEnd;
    }
}
