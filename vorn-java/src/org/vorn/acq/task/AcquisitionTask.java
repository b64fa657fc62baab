// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.CountDownLatch;
import java.util.function.Supplier;

import org.vorn.acq.comedi.ComediAnalogStreamingDevice;

/**
 * An acquisition that runs itself: a reader thread of its own waits on a streaming device and
 * hands every {@code N} whole scans to the block listeners and, if one is set, to a recorder
 * (e.g. {@code org.vorn.hdf5.Hdf5ScanLog}); a done listener is told once why it ended.
 *
 * <pre>
 * try (var ai = new ComediAnalogStreamingDevice("/dev/comedi0", 2, 10_000, 65536)) {
 *     ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ai.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
 *     ai.setScanCount(50_000);   // a finite task; without it the task runs until stopped
 *     ai.configure();
 *     var task = AcquisitionTask.on(ai).everyScans(1000)
 *             .onBlock(block -&gt; plot(block.copyVolts()))
 *             .onDone(end -&gt; System.out.println(end))
 *             .build();
 *     task.start();
 *     task.awaitEnd(Duration.ofMinutes(1));
 * }
 * </pre>
 *
 * <h2>Threading model</h2>
 * <ul>
 * <li>Block listeners, the recorder, the record listeners ({@link Builder#onRecord}) and the done
 * listener all run on the task's reader thread ({@code vorn-acquisition <device>}), one call at a
 * time, in the order they were added. Scans reach them in order, each exactly once; every block but
 * the last has exactly {@code N} scans. For each block the recorder comes first, then the block
 * listeners, then the triggers are evaluated on its scans and the records they complete
 * delivered.
 * <li>{@link #stop()} and {@link #close()} may be called from any thread at any time, from a
 * listener or the done listener included, any number of times, without deadlock. Called from
 * another thread, stop wakes the waiting read at once; called from a listener, the task ends
 * when the listener returns. {@link #close()} also waits for the reader thread to finish, except
 * when called on the reader thread itself.
 * <li>An exception thrown by a block listener or the recorder stops the task: it reaches the done
 * listener as the cause of the end ({@link TaskEnd.Reason#LISTENER_FAILED},
 * {@link TaskEnd.Reason#RECORDER_FAILED}), never lost; the blocks after it are not delivered.
 * An exception thrown by the done listener goes to the reader thread's uncaught-exception handler.
 * <li>A slow listener delays the reads: the scans meanwhile wait in the driver's buffer, and each
 * block says how many ({@link TaskBlock#getBacklogScans()}). If the buffer fills the driver stops
 * with an overrun, and the task ends with {@link TaskEnd.Reason#OVERRUN}, its cause naming how
 * many scans came before it. Every scan read before the overrun is delivered.
 * <li>The done listener runs once, after the last block, after the recorder was closed, and
 * before {@link #awaitEnd} returns.
 * </ul>
 * The device stays the caller's: the task starts and stops its stream but never closes it.
 */
public final class AcquisitionTask implements AutoCloseable {
    /** How long one read waits before the reader thread looks at the stop request again. */
    static final long READ_TIMEOUT_NANOS = 200_000_000L;

    private final ScanSource source;
    private final String name;
    private final int everyScans;
    private final List<TaskBlockListener> listeners;
    private final TaskDoneListener doneListener;
    private final ScanRecorder recorder;
    private final boolean deliver;
    private final List<Supplier<RecordAssembler>> recordMakers;
    private final CountDownLatch ended = new CountDownLatch(1);
    private final Object lifecycle = new Object();

    private Thread reader;
    private volatile boolean stopRequested;
    private volatile TaskEnd end;

    private AcquisitionTask(Builder b, ScanSource source) {
        this.source = source;
        this.name = b.name;
        this.everyScans = b.everyScans;
        this.listeners = List.copyOf(b.listeners);
        this.doneListener = b.doneListener;
        this.recorder = b.recorder;
        this.deliver = b.recorder == null || b.deliver;
        this.recordMakers = List.copyOf(b.recordMakers);
    }

    /**
     * A task on a configured streaming device ({@code configure()} done, not started). A device
     * with a scan count ({@code setScanCount}) makes a finite task, which ends by itself after
     * exactly that many scans.
     *
     * @param device the device the task reads; it stays the caller's, the task never closes it
     * @return a builder of the task
     */
    public static Builder on(ComediAnalogStreamingDevice device) {
        return new Builder(Objects.requireNonNull(device, "device").getDevice(), null, device);
    }

    static Builder on(String name, ScanSource source) {
        return new Builder(name, source, null);
    }

    /** Sets up a task; nothing touches the device before {@link AcquisitionTask#start()}. */
    public static final class Builder {
        private final String name;
        private final ScanSource source;
        private final ComediAnalogStreamingDevice device;
        private int everyScans = 1000;
        private final List<TaskBlockListener> listeners = new ArrayList<>();
        private TaskDoneListener doneListener;
        private ScanRecorder recorder;
        private boolean deliver;
        private final List<Supplier<RecordAssembler>> recordMakers = new ArrayList<>();

        private Builder(String name, ScanSource source, ComediAnalogStreamingDevice device) {
            this.name = name;
            this.source = source;
            this.device = device;
        }

        /**
         * Blocks of {@code n} scans (the last of a finite or stopped task may be shorter); default 1000.
         *
         * @param n the scans of a block, at least 1
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
         * Adds a block listener; listeners are called in the order they were added.
         *
         * @param listener what receives every block, on the reader thread
         * @return this builder
         */
        public Builder onBlock(TaskBlockListener listener) {
            listeners.add(Objects.requireNonNull(listener, "listener"));
            return this;
        }

        /**
         * Sets the listener told once why the task ended (the last one set).
         *
         * @param listener what receives the end, on the reader thread
         * @return this builder
         */
        public Builder onDone(TaskDoneListener listener) {
            doneListener = Objects.requireNonNull(listener, "listener");
            return this;
        }

        /**
         * Hands every scan's raw codes to {@code recorder}. With {@code deliverToo} false the task
         * only records (no conversion to volts; block listeners still get each block, with its
         * raw codes, {@link TaskBlock#getVolts()} empty, and {@link TaskBlock#getVolts(int, int)} and
         * {@link TaskBlock#copyVolts()} raising IllegalStateException).
         *
         * @param recorder   where the raw codes go, e.g. an {@code org.vorn.hdf5.Hdf5ScanLog}
         * @param deliverToo whether the block listeners get volts as well
         * @return this builder
         */
        public Builder recordTo(ScanRecorder recorder, boolean deliverToo) {
            this.recorder = Objects.requireNonNull(recorder, "recorder");
            this.deliver = deliverToo;
            return this;
        }

        /**
         * Cuts records out of the stream at every {@code trigger}, without hold-off: see
         * {@link #onRecord(Trigger, int, int, long, RecordListener)}.
         *
         * @param trigger     the condition, evaluated on every scan
         * @param pretrigger  the scans before the trigger's scan, 0 or more
         * @param posttrigger the trigger's scan and the ones after it, at least 1
         * @param listener    what receives every record, on the reader thread
         * @return this builder
         */
        public Builder onRecord(Trigger trigger, int pretrigger, int posttrigger, RecordListener listener) {
            return onRecord(trigger, pretrigger, posttrigger, 0, listener);
        }

        /**
         * Cuts records out of the stream: {@code pretrigger} scans before each scan where
         * {@code trigger} fires, that scan and {@code posttrigger - 1} after it. The first
         * trigger that can be taken is at scan {@code pretrigger} (the first with that many scans
         * before it); then a new trigger is taken no earlier than
         * {@code max(posttrigger, holdOffScans)} scans after the last one taken, so no record
         * starts while one is being filled nor within the hold-off (records may share
         * pretrigger scans). Triggers in between are dropped. A recorder (if any) logs each
         * trigger taken ({@link ScanRecorder#triggered}). The listener runs on the reader thread,
         * after the block listeners got the record's last scan; a record that the end of the
         * task cut short comes last, incomplete. Several calls cut several kinds of record.
         *
         * @param trigger      the condition, evaluated on every scan, once, in order
         * @param pretrigger   the scans before the trigger's scan, 0 or more
         * @param posttrigger  the trigger's scan and the ones after it, at least 1
         * @param holdOffScans the least distance in scans from one trigger taken to the next, 0 or more
         * @param listener     what receives every record, on the reader thread
         * @return this builder
         * @throws IllegalArgumentException if a count is out of range
         */
        public Builder onRecord(Trigger trigger, int pretrigger, int posttrigger, long holdOffScans,
                RecordListener listener) {
            Objects.requireNonNull(trigger, "trigger");
            Objects.requireNonNull(listener, "listener");
            if (pretrigger < 0 || posttrigger < 1 || holdOffScans < 0) {
                throw new IllegalArgumentException("a record has 0 or more pretrigger scans (not " + pretrigger
                        + "), at least 1 post-trigger scan (not " + posttrigger + ") and a hold-off of 0 or more"
                        + " scans (not " + holdOffScans + ")");
            }
            recordMakers.add(() -> new RecordAssembler(trigger, pretrigger, posttrigger, holdOffScans, listener));
            return this;
        }

        /**
         * The task, not yet started.
         *
         * @return a task that {@link AcquisitionTask#start()} runs once
         */
        public AcquisitionTask build() {
            ScanSource s = source != null ? source : new DeviceScanSource(device, READ_TIMEOUT_NANOS);
            return new AcquisitionTask(this, s);
        }
    }

    /**
     * Starts the stream on the calling thread (a device that refuses raises here), then the
     * reader thread. A task runs once.
     */
    public void start() {
        synchronized (lifecycle) {
            if (reader != null) {
                throw new IllegalStateException("task on " + name + " was already started");
            }
            if (stopRequested) {
                throw new IllegalStateException("task on " + name + " was stopped before it started");
            }
            StreamInfo stream = source.start();
            try {
                TaskRun run = new TaskRun(stream);
                Thread t = new Thread(() -> run(run), "vorn-acquisition " + name);
                t.setDaemon(true);
                t.start();
                reader = t;
            } catch (RuntimeException | Error e) {
                // No buffers or no thread for the reads: the stream must not run without its reader.
                try {
                    source.stop();
                } catch (RuntimeException s) {
                    e.addSuppressed(s);
                }
                throw e;
            }
        }
    }

    /** Ends the task (see the class's threading model); the done listener says {@code STOPPED}. */
    public void stop() {
        stopRequested = true;
        Thread r;
        synchronized (lifecycle) {
            r = reader;
        }
        if (r != null && r != Thread.currentThread() && end == null) {
            source.stop(); // wakes the waiting read
        }
    }

    /** Stops the task and, unless called from its own thread, waits until it has ended. Idempotent. */
    @Override
    public void close() {
        stop();
        Thread r;
        synchronized (lifecycle) {
            r = reader;
        }
        TaskThreads.joinUnlessCurrent(r);
    }

    /**
     * Waits for the end at most {@code timeout} (any duration: one beyond what nanoseconds count,
     * such as {@code ChronoUnit.FOREVER.getDuration()}, waits without limit); returns it, or null if
     * the task still runs.
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

    private void run(TaskRun run) {
        TaskEnd result = run.loop();
        result = run.endRecords(result);
        result = run.finish(result);
        end = result;
        try {
            if (doneListener != null) {
                doneListener.done(result);
            }
        } finally {
            ended.countDown();
        }
    }

    /** One run of the reader thread: its buffers and its count. */
    private final class TaskRun {
        private final StreamInfo stream;
        private final ByteBuffer raw;
        private final TaskBlock block;
        private final int scanBytes;
        private final long totalScans;
        private long delivered;
        private long lastBacklog = -1;
        private boolean recorderOpen;
        private final RecordAssembler[] assemblers;

        TaskRun(StreamInfo stream) {
            this.stream = stream;
            this.scanBytes = stream.positionCount() * stream.sampleBytes();
            this.totalScans = stream.scansRequested();
            long rawBytes = (long) everyScans * scanBytes;
            long values = deliver ? (long) everyScans * stream.positionCount() : 0;
            if (rawBytes > Integer.MAX_VALUE || values > Integer.MAX_VALUE - 8) {
                throw new IllegalArgumentException("task on " + name + ": a block of " + everyScans + " scans of "
                        + stream.positionCount() + " positions does not fit one buffer; choose fewer everyScans");
            }
            this.raw = ByteBuffer.allocateDirect(everyScans * scanBytes).order(ByteOrder.nativeOrder());
            this.block = new TaskBlock(stream, deliver ? everyScans : 0);
            this.assemblers = new RecordAssembler[recordMakers.size()];
            for (int i = 0; i < assemblers.length; i++) {
                assemblers[i] = recordMakers.get(i).get();
                assemblers[i].begin(stream, recorder == null ? null : recorder::triggered);
            }
        }

        TaskEnd loop() {
            // Listeners and the recorder are caught as Throwable: an Error from them (a native
            // library missing, a failed assertion) would otherwise kill this thread and leave the
            // stream running, the recorder open and the done listener never told.
            if (recorder != null) {
                try {
                    recorderOpen = true;
                    recorder.begin(stream);
                } catch (Throwable e) {
                    return end(TaskEnd.Reason.RECORDER_FAILED, e);
                }
            }
            raw.clear();
            try {
                while (true) {
                    if (stopRequested) {
                        return deliverPending(end(TaskEnd.Reason.STOPPED, null));
                    }
                    int want = everyScans;
                    if (totalScans > 0) {
                        want = (int) Math.min(want, totalScans - delivered);
                    }
                    raw.limit(want * scanBytes);
                    int n = source.read(raw, raw.remaining() / stream.sampleBytes(), READ_TIMEOUT_NANOS);
                    if (n < 0) {
                        return deliverPending(end(TaskEnd.Reason.COMPLETED, null));
                    }
                    if (!raw.hasRemaining()) {
                        TaskEnd failed = deliver();
                        if (failed != null) {
                            return failed;
                        }
                        if (totalScans > 0 && delivered == totalScans) {
                            return end(TaskEnd.Reason.COMPLETED, null);
                        }
                    }
                }
            } catch (org.vorn.exception.StreamStoppedException e) {
                return deliverPending(end(TaskEnd.Reason.STOPPED, null));
            } catch (RuntimeException e) {
                TaskEnd.Reason reason = source.isOverrun(e) ? TaskEnd.Reason.OVERRUN
                        : stopRequested ? TaskEnd.Reason.STOPPED : TaskEnd.Reason.DEVICE_FAILED;
                return deliverPending(end(reason, reason == TaskEnd.Reason.STOPPED ? null : e));
            } catch (Error e) {
                // Beyond an exception (no memory, a library gone): the task still ends on it, told.
                return deliverPending(end(TaskEnd.Reason.DEVICE_FAILED, e));
            }
        }

        /**
         * Delivers the whole scans read before the end, a shorter last block, unless a listener
         * already failed. The codes of a scan that the end cut short have no scan to belong to.
         */
        private TaskEnd deliverPending(TaskEnd ending) {
            if (raw.position() < scanBytes) {
                return ending;
            }
            TaskEnd failed = deliver();
            return failed != null ? failed : end(ending.reason(), ending.cause());
        }

        /** Hands the scans in {@code raw} to the recorder and the listeners; returns the end if one failed. */
        private TaskEnd deliver() {
            int scans = raw.position() / scanBytes;
            raw.limit(scans * scanBytes).position(0);
            long backlog = source.backlogScans();
            lastBacklog = backlog;
            try {
                if (recorder != null) {
                    try {
                        recorder.record(raw, delivered, scans);
                    } catch (Throwable e) {
                        return end(TaskEnd.Reason.RECORDER_FAILED, e);
                    }
                    // A recorder may consume the buffer (a channel write leaves its position at its
                    // limit); the block must still see the scans from the start.
                    raw.limit(scans * scanBytes).position(0);
                }
                block.fill(raw, delivered, scans, backlog, deliver);
                for (TaskBlockListener l : listeners) {
                    try {
                        l.scansArrived(block);
                    } catch (Throwable e) {
                        return end(TaskEnd.Reason.LISTENER_FAILED, e);
                    }
                }
                for (RecordAssembler a : assemblers) {
                    raw.limit(scans * scanBytes).position(0);
                    try {
                        a.scans(raw, scans);
                    } catch (RecordAssembler.SinkFailure e) {
                        return end(TaskEnd.Reason.RECORDER_FAILED, e.getCause());
                    } catch (Throwable e) {
                        return end(TaskEnd.Reason.LISTENER_FAILED, e);
                    }
                }
                delivered += scans;
                return null;
            } finally {
                raw.clear();
            }
        }

        private TaskEnd end(TaskEnd.Reason reason, Throwable cause) {
            return new TaskEnd(reason, delivered, cause, lastBacklog);
        }

        /** Hands on the records the end cut short, before the recorder closes. */
        TaskEnd endRecords(TaskEnd result) {
            for (RecordAssembler a : assemblers) {
                try {
                    a.end();
                } catch (Throwable e) {
                    result = keep(result, e, TaskEnd.Reason.LISTENER_FAILED);
                }
            }
            return result;
        }

        /** Stops the stream and closes the recorder with the end logged; a failure there is kept with the end. */
        TaskEnd finish(TaskEnd result) {
            try {
                source.stop();
            } catch (RuntimeException e) {
                result = keep(result, e, TaskEnd.Reason.DEVICE_FAILED);
            }
            if (recorderOpen) {
                try {
                    if (result.reason() != TaskEnd.Reason.RECORDER_FAILED) {
                        recorder.event(result.eventKind(), result.scansDelivered(),
                                result.cause() == null ? "" : String.valueOf(result.cause().getMessage()));
                    }
                } catch (Throwable e) {
                    result = keep(result, e, TaskEnd.Reason.RECORDER_FAILED);
                }
                try {
                    recorder.close();
                } catch (Throwable e) {
                    result = keep(result, e, TaskEnd.Reason.RECORDER_FAILED);
                }
            }
            return result;
        }

        private TaskEnd keep(TaskEnd result, Throwable e, TaskEnd.Reason reason) {
            if (result.cause() != null) {
                if (result.cause() != e) { // a recorder may raise its first failure again
                    result.cause().addSuppressed(e);
                }
                return result;
            }
            if (result.reason() == TaskEnd.Reason.COMPLETED || result.reason() == TaskEnd.Reason.STOPPED) {
                return new TaskEnd(reason, result.scansDelivered(), e, result.backlogScans());
            }
            return result;
        }
    }
}
