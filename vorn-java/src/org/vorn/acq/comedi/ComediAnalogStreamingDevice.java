package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.time.Duration;
import java.time.Instant;

/**
 * Hardware-timed analog input. The board scans the configured channels at a fixed rate into the
 * driver's buffer; the reads drain what has arrived, converted to volts (or as raw codes). Values
 * come in arrival order, cycling through the scan positions, and every read form continues where
 * the last one ended.
 *
 * <pre>
 * try (var ai = new ComediAnalogStreamingDevice("/dev/comedi0", 2, 1000.0, 4096)) {
 *     ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ai.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
 *     ai.setScanCount(5000);       // optional: exactly 5000 scans, then the stream ends by itself
 *     ai.configure();              // the driver corrects the timing; the device is closed afterwards
 *     double hz = ai.getScanRate(); // the rate the board runs at, e.g. 1000.0
 *     ai.start();
 *     ScanBlock block = ScanBlock.interleaved(2, 100);
 *     while (ai.readScans(block, 100, Duration.ofSeconds(1)) &gt;= 0) {
 *         long first = block.firstScan(); // scan first + i began at (first + i) x getScanPeriodNanos()
 *     }
 *     ai.stop();
 * }
 * </pre>
 *
 * <p>Reads: {@link #read(double[])} and {@link #readRaw(ByteBuffer)} return at once with what has
 * arrived; {@link #read(double[], int, Duration)} and {@link #readScans} wait, asleep in the kernel
 * (poll on the Comedi file), until enough has arrived or the timeout passes, and return what came
 * (a timeout is no error). The waiting read wakes when the accepted timing says the missing values
 * are due, or earlier when the driver reports data after an empty buffer; a driver that delivers
 * in blocks later than that is looked at again at most every millisecond.
 *
 * <p>Time: scan {@code k} (counted from 0 at start, {@link ScanBlock#firstScan()}) began
 * {@code k x getScanPeriodNanos()} after the first, which began at about {@link #getStartNanoTime()}.
 *
 * <p>The driver's buffer must be drained often enough that it never fills: an overrun ends the
 * stream, and once the samples before it have been delivered, every read raises a
 * {@link org.vorn.exception.ComediOverrunException} that says how many were delivered and how large
 * the driver's buffer is ({@link #setDriverBufferSize} asks for a larger one).
 *
 * <p>Threads: every method may be called from any thread. Calls on one device run one at a time
 * (see {@link #close()}); two threads reading one stream each get contiguous runs of it, every
 * sample exactly once. A waiting read holds the device while it sleeps, so other calls wait for it
 * (at most its timeout), except {@link #stop()} and {@link #close()}: they may come from any thread
 * at any moment, any number of times, and wake a sleeping read at once, then act. A read on a
 * stream that {@link #stop()} ended, on this thread or another, raises {@link StreamStoppedException}
 * (never a ComediException, so "stopped" is told apart from a fault) until {@link #start()} runs it
 * again; after close every call raises IllegalStateException "device PATH is closed".
 */
public final class ComediAnalogStreamingDevice extends ComediAnalogDevice {
    private final int bufSize;
    // The run state, kept by StreamLifecycle.
    /** Guarded by the lock: stop() ended the stream, and no start() has run since. */
    boolean stopped;
    /**
     * Set by stop() before it wakes a waiting read and takes the lock, so that the woken read
     * already knows why; cleared by start().
     */
    volatile boolean stopRequested;
    /** Guarded by the lock: the driver has tested the command. */
    boolean configured;
    /** Guarded by the lock: start() succeeded and no stop() has run since. */
    boolean running;
    /** Guarded by the lock. */
    long scanCount;
    /** Guarded by the lock: the command as the driver's test left it. */
    StreamCommand command;
    final StreamSession session;

    /**
     * Opens the first analog input subdevice of {@code device} and builds a command that scans
     * {@code nChannels} channels {@code scanRateHz} times a second; one read returns at most
     * {@code bufSize} values.
     */
    public ComediAnalogStreamingDevice(String device, int nChannels, double scanRateHz, int bufSize) {
        super(device, nChannels);
        this.bufSize = bufSize;
        attach(nCreateTask(device, nChannels, scanRateHz, bufSize)); // refuses a count outside 1..256
        this.session = new StreamSession(nChannels);
    }

    /** The most values one read returns. */
    public int getBufferSize() {
        return bufSize;
    }

    /**
     * Makes the stream a finite one of exactly {@code scans} scans (1 to 4294967295; 0: until
     * stopped, the default). Call before {@link #configure()}: the driver tests the count with the
     * rest of the command. The stream then ends by itself; the waiting reads return -1 once the
     * last scan has been delivered.
     */
    public void setScanCount(long scans) {
        StreamLifecycle.setScanCount(this, scans);
    }

    /**
     * Has the driver test the command (correcting its timing to what the board can do), writing
     * the trace to standard output, and closes the device. Call once, after every channel is
     * configured; {@link #getCommand()} then tells what the driver accepted. A refusal says what
     * the driver answered and what it would accept. Refused while the stream runs.
     */
    public void configure() {
        StreamLifecycle.configure(this);
    }

    /** The command as the driver's test left it (as built, before {@link #configure()}). */
    public StreamCommand getCommand() {
        return StreamLifecycle.command(this);
    }

    /** Scans a second as the board runs them, after the driver's corrections (e.g. 3003.003 for 3000 Hz over 3 channels). */
    public double getScanRate() {
        return StreamLifecycle.acceptedCommand(this).scanRateHz();
    }

    /** Nanoseconds from one scan's start to the next, as accepted. */
    public long getScanPeriodNanos() {
        return StreamLifecycle.acceptedCommand(this).scanPeriodNanos();
    }

    /** Nanoseconds between two conversions of one scan, as accepted; 0 when the board converts at once. */
    public long getConvertPeriodNanos() {
        return StreamLifecycle.acceptedCommand(this).convertPeriodNanos();
    }

    /**
     * Asks the driver for a buffer of {@code bytes} for the stream (comedilib rounds it, usually to
     * whole pages) and returns the size the driver reports; call while the stream does not run.
     * The size stays with the subdevice.
     */
    public int setDriverBufferSize(int bytes) {
        return StreamLifecycle.setDriverBufferSize(this, bytes);
    }

    /** The size of the driver's buffer for the stream, in bytes. */
    public int getDriverBufferSize() {
        return StreamLifecycle.driverBufferSize(this);
    }

    /**
     * Opens the device and starts the acquisition, from scan 0. A start that fails leaves the
     * device closed, ready for another start.
     */
    public void start() {
        StreamLifecycle.start(this);
    }

    /** When the stream began, by {@link System#nanoTime()}: taken as the driver accepted the command. */
    public long getStartNanoTime() {
        lock();
        try {
            return session.startNanos;
        } finally {
            unlock();
        }
    }

    /** When the stream began, by the wall clock; null before the first start. */
    public Instant getStartTime() {
        lock();
        try {
            return session.startTime;
        } finally {
            unlock();
        }
    }

    /** Values delivered since start, by every read form. */
    public long getSamplesDelivered() {
        lock();
        try {
            return session.delivered;
        } finally {
            unlock();
        }
    }

    /** True once a counted stream has delivered its last scan, or the driver ended it. */
    public boolean hasEnded() {
        lock();
        try {
            return session.exhausted() || session.overrun();
        } finally {
            unlock();
        }
    }

    /**
     * Converts what has arrived into {@code volts} (a direct, native-order buffer with room for
     * {@link #getBufferSize()} doubles) and returns how many values it wrote, 0 when none.
     *
     * @throws StreamStoppedException when {@link #stop()} ended the stream
     */
    public int read(ByteBuffer volts) {
        return StreamReads.readNow(this, volts);
    }

    /**
     * Converts what has arrived into {@code volts} (at least {@link #getBufferSize()} long) and returns the count.
     *
     * @throws StreamStoppedException when {@link #stop()} ended the stream
     */
    public int read(double[] volts) {
        return StreamReads.readNow(this, volts);
    }

    /**
     * Waits until at least {@code minValues} values have arrived (or the timeout passes), converts
     * up to {@code min(volts.length, getBufferSize())} of what has arrived into {@code volts} and
     * returns how many; fewer than {@code minValues} (0 included) after a timeout, -1 once a counted
     * stream has delivered everything. A {@link Duration#ZERO} timeout does not wait.
     *
     * @throws StreamStoppedException when {@link #stop()} ended the stream, also while this waited
     */
    public int read(double[] volts, int minValues, Duration timeout) {
        return StreamReads.readWaiting(this, volts, minValues, timeout);
    }

    /**
     * As {@link #read(double[], int, Duration)}, into a direct, native-order buffer of at least
     * {@code 8 x getBufferSize()} bytes, from its start.
     */
    public int read(ByteBuffer volts, int minValues, Duration timeout) {
        return StreamReads.readWaiting(this, volts, minValues, timeout);
    }

    /**
     * Whole scans only: waits until at least {@code minScans} whole scans have arrived (or the
     * timeout passes) and puts up to {@code min(block.capacity(), getBufferSize() / channels)} of
     * them into {@code block}, with the index of the first. Returns the scans delivered (also in
     * {@link ScanBlock#scans()}), or -1 once a counted stream has delivered everything. A scan the
     * driver has delivered only in part stays for the next read. The stream must be at a scan
     * boundary: after a {@link #read} that ended inside a scan, read the rest of that scan first.
     *
     * @throws StreamStoppedException when {@link #stop()} ended the stream, also while this waited
     */
    public int readScans(ScanBlock block, int minScans, Duration timeout) {
        return StreamReads.readScans(this, block, minScans, timeout);
    }

    /**
     * Cancels the acquisition and closes the device; {@link #start()} may run it again. From any
     * thread, at any time: a read in flight finishes (a waiting one is woken) and the reads after it
     * raise {@link StreamStoppedException}. Stopping a stream that stop() already ended does nothing.
     */
    public void stop() {
        StreamLifecycle.stop(this);
    }

    /** Wakes a read that sleeps in poll; safe without the lock, concurrently, and after release. */
    @Override
    void wakeBlockedCalls() {
        ByteBuffer h = wakeHandle();
        if (h != null) {
            nWake(h);
        }
    }

    @Override
    boolean isRunning() {
        return running;
    }

    /** True from the moment stop() is called until the next start(). */
    final boolean isStopRequested() {
        return stopRequested;
    }

    /** Lock held. */
    void requireRunning() {
        if (stopped || stopRequested) {
            throw new StreamStoppedException(getDevice());
        }
    }

    /**
     * {@link #lockHandle()}, then {@link #requireRunning()}: the handle for a read, with the lock
     * held; a refusal gives the lock back before it raises.
     */
    ByteBuffer lockRunning() {
        ByteBuffer h = lockHandle();
        try {
            requireRunning();
        } catch (Throwable refused) {
            unlock();
            throw refused;
        }
        return h;
    }

    /** A read that a stop() or close() woke: the reason, for the reader. */
    RuntimeException wokenException() {
        return isClosed() ? closedException() : new StreamStoppedException(getDevice());
    }

    // ---- raw codes, and what converts them ------------------------------------------------------

    /** Bytes of one raw code in {@link #readRaw}: 2, or 4 on a subdevice with 32-bit samples. */
    public int getBytesPerSample() {
        ByteBuffer h = lockHandle();
        try {
            return nGetBytesPerSample(h);
        } finally {
            unlock();
        }
    }

    /**
     * Moves what has arrived into {@code raw} as the driver's codes ({@link #getBytesPerSample()}
     * bytes each, native order, unsigned), without waiting, and returns how many codes it wrote.
     * It shares the stream's position with the converting reads: the forms may be mixed, and each
     * code belongs to position (values delivered so far, all forms) mod {@link #getChannelCount()}.
     * {@code raw} is a direct buffer with room for {@link #getBufferSize()} codes.
     */
    public int readRaw(ByteBuffer raw) {
        return Math.max(0, StreamReads.readRaw(this, raw, 0, 0));
    }

    /** As {@link #readRaw(ByteBuffer)}, waiting as {@link #read(double[], int, Duration)} does; -1 at the end of a counted stream. */
    public int readRaw(ByteBuffer raw, int minValues, Duration timeout) {
        return StreamReads.readRaw(this, raw, minValues, StreamReads.timeoutNanos(timeout, minValues));
    }

    /**
     * What turns the codes of scan position {@code position} into volts, as configureChannel chose it.
     *
     * @param position a scan position
     * @return the range's ends, unit word and largest code; all 0 for a position never configured
     * @deprecated {@code getChannelRange(position)} answers for every analog device, with
     *             {@link ComediChannelRange#toVolts(long)}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    @SuppressWarnings("removal")
    public RawConversion getRawConversion(int position) {
        if (position < 0 || position >= nChannels) {
            throw new IllegalArgumentException("scan position " + position + " is outside 0.." + (nChannels - 1));
        }
        double[] range = new double[3];
        ByteBuffer h = lockHandle();
        try {
            long maxdata = nGetConversion(h, position, range);
            return new RawConversion(range[0], range[1], (int) range[2], maxdata);
        } finally {
            unlock();
        }
    }

    native ByteBuffer nCreateTask(String devString, int nChannels, double freq, int bufSize);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nConfigTask(ByteBuffer handle);

    native void nStart(ByteBuffer handle);

    native int nScan(ByteBuffer handle, ByteBuffer buf);

    native void nStop(ByteBuffer handle);

    native void nDestroy(ByteBuffer handle);

    native long nScanRaw(ByteBuffer handle, ByteBuffer buf);

    native long nGetConversion(ByteBuffer handle, int position, double[] range);

    native int nGetBytesPerSample(ByteBuffer handle);

    native long nReadWait(ByteBuffer handle, ByteBuffer buf, int offset, int maxValues, int minValues,
            long timeoutNanos, boolean raw, boolean wholeScans);

    static native void nWake(ByteBuffer handle);

    native void nGetCommand(ByteBuffer handle, int[] fields);

    native void nSetStopCount(ByteBuffer handle, long scans);

    native int nTestCommandCopy(ByteBuffer handle, int[] fields);

    native int nDriverBufferSize(ByteBuffer handle, int bytes);

    /**
     * Scans a second as the board runs them, after the driver's corrections, under the name of
     * the API conventions (a rate ends in {@code Hz}).
     *
     * @return the accepted scan rate, as {@link #getScanRate()}
     */
    public double getScanRateHz() {
        return getScanRate();
    }
}
