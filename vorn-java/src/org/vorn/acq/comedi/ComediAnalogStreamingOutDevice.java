// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.time.Duration;
import java.time.Instant;

import org.vorn.exception.ComediException;
import org.vorn.exception.ComediUnderrunException;

/**
 * Hardware-timed analog output: the board's clock takes one scan (a value for every position) from
 * the driver's buffer each scan period, and the program keeps that buffer fed. The output twin of
 * {@link ComediAnalogStreamingDevice}, shaped like it:
 * <pre>
 * try (var ao = new ComediAnalogStreamingOutDevice("/dev/comedi0", 2, 1000.0, 4096)) {
 *     ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ao.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
 *     ao.configure();                         // the driver tests the command; getScanRateHz() as accepted
 *     ao.write(firstScans, n);                // preload: arms the command and fills the buffer
 *     ao.start();                             // the first scan goes out one scan period later
 *     while (more) {
 *         ao.write(next, m, Duration.ofSeconds(1)); // sleeps in poll while the buffer is full
 *     }
 *     ao.stop(0.0, 0.0);                      // cancel and park both outputs at 0 V
 * }
 * </pre>
 *
 * <p>Feeding: values come as volts ({@code double[]} or a direct buffer of doubles, one value a
 * position, scan after scan, converted to codes once, on the way into the driver, as comedilib's
 * {@code comedi_from_phys} converts them: volts outside the range become its nearest end, NaN is
 * refused) or as the driver's codes ({@link #writeRaw}). Every write moves whole scans only. The
 * non-waiting write takes what fits now; the waiting one sleeps in poll until there is room for
 * the rest, the timeout passes, or {@link #stop()} / {@link #close()} from another thread wakes it.
 * An interrupt of the writing thread does not end its sleep at once: the write looks at the
 * interrupt status at least every 50 ms and then returns what it wrote, the status kept set.
 *
 * <p>Start: an output command must have scans in its buffer before it starts, so the command is
 * armed (submitted with an internal start trigger) by the first write after {@link #configure()}
 * or {@link #arm()}, and what is written until {@link #start()} is the preload; start() says how
 * many scans it was. Scan {@code j} (from 0) goes out {@code (j + 1) x getScanPeriodNanos()} after
 * the start, as the first input scan ends one period after its start.
 * {@link SynchronizedStart} starts an output and an input together.
 *
 * <p>Ends: a counted output ({@link #setScanCount}) ends by itself after its last scan; writes take
 * no more than the count and return 0 after it; that is not an underrun. A continuous output whose
 * buffer runs dry stops in error: the next write, and every write after it, raises
 * {@link ComediUnderrunException} with the scans output before it (every scan written) and the
 * driver's buffer size. After an end, an underrun or a {@link #stop()} without values, each output
 * holds the last value it was given (the kernel's drivers leave their DACs so); {@link #stop(double...)}
 * parks them at the values given instead. After stop() writes raise {@link StreamStoppedException}
 * until {@link #arm()} or {@link #start(double[], int)} begins the next run.
 *
 * <p>Threads: as for the input device. Calls on one device run one at a time; a waiting write holds
 * the device while it sleeps, so other calls wait for it, except {@link #stop()}, {@link #trigger()}
 * and close(), which wake it from any thread at any moment.
 */
public final class ComediAnalogStreamingOutDevice extends ComediAnalogDevice {
    // The source kinds and the conditions of nWrite (stream_output.h).
    private static final int SOURCE_VOLTS_BUFFER = 0;
    private static final int SOURCE_RAW_BUFFER = 1;
    private static final int SOURCE_VOLTS_ARRAY = 2;
    /** No source: the codes are in the driver's ring already, the write marks them written. */
    private static final int SOURCE_IN_RING = 3;
    private static final int UNDERRUN = 1;
    private static final int ENDED = 2;
    private static final int WOKEN = 3;
    private static final int NAN = 4;
    /** The longest native sleep of a waiting write between two looks at the thread's interrupt status. */
    private static final long INTERRUPT_CHECK_NANOS = 50_000_000L;

    private final int bufSize;
    // Guarded by the lock.
    /** setDriverBufferSize() chose the driver's buffer: a regeneration keeps it. */
    private boolean driverSizeChosen;
    private long scanCount;
    private boolean configured;
    private long scanPeriodNanos;
    /** The command is submitted (armed or started) and not stopped, ended or run dry. */
    private boolean armed;
    private boolean started;
    /** start() ran on a software or external start, and the trigger has not been seen yet. */
    private boolean waiting;
    private StartTrigger startTrigger = StartTrigger.now();
    private boolean stopped;
    private boolean underrun;
    private boolean ended;
    private int driverBytes;
    private long scansWritten;
    private long preloaded;
    private long startNanos;
    private Instant startTime;
    /** Counts the runs (arm() calls that submitted a command). */
    private long run;
    /** Set by stop() before it wakes a waiting write, so that the woken write knows why. */
    private volatile boolean stopRequested;

    /**
     * Opens the first analog output subdevice of {@code device} (it must run output commands) for
     * {@code nChannels} positions, output {@code scanRateHz} scans a second; one conversion pass
     * handles at most {@code bufSize} values (at least one scan), a write of more takes several.
     *
     * @param device     the device file, e.g. {@code /dev/comedi0}
     * @param nChannels  the number of positions of a scan
     * @param scanRateHz the scan rate asked for, in scans a second
     * @param bufSize    the size of the library's write buffer, in samples
     */
    public ComediAnalogStreamingOutDevice(String device, int nChannels, double scanRateHz, int bufSize) {
        super(device, nChannels);
        this.bufSize = bufSize;
        attach(nCreateTask(device, nChannels, scanRateHz, bufSize));
    }

    /**
     * The values one conversion pass handles.
     *
     * @return the library's write buffer size, in samples
     */
    public int getBufferSize() {
        return bufSize;
    }

    /**
     * Makes the output a finite one of exactly {@code scans} scans (1 to 4294967295; 0: until
     * stopped, the default). Call before {@link #configure()}.
     *
     * @param scans the scans to put out, or 0 for a continuous output
     */
    public void setScanCount(long scans) {
        ByteBuffer h = lockHandle();
        try {
            if (configured) {
                throw Failures.state(getDevice(), "the command of " + getDevice()
                        + " is already tested: set the scan count before configure()");
            }
            nSetStopCount(h, scans);
            scanCount = scans;
        } finally {
            unlock();
        }
    }

    /**
     * Chooses what starts the output (default {@link StartTrigger#now()}: {@link #start()} starts
     * it). Call before {@link #configure()}, which refuses a start the board lacks (a
     * {@link org.vorn.exception.SettingRefusedException} naming the start sources it has). With
     * {@link StartTrigger#software()}, {@link #start()} checks the preload and arms, and
     * {@link #trigger()} starts. With {@link StartTrigger#externalEdge}, the command waits for its
     * edge from the moment it is submitted (the first write, or {@link #arm()}): write the preload
     * before the edge can come; {@link #start()} checks it and returns it.
     *
     * @param trigger the start: now, software or an external edge
     */
    public void setStartTrigger(StartTrigger trigger) {
        java.util.Objects.requireNonNull(trigger, "trigger");
        lockHandle();
        try {
            if (configured) {
                throw Failures.state(getDevice(), "the command of " + getDevice()
                        + " is already tested: set the start trigger before configure()");
            }
            startTrigger = trigger;
        } finally {
            unlock();
        }
    }

    /**
     * What starts the output, as {@link #setStartTrigger} chose it.
     *
     * @return the start
     */
    public StartTrigger getStartTrigger() {
        lock();
        try {
            return startTrigger;
        } finally {
            unlock();
        }
    }

    /**
     * The scans of a finite output, 0 for a continuous one.
     *
     * @return the scans a finite output puts out, or 0 for a continuous one
     */
    public long getScanCount() {
        lock();
        try {
            return scanCount;
        } finally {
            unlock();
        }
    }

    /**
     * Has the driver test the command (start by internal trigger, the scan timer at the requested
     * rate, corrected to what the board can do), writing the trace to standard output. Call after
     * every position is configured, not while the output runs. A refusal says what the driver
     * answered; a source the board lacks is named with the sources it has.
     */
    public void configure() {
        ByteBuffer h = lockHandle();
        try {
            requireConfigured("configure()");
            if (armed) {
                throw Failures.state(getDevice(), "the output of " + getDevice() + " is running: stop it before configure()");
            }
            configured = false;
            // An output command is always preloaded before it starts: "now" is start()'s own trigger.
            int source = startTrigger.kind() == StartTrigger.Kind.EXTERNAL_EDGE ? StreamCommand.TRIG_EXT
                    : StreamCommand.TRIG_INT;
            try {
                StreamStart.nApply(h, source, (int) startTrigger.startArgument(), startTrigger.waitsForTrigger());
            } catch (ComediException e) {
                throw Failures.namedRefusal(getDevice(), e);
            }
            scanPeriodNanos = nConfigTask(h);
            RuntimeException changed = startTrigger.refusalIfChanged(getDevice(), StreamStart.nStartArgument(h));
            if (changed != null) {
                throw changed;
            }
            configured = true;
        } finally {
            unlock();
        }
    }

    /**
     * Scans a second as the board runs them, after the driver's corrections.
     *
     * @return the accepted scan rate in Hz
     */
    public double getScanRateHz() {
        return 1e9 / getScanPeriodNanos();
    }

    /**
     * Nanoseconds from one output scan to the next, as accepted.
     *
     * @return the accepted scan period in nanoseconds
     */
    public long getScanPeriodNanos() {
        lockHandle();
        try {
            requireTested();
            return scanPeriodNanos;
        } finally {
            unlock();
        }
    }

    private void requireTested() {
        if (!configured) {
            throw Failures.state(getDevice(), "the timing of " + getDevice()
                    + " is known once the driver has tested the command: call configure() first");
        }
    }

    /**
     * Asks the driver for a buffer of {@code bytes} (rounded by the driver) and returns the size it
     * reports; not while the output runs. The more it holds, the longer a writer may stall before
     * the output runs dry, and the later a change written now goes out.
     *
     * @param bytes the driver buffer size asked for, in bytes
     * @return the size the driver gave, in bytes
     */
    public int setDriverBufferSize(int bytes) {
        if (bytes < 1) {
            throw new IllegalArgumentException("a driver buffer needs at least 1 byte, not " + bytes);
        }
        ByteBuffer h = lockHandle();
        try {
            if (armed) {
                throw Failures.state(getDevice(), "the output of " + getDevice()
                        + " is running: stop it before changing the driver buffer");
            }
            int size = nDriverBufferSize(h, bytes);
            driverSizeChosen = true;
            return size;
        } finally {
            unlock();
        }
    }

    /**
     * The size of the driver's buffer, in bytes.
     *
     * @return the driver buffer size in bytes
     */
    public int getDriverBufferSize() {
        ByteBuffer h = lockHandle();
        try {
            return nDriverBufferSize(h, 0);
        } finally {
            unlock();
        }
    }

    /**
     * Bytes of one code in {@link #writeRaw}: 2, or 4 on a subdevice with 32-bit samples.
     *
     * @return 2 or 4: the bytes of one raw code
     */
    public int getBytesPerSample() {
        ByteBuffer h = lockHandle();
        try {
            return nGetBytesPerSample(h);
        } finally {
            unlock();
        }
    }

    /**
     * Begins a run: submits the tested command, which waits for {@link #start()} with an empty
     * buffer; the writes until then are the preload. The first write after configure() does this
     * by itself; after a stop, an end or an underrun it is how the next run begins.
     */
    public void arm() {
        ByteBuffer h = lockHandle();
        try {
            armLocked(h);
        } finally {
            unlock();
        }
    }

    private void armLocked(ByteBuffer h) {
        requireConfigured("arm()");
        if (!configured) {
            throw new ComediException("Error starting command: the command of " + getDevice()
                    + " has not been tested: call configure() first");
        }
        if (armed && !started) {
            return;
        }
        if (armed) {
            throw Failures.state(getDevice(), "the output of " + getDevice() + " is running: stop it before arm()");
        }
        stopRequested = false;
        driverBytes = nArm(h);
        run++;
        armed = true;
        started = false;
        waiting = false;
        stopped = false;
        underrun = false;
        ended = false;
        scansWritten = 0;
        preloaded = 0;
    }

    /**
     * Starts the armed output: the scans written since it was armed go out from one scan period
     * from now. Returns how many scans were preloaded. With a software or external start
     * ({@link #setStartTrigger}) it only checks the preload and arms: {@link #trigger()} or the
     * edge starts the output.
     *
     * @throws IllegalStateException when nothing was written to preload, or the output already started
     *
     * @return the scans preloaded so far
     */
    public long start() {
        ByteBuffer h = lockHandle();
        try {
            requireStartable();
            startOrWait(h);
            return preloaded;
        } finally {
            unlock();
        }
    }

    /** Lock held, the preload checked: starts now, or arms for the trigger. */
    private void startOrWait(ByteBuffer h) {
        if (startTrigger.waitsForTrigger()) {
            waiting = true;
        } else {
            triggerLocked(h);
        }
    }

    /**
     * Starts an output armed by {@link #start()} with a {@link StartTrigger#software()} start:
     * its first scan goes out one scan period later, and {@link #getStartNanoTime()} is the
     * trigger's instant. Like stop() and close(), it does not wait out a waiting write on another
     * thread: that write lets the trigger through and goes on waiting for room.
     *
     * @throws org.vorn.exception.DeviceStateException when the output is not armed, has another start,
     *         or was triggered already
     */
    public void trigger() {
        ByteBuffer h = lockHandleFromSleeper();
        try {
            if (startTrigger.kind() != StartTrigger.Kind.SOFTWARE) {
                throw Failures.state(getDevice(), "the output of " + getDevice() + " starts "
                        + (startTrigger.waitsForTrigger() ? "on the " + startTrigger : "at start()")
                        + ", not by trigger() (setStartTrigger(StartTrigger.software()) before configure())");
            }
            if (started) {
                throw Failures.state(getDevice(), "the output of " + getDevice() + " has already been triggered");
            }
            if (!waiting) {
                throw Failures.state(getDevice(), "the output of " + getDevice()
                        + " is not armed: write its preload and start() it before trigger()");
            }
            triggerLocked(h);
        } finally {
            unlockToSleeper();
        }
    }

    /**
     * Whether the output waits for its trigger: {@link #start()} ran on a software or external
     * start and the trigger has not come yet.
     *
     * @return true while armed
     */
    public boolean isArmed() {
        ByteBuffer h = lockHandle();
        try {
            noticeExternalStart(h);
            return waiting && !started;
        } finally {
            unlock();
        }
    }

    /**
     * Whether the output has started (by start(), trigger(), its edge or a synchronised start) and
     * not been stopped since. An external start is seen by the scans the board has taken.
     *
     * @return true from the start until stop()
     */
    public boolean isStarted() {
        ByteBuffer h = lockHandle();
        try {
            noticeExternalStart(h);
            return started;
        } finally {
            unlock();
        }
    }

    /**
     * Lock held: an external start shows itself by the scans the board took from the buffer; their
     * number, back from now at the scan period, is when the edge came, as closely as the driver
     * tells. Asked only while the command runs: a look at the buffer of a stopped output command
     * would free the subdevice before the write that must report how it stopped.
     */
    private void noticeExternalStart(ByteBuffer h) {
        if (!waiting || started || !armed || startTrigger.kind() != StartTrigger.Kind.EXTERNAL_EDGE) {
            return;
        }
        int bytesPerScan = nGetBytesPerSample(h) * getPositionCount();
        long taken;
        if (nCommandRunning(h)) {
            int buffered = StreamStart.nBufferedBytes(h);
            if (buffered < 0) {
                return;
            }
            taken = scansWritten - buffered / bytesPerScan;
            if (taken <= 0) {
                return;
            }
        } else {
            taken = scansWritten; // it ran and stopped: an end or an underrun, which the next write reports
        }
        long back = taken * scanPeriodNanos;
        startNanos = System.nanoTime() - back;
        startTime = Instant.now().minusNanos(back);
        started = true;
        waiting = false;
    }

    /**
     * Begins a run with {@code scans} scans of {@code volts} as its preload (as many as the driver's
     * buffer holds; the rest is for the following writes, from scan {@link #start(double[], int)}'s
     * result) and starts it. Returns the scans preloaded.
     *
     * @param volts the scans to preload, positions in order
     * @param scans the number of scans of {@code volts} to preload
     * @return the scans preloaded before the start
     */
    public long start(double[] volts, int scans) {
        ByteBuffer h = lockHandle();
        try {
            if (armed && !started) {
                throw Failures.state(getDevice(), "the output of " + getDevice()
                        + " is armed with a preload: call start() to start it");
            }
            armLocked(h);
            checkArray(volts, scans);
            writeLocked(h, volts, SOURCE_VOLTS_ARRAY, 0, scans, 0);
            requireStartable();
            startOrWait(h);
            return preloaded;
        } finally {
            unlock();
        }
    }

    private void requireStartable() {
        if (waiting && !started) {
            throw Failures.state(getDevice(), "the output of " + getDevice() + " is armed and waits for the "
                    + startTrigger + (startTrigger.kind() == StartTrigger.Kind.SOFTWARE ? ": trigger() starts it" : ""));
        }
        if (!armed || started) {
            throw Failures.state(getDevice(), "the output of " + getDevice() + (started ? " has already started"
                    : " is not armed: write its first scans (the preload) before start()"));
        }
        if (preloaded == 0) {
            throw Failures.state(getDevice(), "the output of " + getDevice()
                    + " has nothing to output: write its first scans (the preload) before start()");
        }
    }

    private void triggerLocked(ByteBuffer h) {
        startNanos = System.nanoTime();
        startTime = Instant.now();
        nTrigger(h);
        started = true;
        waiting = false;
    }

    /** Lock held, by SynchronizedStart: armed with a preload; the caller triggers it. */
    void prepareSharedStart() {
        if (waiting && !started && startTrigger.kind() == StartTrigger.Kind.SOFTWARE) {
            return; // armed by start() for a software trigger: the list's trigger is that trigger
        }
        requireStartable();
    }

    /** Lock held, by SynchronizedStart: the list that started it ran at {@code nanos}. */
    void markStarted(long nanos, Instant wallClock) {
        startNanos = nanos;
        startTime = wallClock;
        started = true;
        waiting = false;
    }

    /**
     * Scans written before the start: the preload of the current run.
     *
     * @return the scans written before the start
     */
    public long getPreloadedScans() {
        lock();
        try {
            return preloaded;
        } finally {
            unlock();
        }
    }

    /**
     * Scans written since the run was armed, preload included.
     *
     * @return the scans written since the command was armed
     */
    public long getScansWritten() {
        lock();
        try {
            return scansWritten;
        } finally {
            unlock();
        }
    }

    /**
     * When the output started, by {@link System#nanoTime()}: taken just before the trigger; its first scan went out one period later.
     *
     * @return the start instant by {@link System#nanoTime()}
     */
    public long getStartNanoTime() {
        lock();
        try {
            return startNanos;
        } finally {
            unlock();
        }
    }

    /**
     * When the output started, by the wall clock; null before the first start.
     *
     * @return the start instant by the wall clock, or null before the start
     */
    public Instant getStartTime() {
        lock();
        try {
            return startTime;
        } finally {
            unlock();
        }
    }

    /**
     * True once a counted output has output its last scan, or the output ran dry.
     *
     * @return whether a finite output has put out its last scan
     */
    public boolean hasEnded() {
        ByteBuffer h = lockHandle();
        try {
            noticeExternalStart(h);
            if (!ended && armed && started && scanCount != 0 && scansWritten == scanCount && !nCommandRunning(h)) {
                ended = true;
                armed = false;
            }
            return ended || underrun;
        } finally {
            unlock();
        }
    }

    // ---- writes -----------------------------------------------------------------------------

    /**
     * Writes as many of the first {@code scans} scans of {@code volts} (one value a position, scan
     * after scan) as the driver has room for now, and returns how many; 0 when there is no room, or
     * a counted output has all its scans.
     *
     * @throws ComediUnderrunException when the output ran dry
     * @throws StreamStoppedException  when {@link #stop()} ended the run
     *
     * @param volts the scans to write, positions in order
     * @param scans the number of scans of {@code volts} to write
     * @return the scans written: as many as the driver had room for, possibly 0
     */
    public int write(double[] volts, int scans) {
        return write(volts, 0, scans, Duration.ZERO);
    }

    /**
     * Writes {@code scans} scans of {@code volts} from scan {@code firstScan}, waiting for room
     * up to {@code timeout}, and returns how many it wrote: all of them, or fewer after the timeout,
     * a stop, an interrupt or the end of a counted output.
     *
     * @throws ComediUnderrunException when the output ran dry, also while this waited
     * @throws StreamStoppedException  when {@link #stop()} ended the run, also while this waited (the
     *                                 scans written before count in {@link #getScansWritten()})
     *
     * @param volts     the scans to write, positions in order
     * @param firstScan the first scan of {@code volts} to write
     * @param scans     the number of scans to write
     * @param timeout   the longest wait for room
     * @return the scans written; fewer than asked when the timeout ran out or the thread was interrupted
     */
    public int write(double[] volts, int firstScan, int scans, Duration timeout) {
        long wait = timeoutNanos(timeout);
        ByteBuffer h = lockHandle();
        try {
            checkArray(volts, firstScan + (long) scans);
            return writeLocked(h, volts, SOURCE_VOLTS_ARRAY, firstScan, scans, wait);
        } finally {
            unlock();
        }
    }

    /**
     * As {@link #write(double[], int)}, from a direct native-order buffer of doubles, from its start.
     *
     * @param volts a direct buffer of native-order doubles, positions in order
     * @param scans the number of scans to write
     * @return the scans written: as many as the driver had room for, possibly 0
     */
    public int write(ByteBuffer volts, int scans) {
        return write(volts, scans, Duration.ZERO);
    }

    /**
     * As {@link #write(double[], int, int, Duration)}, from a direct native-order buffer of doubles, from its start.
     *
     * @param volts   a direct buffer of native-order doubles, positions in order
     * @param scans   the number of scans to write
     * @param timeout the longest wait for room
     * @return the scans written; fewer than asked when the timeout ran out or the thread was interrupted
     */
    public int write(ByteBuffer volts, int scans, Duration timeout) {
        return writeBuffer(volts, SOURCE_VOLTS_BUFFER, 8, scans, timeout);
    }

    /**
     * As {@link #write(ByteBuffer, int, Duration)}, from the driver's codes ({@link #getBytesPerSample()}
     * bytes each, native order), written as they are.
     *
     * @param codes   a direct buffer of native-order raw codes of {@link #getBytesPerSample()} bytes
     * @param scans   the number of scans to write
     * @param timeout the longest wait for room
     * @return the scans written; fewer than asked when the timeout ran out or the thread was interrupted
     */
    public int writeRaw(ByteBuffer codes, int scans, Duration timeout) {
        return writeBuffer(codes, SOURCE_RAW_BUFFER, 0, scans, timeout);
    }

    private int writeBuffer(ByteBuffer src, int kind, int valueBytes, int scans, Duration timeout) {
        long wait = timeoutNanos(timeout);
        if (scans < 0) {
            throw new IllegalArgumentException("a write of " + scans + " scans");
        }
        ByteBuffer h = lockHandle();
        try {
            int bytes = valueBytes != 0 ? valueBytes : nGetBytesPerSample(h);
            requireDataBuffer(src, (long) scans * getPositionCount() * bytes, kind == SOURCE_RAW_BUFFER ? "code" : "volts");
            return writeLocked(h, src, kind, 0, scans, wait);
        } finally {
            unlock();
        }
    }

    private static long timeoutNanos(Duration timeout) {
        if (timeout == null || timeout.isNegative()) {
            throw new IllegalArgumentException("the timeout must be zero or positive, not " + timeout);
        }
        try {
            return timeout.toNanos();
        } catch (ArithmeticException tooLong) {
            return Long.MAX_VALUE;
        }
    }

    /** {@code end} scans fit in the array. */
    private void checkArray(double[] volts, long end) {
        if (volts == null) {
            throw new IllegalArgumentException("volts is null");
        }
        if (end < 0 || end * getPositionCount() > volts.length) {
            throw new IllegalArgumentException("volts has " + volts.length + " values, " + end + " scans of "
                    + getPositionCount() + " positions need " + end * getPositionCount());
        }
    }

    private int writeLocked(ByteBuffer h, Object src, int kind, int firstScan, int scans, long timeoutNanos) {
        if (firstScan < 0 || scans < 0) {
            throw new IllegalArgumentException("a write of " + scans + " scans from scan " + firstScan);
        }
        requireConfigured("writing");
        if (stopRequested || stopped) {
            throw Failures.stopped(getDevice());
        }
        if (underrun) {
            throw underrunException();
        }
        if (!armed) {
            if (ended) {
                return 0;
            }
            armLocked(h);
        }
        if (waiting) {
            noticeExternalStart(h); // scans written after the edge are no preload
        }
        int wanted = scanCount == 0 ? scans : (int) Math.min(scans, scanCount - scansWritten);
        long deadline = System.nanoTime() + Math.min(timeoutNanos, Long.MAX_VALUE / 4);
        int done = 0;
        while (done < wanted) {
            long slice = timeoutNanos == 0 ? 0 : Math.min(INTERRUPT_CHECK_NANOS, deadline - System.nanoTime());
            if (timeoutNanos != 0 && slice <= 0) {
                break;
            }
            long result = nWrite(h, src, kind, firstScan + done, wanted - done, driverBytes, scanPeriodNanos, slice);
            int n = (int) result;
            int condition = (int) (result >>> 32);
            done += n;
            scansWritten += n;
            if (!started) {
                preloaded += n;
            }
            if (condition == UNDERRUN) {
                armed = false;
                underrun = true;
                throw underrunException();
            } else if (condition == ENDED) {
                armed = false;
                ended = true;
                break;
            } else if (condition == WOKEN) {
                if (stopRequested || isClosed()) {
                    throw isClosed() ? closedException() : Failures.stopped(getDevice());
                }
                // trigger() from another thread: it gets the lock now, not when this write times out.
                long armedRun = run;
                if (lendLockIfWanted(timeoutNanos == 0 ? 0 : Math.max(0, deadline - System.nanoTime()))
                        && (stopRequested || stopped || isClosed() || run != armedRun || !armed)) {
                    throw isClosed() ? closedException() : Failures.stopped(getDevice());
                }
            } else if (condition == NAN) {
                throw new IllegalArgumentException("device " + getDevice() + ": scan " + (firstScan + done)
                        + " holds a NaN, which no output code stands for; the " + done
                        + " scans before it were written");
            }
            if (timeoutNanos == 0 || Thread.currentThread().isInterrupted()) {
                break;
            }
        }
        return done;
    }

    private ComediUnderrunException underrunException() {
        return Failures.underrun(getDevice(), scansWritten, getPositionCount(), driverBytes);
    }

    // ---- regeneration ---------------------------------------------------------------------

    /** How a regenerated output is fed after its preload; see {@link #startRegeneration}. */
    public enum RegenerationMode {
        /**
         * The period is stored once in each period of the driver's ring through the buffer's
         * writable mapping; each lap the library only marks the bytes written again: no copy.
         */
        MAPPED_RING,
        /**
         * The library writes the period's codes into the driver again each lap (write(2)): the
         * driver's buffer holds no whole number of periods, the driver refused the mapping, or it
         * converts the codes in place in its ring.
         */
        WRITE_REFILL
    }

    /**
     * Begins a run that repeats one period of {@code periodScans} scans of {@code periodVolts}
     * until {@link #stop()}, and starts it (with a software or external start it arms it, and
     * {@link #trigger()} or the edge starts it); returns the scans preloaded (the driver's buffer
     * full: whole periods, or whole periods and the start of the next). The volts are converted
     * once, as the writes convert them (calibration included; NaN refused).
     *
     * <p>The kernel's output command has no regeneration of its own: the board takes each scan
     * out of the driver's buffer once, and only scans marked written since go out. The bytes it
     * took stay in place, though, so when the driver's buffer holds a whole number of periods
     * the library stores the period into each of them once, through the buffer's writable
     * mapping, and from then on only marks them written again (COMEDI_BUFINFO) as the board
     * frees them: {@link RegenerationMode#MAPPED_RING}, no copy per lap. If the buffer does not
     * hold whole periods and {@link #setDriverBufferSize} has not chosen its size, the library
     * first asks the driver for the nearest size that does (a multiple of the period and of the
     * page, at or above the present size, at most the driver's maximum) and keeps it for later
     * runs. Otherwise (a size chosen by the caller that holds no whole number of periods, no such
     * size within the maximum, a driver that refuses the mapping or converts the codes in its
     * ring in place) it falls back to {@link RegenerationMode#WRITE_REFILL}: the period's codes
     * are written into the driver again each lap. {@link #getRegenerationMode()} says which runs,
     * and the choice is logged with its reason (System.Logger "org.vorn": the fallback at INFO,
     * the mapped ring at DEBUG).
     *
     * <p>Either way a daemon thread of the library ("vorn-regenerate DEVICE") keeps the command
     * fed, because the command takes each scan once: it sleeps in poll until a quarter of the
     * driver's buffer is free (at least 20 µs, at most 50 ms, when it looks whether the run is
     * over) and then marks (or writes) that room. The program does nothing while it runs; it must
     * not write itself. Should the thread fall behind by a whole driver buffer (a machine so
     * loaded that it does not run for that long) the output runs dry as any other:
     * {@link #hasEnded()} says so and {@link #getRegenerationUnderrun()} tells the count. The
     * thread holds the device at most 50 ms at a time, and keeps it reachable: a regenerating
     * device is released by stop() or close(), never by the garbage collector alone.
     *
     * @throws IllegalStateException when the output runs, or a counted output's count is not set to 0
     *
     * @param periodVolts one period of the waveform, scan after scan, positions in order
     * @param periodScans the scans of one period
     * @return the scans preloaded before the start
     */
    public long startRegeneration(double[] periodVolts, int periodScans) {
        checkArray(periodVolts, periodScans);
        if (periodScans < 1) {
            throw new IllegalArgumentException("a period needs at least one scan, not " + periodScans);
        }
        int positions = getPositionCount();
        ByteBuffer h = lockHandle();
        try {
            if (scanCount != 0) {
                throw Failures.state(getDevice(), "the output of " + getDevice() + " counts " + scanCount
                        + " scans; a regenerated output runs until stopped (setScanCount(0))");
            }
            if (armed) {
                throw Failures.state(getDevice(), "the output of " + getDevice() + " is armed or running: stop it first");
            }
            requireConfigured("startRegeneration()");
            int scanBytes = nGetBytesPerSample(h) * positions;
            if ((long) periodScans * scanBytes > Integer.MAX_VALUE) {
                throw new IllegalArgumentException("a period of " + periodScans + " scans of " + scanBytes
                        + " bytes is larger than any driver buffer");
            }
            int periodBytes = periodScans * scanBytes;
            ByteBuffer codes = newDataBuffer(periodBytes);
            int nan = nConvertVolts(h, periodVolts, codes, periodScans * positions);
            if (nan >= 0) {
                throw new IllegalArgumentException("value " + nan + " of the period is NaN");
            }
            nRegenerationBufferSize(h, periodBytes, !driverSizeChosen);
            armLocked(h);
            regenerationUnderrun = null;
            String why;
            boolean mapped = false;
            if (driverBytes % periodBytes != 0) {
                why = "its buffer of " + driverBytes + " bytes holds no whole number of " + periodBytes
                        + "-byte periods" + (driverSizeChosen ? " (setDriverBufferSize)" : " within its maximum");
            } else if (nRegenerationRing(h, codes, periodScans, driverBytes, false) < 0) {
                why = "the driver refused a writable mapping of its buffer";
            } else {
                mapped = true;
                why = "its buffer of " + driverBytes + " bytes holds " + driverBytes / periodBytes + " periods";
            }
            int offset = 0;
            if (mapped) {
                writeLocked(h, null, SOURCE_IN_RING, 0, driverBytes / scanBytes, 0);
                if (nRegenerationRing(h, codes, periodScans, driverBytes, true) != 1) {
                    // What went out was converted once, as it should be; the next laps must be written.
                    mapped = false;
                    why = "the driver converts the codes in its buffer in place";
                    offset = (int) (preloaded % periodScans);
                }
            } else {
                int n;
                do {
                    n = writeLocked(h, codes, SOURCE_RAW_BUFFER, offset, periodScans - offset, 0);
                    offset = (offset + n) % periodScans;
                } while (n > 0);
            }
            RegenerationMode mode = mapped ? RegenerationMode.MAPPED_RING : RegenerationMode.WRITE_REFILL;
            regenerationMode = mode;
            DeviceStream.LOG.log(mapped ? System.Logger.Level.DEBUG : System.Logger.Level.INFO, "device " + getDevice() + ": regeneration by "
                    + (mapped ? "marking the mapped ring" : "writing each lap") + ": " + why);
            startOrWait(h);
            final int next = offset;
            final long thisRun = run;
            Thread pump = new Thread(() -> regenerate(mode, codes, periodScans, next, thisRun),
                    "vorn-regenerate " + getDevice());
            pump.setDaemon(true);
            pump.start();
            return preloaded;
        } finally {
            unlock();
        }
    }

    private volatile ComediUnderrunException regenerationUnderrun;
    private volatile RegenerationMode regenerationMode;

    private void regenerate(RegenerationMode mode, ByteBuffer codes, int periodScans, int offset, long ofRun) {
        try {
            for (;;) {
                if (mode == RegenerationMode.MAPPED_RING) {
                    // The ring's scans are each a scan of the period already: any number of them is a whole lap's part.
                    refill(null, SOURCE_IN_RING, 0, Integer.MAX_VALUE, ofRun);
                } else {
                    int n = refill(codes, SOURCE_RAW_BUFFER, offset, periodScans - offset, ofRun);
                    offset = (offset + n) % periodScans;
                }
            }
        } catch (ComediUnderrunException e) {
            regenerationUnderrun = e;
        } catch (IllegalStateException stoppedOrClosed) {
            // stop() or close(): the run is over
        }
    }

    /** A write of the regenerating thread of run {@code ofRun}; a stop ends its run even when another begins before the thread looks. */
    private int refill(ByteBuffer codes, int kind, int firstScan, int scans, long ofRun) {
        ByteBuffer h = lockHandle();
        try {
            if (run != ofRun) {
                throw Failures.stopped(getDevice());
            }
            return writeLocked(h, codes, kind, firstScan, scans, INTERRUPT_CHECK_NANOS);
        } finally {
            unlock();
        }
    }

    /**
     * How the last {@link #startRegeneration} feeds its output, or null before the first.
     *
     * @return the regeneration mode of the last regenerated run, or null
     */
    public RegenerationMode getRegenerationMode() {
        return regenerationMode;
    }

    /**
     * The underrun that ended a regenerated output, or null.
     *
     * @return the underrun that ended the regeneration, or null while it keeps up
     */
    public ComediUnderrunException getRegenerationUnderrun() {
        return regenerationUnderrun;
    }

    // ---- stop -------------------------------------------------------------------------------

    /**
     * Cancels the output; each output holds the last value that went out. From any thread, at any
     * time: a waiting write is woken and raises {@link StreamStoppedException}, as do the writes
     * after it until the next {@link #arm()}. Stopping a stopped output does nothing.
     */
    public void stop() {
        stopParked(null);
    }

    /**
     * As {@link #stop()}, then sets the outputs to {@code parkVolts} (one value a position, each in
     * its position's range), which they hold.
     *
     * @param parkVolts the value for each position that the outputs hold after the stop; none leaves them at the last scan put out
     */
    public void stop(double... parkVolts) {
        if (parkVolts == null || parkVolts.length != getPositionCount()) {
            throw new IllegalArgumentException("stop takes one park value a position (" + getPositionCount()
                    + "), not " + (parkVolts == null ? "null" : parkVolts.length));
        }
        for (int i = 0; i < parkVolts.length; i++) {
            if (Double.isNaN(parkVolts[i])) {
                throw new IllegalArgumentException("park value " + i + " is NaN");
            }
        }
        stopParked(parkVolts.clone());
    }

    private void stopParked(double[] park) {
        stopRequested = true;
        wakeBlockedCalls();
        ByteBuffer h = lockHandle();
        try {
            if (stopped && park == null) {
                return;
            }
            stopped = true;
            armed = false;
            started = false;
            waiting = false;
            nStop(h, park);
        } finally {
            unlock();
        }
    }

    /** Wakes a write that sleeps in poll; safe without the lock, concurrently, and after release. */
    @Override
    void wakeBlockedCalls() {
        ByteBuffer h = wakeHandle();
        if (h != null) {
            ComediAnalogStreamingDevice.nWake(h);
        }
    }

    @Override
    boolean isRunning() {
        return armed;
    }

    /** Lock held, by SynchronizedStart. */
    boolean isConfiguredForStart() {
        return configured;
    }

    native ByteBuffer nCreateTask(String devString, int nChannels, double freq, int bufSize);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nSetStopCount(ByteBuffer handle, long scans);

    native long nConfigTask(ByteBuffer handle);

    native int nDriverBufferSize(ByteBuffer handle, int bytes);

    native int nArm(ByteBuffer handle);

    native void nTrigger(ByteBuffer handle);

    native void nStop(ByteBuffer handle, double[] park);

    native int nGetBytesPerSample(ByteBuffer handle);

    native long nWrite(ByteBuffer handle, Object src, int kind, int firstScan, int scans, int driverBytes,
            long scanPeriodNanos, long timeoutNanos);

    native boolean nCommandRunning(ByteBuffer handle);

    native int nRegenerationBufferSize(ByteBuffer handle, int periodBytes, boolean mayResize);

    native int nRegenerationRing(ByteBuffer handle, ByteBuffer codes, int periodScans, int driverBytes, boolean check);

    native int nConvertVolts(ByteBuffer handle, double[] volts, ByteBuffer codes, int samples);

    native void nDestroy(ByteBuffer handle);
}
