// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.time.Duration;
import java.util.Objects;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.locks.LockSupport;

import org.vorn.acq.comedi.ComediAnalogStreamingOutDevice;
import org.vorn.exception.ComediUnderrunException;
import org.vorn.exception.StreamStoppedException;

/**
 * A hardware-timed output that feeds itself: a writer thread of its own asks a
 * {@link ScanGenerator} for every next block of scans and writes it to a streaming output as the
 * board's clock frees room; a done listener is told once why it ended. The output twin of
 * {@link AcquisitionTask}.
 *
 * <pre>
 * try (var ao = new ComediAnalogStreamingOutDevice("/dev/comedi0", 1, 10_000, 4096)) {
 *     ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ao.setScanCount(100_000);  // a finite task; without it the task runs until stopped
 *     ao.configure();
 *     var task = OutputTask.on(ao).everyScans(1000)
 *             .generate((first, n, v) -&gt; { for (int i = 0; i &lt; n; i++) v[i] = Math.sin((first + i) * 0.01); })
 *             .onDone(end -&gt; System.out.println(end))
 *             .build();
 *     task.start();                // preloads, then starts the output
 *     task.awaitEnd(Duration.ofMinutes(1));
 * }
 * </pre>
 *
 * <h2>Threading model</h2>
 * <ul>
 * <li>The generator and the done listener run on the task's writer thread
 * ({@code vorn-output <device>}), one call at a time. The generator is asked for the scans in
 * order, each once; every block but the last of a finite output has exactly {@code N} scans.
 * <li>{@link #start()} has the writer thread preload the output (blocks until the driver's buffer
 * is full, the finite output is all written, or {@link Builder#preloadScans} scans are), waits for
 * that, then starts the output on the calling thread (a device that refuses raises there, and the
 * task ends with {@link TaskEnd.Reason#DEVICE_FAILED}). Scan {@code j} then goes out
 * {@code (j + 1)} scan periods after the start.
 * <li>{@link #stop()} and {@link #close()} may be called from any thread at any time, from the
 * generator or the done listener included, without deadlock: from another thread, stop wakes the
 * waiting write at once; from the generator, the task ends when it returns. {@link #close()} also
 * waits for the writer thread, except on the writer thread itself.
 * <li>An exception thrown by the generator (or a NaN it put out) ends the task with
 * {@link TaskEnd.Reason#GENERATOR_FAILED}, its cause the exception. A generator slower than the
 * board's clock lets the driver's buffer run dry: the board stops the output (each output holds its
 * last value) and the task ends with {@link TaskEnd.Reason#UNDERRUN}, its cause the
 * {@code ComediUnderrunException} with the scans that went out before. A finite output ends with
 * {@link TaskEnd.Reason#COMPLETED} once its last scan went out.
 * <li>The done listener runs once, after the output was stopped, and before {@link #awaitEnd}
 * returns. {@link TaskEnd#scansDelivered()} counts the generated scans the device took.
 * </ul>
 * The device stays the caller's: the task starts and stops its output but never closes it.
 */
public final class OutputTask implements AutoCloseable {
    /** How long one write waits for room before the writer thread looks at the stop request again. */
    static final long WRITE_TIMEOUT_NANOS = 200_000_000L;
    /** The longest sleep while a finite output puts out its last written scans. */
    private static final long END_POLL_NANOS = 20_000_000L;

    private final ComediAnalogStreamingOutDevice device;
    private final ScanGenerator generator;
    private final int everyScans;
    private final long preloadLimit;
    private final TaskDoneListener doneListener;
    private final CountDownLatch preloaded = new CountDownLatch(1);
    private final CountDownLatch go = new CountDownLatch(1);
    private final CountDownLatch ended = new CountDownLatch(1);
    private final Object lifecycle = new Object();

    private Thread writer;
    private volatile boolean stopRequested;
    private volatile RuntimeException startFailure;
    private volatile TaskEnd end;
    /** Set on the writer thread before {@link #preloaded} opens. */
    private TaskEnd preloadEnd;
    private volatile long preloadedScans;

    private OutputTask(Builder b) {
        this.device = b.device;
        this.generator = b.generator;
        this.everyScans = b.everyScans;
        this.preloadLimit = b.preloadLimit;
        this.doneListener = b.doneListener;
    }

    /**
     * A task on a configured streaming output ({@code configure()} done, not armed or started). A
     * device with a scan count ({@code setScanCount}) makes a finite task, which ends by itself
     * after its last scan went out.
     *
     * @param device the output the task feeds; it stays the caller's, the task never closes it
     * @return a builder of the task
     */
    public static Builder on(ComediAnalogStreamingOutDevice device) {
        return new Builder(Objects.requireNonNull(device, "device"));
    }

    /** Sets up a task; nothing touches the device before {@link OutputTask#start()}. */
    public static final class Builder {
        private final ComediAnalogStreamingOutDevice device;
        private ScanGenerator generator;
        private int everyScans = 1000;
        private long preloadLimit = Long.MAX_VALUE;
        private TaskDoneListener doneListener;

        private Builder(ComediAnalogStreamingOutDevice device) {
            this.device = device;
        }

        /**
         * Blocks of {@code n} scans (the last of a finite output may be shorter); default 1000.
         *
         * @param n the scans the generator fills per call, at least 1
         * @return this builder
         * @throws IllegalArgumentException if {@code n} is below 1
         */
        public Builder everyScans(int n) {
            if (n <= 0) {
                throw new IllegalArgumentException("a block has at least one scan, not " + n);
            }
            everyScans = n;
            return this;
        }

        /**
         * Sets what fills the blocks (required).
         *
         * @param generator called for every block, on the writer thread
         * @return this builder
         */
        public Builder generate(ScanGenerator generator) {
            this.generator = Objects.requireNonNull(generator, "generator");
            return this;
        }

        /**
         * Preloads at most {@code scans} scans (at least one block is generated); by default as
         * many as the driver's buffer holds. A smaller preload starts sooner and keeps the
         * generator closer to what goes out, at the price of less slack against an underrun.
         *
         * @param scans the most scans written before the start, at least 1
         * @return this builder
         * @throws IllegalArgumentException if {@code scans} is below 1
         */
        public Builder preloadScans(long scans) {
            if (scans <= 0) {
                throw new IllegalArgumentException("a preload has at least one scan, not " + scans);
            }
            preloadLimit = scans;
            return this;
        }

        /**
         * Sets the listener told once why the task ended (the last one set).
         *
         * @param listener what receives the end, on the writer thread
         * @return this builder
         */
        public Builder onDone(TaskDoneListener listener) {
            doneListener = Objects.requireNonNull(listener, "listener");
            return this;
        }

        /**
         * The task, not yet started.
         *
         * @return a task that {@link OutputTask#start()} runs once
         * @throws IllegalStateException if no generator was set
         */
        public OutputTask build() {
            if (generator == null) {
                throw new IllegalStateException("an output task on " + device.getDevice()
                        + " needs a generator: call generate(...)");
            }
            return new OutputTask(this);
        }
    }

    /**
     * Preloads on the writer thread, then starts the output on the calling thread (see the class's
     * threading model). If the preload already ended the task (the generator failed, the device
     * refused the command), nothing is started and {@link #getEnd()} says why. A task runs once.
     *
     * @return the scans preloaded
     */
    public long start() {
        if (!preload()) {
            return preloadedScans;
        }
        try {
            device.start();
        } catch (RuntimeException e) {
            if (stopRequested) {
                release(null); // a stop between the preload and the start: the writer ends STOPPED
                return preloadedScans;
            }
            release(e);
            throw e;
        }
        release(null);
        return preloadedScans;
    }

    /**
     * Starts the writer thread and waits until it preloaded; false if the task ended meanwhile
     * (then nothing must start the device). Then exactly one {@link #release} must follow.
     */
    boolean preload() {
        synchronized (lifecycle) {
            if (writer != null) {
                throw new IllegalStateException("output task on " + device.getDevice() + " was already started");
            }
            if (stopRequested) {
                throw new IllegalStateException("output task on " + device.getDevice() + " was stopped before it started");
            }
            Thread t = new Thread(this::run, "vorn-output " + device.getDevice());
            t.setDaemon(true);
            t.start();
            writer = t;
        }
        TaskThreads.awaitUninterruptibly(preloaded);
        return preloadEnd == null && !stopRequested;
    }

    /** Lets the writer thread go on after the device was started, or end when the start failed. */
    void release(RuntimeException failure) {
        startFailure = failure;
        go.countDown();
    }

    /**
     * The scans written before the start.
     *
     * @return the preload, once {@link #start()} returned
     */
    public long getPreloadedScans() {
        return preloadedScans;
    }

    /** Ends the task (see the class's threading model); the done listener says {@code STOPPED}. */
    public void stop() {
        stopRequested = true;
        go.countDown();
        Thread w;
        synchronized (lifecycle) {
            w = writer;
        }
        if (w != null && w != Thread.currentThread() && end == null) {
            device.stop(); // wakes the waiting write
            LockSupport.unpark(w);
        }
    }

    /** Stops the task and, unless called from its own thread, waits until it has ended. Idempotent. */
    @Override
    public void close() {
        stop();
        Thread w;
        synchronized (lifecycle) {
            w = writer;
        }
        TaskThreads.joinUnlessCurrent(w);
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

    private void run() {
        Run r = null;
        TaskEnd result;
        try {
            r = new Run();
            preloadEnd = r.preload();
        } catch (Throwable e) {
            // No block array: the start's caller must still be told, or it would wait for ever.
            preloadEnd = new TaskEnd(TaskEnd.Reason.DEVICE_FAILED, 0, e, -1);
        } finally {
            preloaded.countDown();
        }
        result = preloadEnd;
        if (result == null) {
            TaskThreads.awaitUninterruptibly(go); // the start's caller decides; a stop request opens it too
            RuntimeException failed = startFailure;
            if (failed != null) {
                result = r.end(TaskEnd.Reason.DEVICE_FAILED, failed);
            } else if (stopRequested) {
                result = r.end(TaskEnd.Reason.STOPPED, null);
            } else {
                result = r.stream();
            }
        }
        try {
            device.stop();
        } catch (RuntimeException e) {
            if (result.cause() != null) {
                result.cause().addSuppressed(e);
            } else if (result.reason() == TaskEnd.Reason.COMPLETED || result.reason() == TaskEnd.Reason.STOPPED) {
                result = new TaskEnd(TaskEnd.Reason.DEVICE_FAILED, result.scansDelivered(), e, -1);
            }
        }
        end = result;
        try {
            if (doneListener != null) {
                doneListener.done(result);
            }
        } finally {
            ended.countDown();
        }
    }

    /** One run of the writer thread: the block being written and the counts. */
    private final class Run {
        private final int positions = device.getPositionCount();
        private final long total = device.getScanCount();
        private final double[] volts;
        /** Scans generated so far; the block holds scans {@code generated - blockScans ..}. */
        private long generated;
        private int blockScans;
        private int blockWritten;
        private long written;

        Run() {
            long values = (long) everyScans * positions;
            if (values > Integer.MAX_VALUE - 8) {
                throw new IllegalArgumentException("output task on " + device.getDevice() + ": a block of " + everyScans
                        + " scans of " + positions + " positions does not fit one array; choose fewer everyScans");
            }
            volts = new double[(int) values];
        }

        /** Writes blocks without waiting until the buffer or the preload limit is full; null if all went well. */
        TaskEnd preload() {
            try {
                device.arm();
                while (written < preloadLimit && !stopRequested) {
                    TaskEnd failed = nextBlockIfWritten();
                    if (failed != null) {
                        return failed;
                    }
                    if (blockWritten == blockScans) {
                        break; // a finite output, all generated
                    }
                    int want = (int) Math.min(blockScans - blockWritten, preloadLimit - written);
                    int n = device.write(volts, blockWritten, want, Duration.ZERO);
                    blockWritten += n;
                    written += n;
                    if (n < want) {
                        break; // the buffer is full
                    }
                }
                preloadedScans = written;
                if (written == 0) {
                    return end(TaskEnd.Reason.STOPPED, null);
                }
                return null;
            } catch (Throwable e) {
                preloadedScans = written;
                return failure(e);
            }
        }

        /** Writes the rest, waiting for room, until a finite output's last scan went out or the task ends. */
        TaskEnd stream() {
            try {
                while (true) {
                    if (stopRequested) {
                        return end(TaskEnd.Reason.STOPPED, null);
                    }
                    TaskEnd failed = nextBlockIfWritten();
                    if (failed != null) {
                        return failed;
                    }
                    if (blockWritten == blockScans) {
                        return awaitLastScan();
                    }
                    int n = device.write(volts, blockWritten, blockScans - blockWritten,
                            Duration.ofNanos(WRITE_TIMEOUT_NANOS));
                    blockWritten += n;
                    written += n;
                }
            } catch (Throwable e) {
                return failure(e);
            }
        }

        /** Asks the generator for the next block once the last one is written; leaves it empty at a finite end. */
        private TaskEnd nextBlockIfWritten() {
            if (blockWritten < blockScans) {
                return null;
            }
            int n = everyScans;
            if (total > 0) {
                n = (int) Math.min(n, total - generated);
            }
            blockScans = 0;
            blockWritten = 0;
            if (n == 0) {
                return null;
            }
            try {
                generator.fill(generated, n, volts);
            } catch (Throwable e) {
                return end(TaskEnd.Reason.GENERATOR_FAILED, e);
            }
            generated += n;
            blockScans = n;
            return null;
        }

        private TaskEnd awaitLastScan() {
            long due = device.getStartNanoTime() + (total + 1) * device.getScanPeriodNanos();
            while (!device.hasEnded()) {
                if (stopRequested) {
                    return end(TaskEnd.Reason.STOPPED, null);
                }
                LockSupport.parkNanos(Math.max(1_000_000L, Math.min(END_POLL_NANOS, due - System.nanoTime())));
            }
            device.write(volts, 0, 0, Duration.ZERO); // raises a late underrun
            return end(TaskEnd.Reason.COMPLETED, null);
        }

        private TaskEnd failure(Throwable e) {
            try {
                written = device.getScansWritten(); // a write that raised may have taken scans before
            } catch (RuntimeException closed) {
                e.addSuppressed(closed);
            }
            if (e instanceof ComediUnderrunException) {
                return end(TaskEnd.Reason.UNDERRUN, e);
            }
            if (e instanceof StreamStoppedException || stopRequested && e instanceof RuntimeException) {
                return end(TaskEnd.Reason.STOPPED, null);
            }
            if (e instanceof IllegalArgumentException) {
                // The device refuses only a NaN here: the generator put it there.
                return end(TaskEnd.Reason.GENERATOR_FAILED, e);
            }
            return end(TaskEnd.Reason.DEVICE_FAILED, e);
        }

        TaskEnd end(TaskEnd.Reason reason, Throwable cause) {
            return new TaskEnd(reason, written, cause, -1);
        }
    }
}
