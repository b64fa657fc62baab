package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

import org.vorn.exception.ComediException;
import org.vorn.exception.ComediOverrunException;

/**
 * Hardware-timed continuous analog input. The board scans the configured channels at a fixed rate
 * into the driver's buffer; {@link #read} drains what has arrived, converted to volts, without
 * waiting. Values come in arrival order, cycling through the channel positions, and a read that
 * ends in the middle of a scan is continued at the right position by the next.
 *
 * <pre>
 * try (var ai = new ComediAnalogStreamingDevice("/dev/comedi0", 2, 1000.0, 4096)) {
 *     ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ai.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
 *     ai.configure();              // tests the command; the device is closed afterwards
 *     ai.start();
 *     double[] volts = new double[ai.getBufferSize()];
 *     int n = ai.read(volts);      // 0 when nothing has arrived yet
 *     ai.stop();
 * }
 * </pre>
 * The driver's buffer must be drained often enough that it never fills: an overrun is reported as
 * a {@link org.vorn.exception.ComediException} once the samples before it have been read.
 *
 * <p>Threads: every method may be called from any thread. Calls on one device run one at a time;
 * two threads reading one stream each get contiguous runs of it, every sample exactly once.
 * {@link #stop()} and {@link #close()} may come from any thread at any moment, any number of
 * times, also while another thread reads: they wake a read that waits, wait for the call in
 * flight, then act. A read of a stream that {@link #stop()} ended, on this thread or another,
 * raises {@link StreamStoppedException} (never a ComediException, so "stopped" is told apart from
 * a fault) until {@link #start()} runs it again; after close every call raises
 * IllegalStateException "device PATH is closed".
 */
public final class ComediAnalogStreamingDevice extends ComediAnalogDevice {
    private final int nChannels;
    private final int bufSize;
    /** The largest bufSize whose doubles fit one direct buffer (an int capacity): 2^28 - 1. */
    private static final int MAX_ARRAY_READ = Integer.MAX_VALUE / 8;
    /** Guarded by the lock: start() succeeded and no stop() has run since. */
    private boolean running;
    /** Guarded by the lock: stop() ended the stream, and no start() has run since. */
    private boolean stopped;
    /**
     * Set by stop() before it wakes a waiting read and takes the lock, so that the woken read
     * already knows why; cleared by start().
     */
    private volatile boolean stopRequested;

    /**
     * Opens the first analog input subdevice of {@code device} and builds a command that scans
     * {@code nChannels} channels {@code scanRateHz} times a second; one {@link #read} returns at
     * most {@code bufSize} values.
     */
    public ComediAnalogStreamingDevice(String device, int nChannels, double scanRateHz, int bufSize) {
        super(device);
        this.nChannels = nChannels;
        this.bufSize = bufSize;
        attach(nCreateTask(device, nChannels, scanRateHz, bufSize));
    }

    @Override
    public int getChannelCount() {
        return nChannels;
    }

    /** The most values one {@link #read} returns. */
    public int getBufferSize() {
        return bufSize;
    }

    /**
     * Has the driver test the command (correcting its timing to what the board can do), writing
     * the trace to standard output, and closes the device. Call once, after every channel is
     * configured.
     */
    public void configure() {
        lock();
        try {
            ByteBuffer h = handle();
            requireConfigured("configure()");
            nConfigTask(h);
        } finally {
            unlock();
        }
    }

    /** Opens the device and starts the acquisition, from scan position 0. */
    public void start() {
        lock();
        try {
            ByteBuffer h = handle();
            requireConfigured("start()");
            stopped = false;
            stopRequested = false;
            delivered = 0;
            nStart(h);
            running = true;
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
        requireDataBuffer(volts, 8L * bufSize, "sample");
        requireWritable(volts, "sample");
        lock();
        try {
            ByteBuffer h = handle();
            requireRunning();
            int n = nScan(h, volts);
            delivered += n;
            return n;
        } finally {
            unlock();
        }
    }

    /**
     * Converts what has arrived into {@code volts} (at least {@link #getBufferSize()} long) and returns the count.
     *
     * @throws StreamStoppedException when {@link #stop()} ended the stream
     */
    public int read(double[] volts) {
        if (bufSize > MAX_ARRAY_READ) {
            throw new IllegalArgumentException("device " + getDevice() + ": read(double[]) takes a bufSize of at most "
                    + MAX_ARRAY_READ + " values (its buffer of 8 bytes a value must fit a direct buffer), this"
                    + " stream has " + bufSize + "; read fewer values at a time");
        }
        requireLength(volts.length, bufSize, "sample array");
        lock();
        try {
            ByteBuffer h = handle();
            requireRunning();
            ByteBuffer buf = scratch(8 * bufSize);
            int n = nScan(h, buf);
            delivered += n;
            buf.asDoubleBuffer().get(volts, 0, n);
            return n;
        } finally {
            unlock();
        }
    }

    /**
     * Cancels the acquisition and closes the device; {@link #start()} may run it again. From any
     * thread, at any time: a read in flight finishes (a waiting one is woken) and the reads after it
     * raise {@link StreamStoppedException}. Stopping a stream that stop() already ended does nothing.
     */
    public void stop() {
        stopRequested = true;
        wakeBlockedCalls();
        lock();
        try {
            ByteBuffer h = handle();
            if (stopped) {
                return;
            }
            stopped = true;
            running = false;
            nStop(h);
        } finally {
            unlock();
        }
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
    private void requireRunning() {
        if (stopped || stopRequested) {
            throw new StreamStoppedException(getDevice());
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

    // ---- raw codes, and what converts them ------------------------------------------------------

    /** Bytes of one raw code in {@link #readRaw}: 2, or 4 on a subdevice with 32-bit samples. */
    public int getBytesPerSample() {
        lock();
        try {
            return nGetBytesPerSample(handle());
        } finally {
            unlock();
        }
    }

    /**
     * Moves what has arrived into {@code raw} as the driver's codes ({@link #getBytesPerSample()}
     * bytes each, native order, unsigned), without waiting, and returns how many codes it wrote.
     * It shares the stream's position with {@link #read}: the two forms may be mixed, and each code
     * belongs to position (codes delivered so far, all forms) mod {@link #getChannelCount()}.
     * {@code raw} is a direct buffer with room for {@link #getBufferSize()} codes.
     */
    public int readRaw(ByteBuffer raw) {
        requireDataBuffer(raw, (long) getBytesPerSample() * bufSize, "raw sample");
        requireWritable(raw, "raw sample");
        lock();
        try {
            ByteBuffer h = handle();
            requireRunning();
            long result = nScanRaw(h, raw);
            int n = (int) result;
            delivered += n;
            if ((result >>> 32) == CONDITION_OVERRUN) {
                throw overrun(h, null);
            }
            return n;
        } finally {
            unlock();
        }
    }

    /** Samples delivered since start, by every read form; guarded by the lock. */
    private long delivered;

    /** The high word of a native read's result (stream_read.h). */
    static final int CONDITION_RUNNING = 0;
    static final int CONDITION_OVERRUN = 1;
    static final int CONDITION_ENDED = 2;
    static final int CONDITION_WOKEN = 3;

    /** Lock held. */
    private ComediOverrunException overrun(ByteBuffer h, String driverMessage) {
        int bufferBytes;
        try {
            bufferBytes = nDriverBufferSize(h, 0);
        } catch (ComediException e) {
            bufferBytes = -1;
        }
        return new ComediOverrunException(getDevice(), delivered, nChannels, bufferBytes, driverMessage);
    }

    /** What turns the codes of scan position {@code position} into volts, as configureChannel chose it. */
    public RawConversion getRawConversion(int position) {
        if (position < 0 || position >= nChannels) {
            throw new IllegalArgumentException("scan position " + position + " is outside 0.." + (nChannels - 1));
        }
        double[] range = new double[3];
        long maxdata;
        lock();
        try {
            maxdata = nGetConversion(handle(), position, range);
        } finally {
            unlock();
        }
        return new RawConversion(range[0], range[1], (int) range[2], maxdata);
    }

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
}
