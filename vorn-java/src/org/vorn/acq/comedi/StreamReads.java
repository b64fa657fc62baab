package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.time.Duration;

import org.vorn.exception.ComediException;

/**
 * The read forms of {@link ComediAnalogStreamingDevice} over its natives, with the device's lock
 * held: the stream's accounting (values delivered, a held partial scan, the end of a counted
 * stream, an overrun reported to every later read) and the waiting loop around a wake-up.
 */
final class StreamReads {
    private StreamReads() {
    }

    /** The two texts of the non-waiting read that mean the driver's buffer overran. */
    private static final String OVERRUN_BUFFER_TEXT = "Error getting buffer size: Buffer overflow";
    private static final String OVERRUN_READ_TEXT = "Error reading comedi data: Broken pipe";

    static long timeoutNanos(Duration timeout, int minimum) {
        if (timeout == null) {
            throw new IllegalArgumentException("timeout is null");
        }
        if (timeout.isNegative()) {
            throw new IllegalArgumentException("timeout " + timeout + " is negative");
        }
        if (minimum < 0) {
            throw new IllegalArgumentException("a read cannot wait for " + minimum + " values");
        }
        try {
            return timeout.toNanos();
        } catch (ArithmeticException e) {
            return Long.MAX_VALUE;
        }
    }

    private static int driverBufferBytes(ComediAnalogStreamingDevice dev, ByteBuffer h) {
        try {
            return dev.nDriverBufferSize(h, 0);
        } catch (ComediException e) {
            return -1;
        }
    }

    private static ComediException overrun(ComediAnalogStreamingDevice dev, ByteBuffer h, String driverMessage) {
        return dev.session.overrunReport(dev.getDevice(), driverBufferBytes(dev, h), driverMessage);
    }

    /**
     * Moves up to {@code max} held values of a partial scan to the start of {@code volts}; returns
     * how many. The rest stay held, in order, for the next read.
     */
    private static int takeHeld(StreamSession s, ByteBuffer volts, int max) {
        int n = Math.min(s.heldCount, max);
        for (int k = 0; k < n; k++) {
            volts.putDouble(8 * k, s.held[k]);
        }
        System.arraycopy(s.held, n, s.held, 0, s.heldCount - n);
        s.heldCount -= n;
        return n;
    }

    /** The non-waiting read over nScan, as before, with the stream's accounting. */
    static int readNow(ComediAnalogStreamingDevice dev, ByteBuffer h, ByteBuffer volts) {
        StreamSession s = dev.session;
        if (s.overrun()) {
            throw overrun(dev, h, null);
        }
        if (s.heldCount > 0) {
            int n = takeHeld(s, volts, dev.getBufferSize());
            s.delivered += n;
            return n;
        }
        if (s.ended) {
            return 0;
        }
        int n;
        try {
            n = dev.nScan(h, volts);
        } catch (ComediException e) {
            String m = e.getMessage();
            if (m != null && (m.startsWith(OVERRUN_BUFFER_TEXT) || m.startsWith(OVERRUN_READ_TEXT))) {
                throw overrun(dev, h, m);
            }
            throw e;
        }
        s.delivered += n;
        s.noteCondition(StreamSession.RUNNING);
        return n;
    }

    /**
     * One native read that may wait, repeated after a wake-up that was not for this reader; returns
     * its packed result. Raises the reason when stop() or close() woke it.
     */
    private static long waitForValues(ComediAnalogStreamingDevice dev, ByteBuffer h, ByteBuffer buf, int offset,
            int max, int min, long nanos, boolean raw, boolean wholeScans) {
        long deadline = System.nanoTime() + Math.min(nanos, Long.MAX_VALUE / 4);
        long remaining = nanos;
        for (;;) {
            long result = dev.nReadWait(h, buf, offset, max, min, remaining, raw, wholeScans);
            if ((int) (result >>> 32) != StreamSession.WOKEN) {
                return result;
            }
            if (dev.isStopRequested() || dev.isClosed()) {
                throw dev.wokenException();
            }
            // A wake-up left over from an earlier stop: the time that is left still counts.
            remaining = Math.max(0, deadline - System.nanoTime());
        }
    }

    /** The waiting read of values (volts, or raw codes when {@code raw}) into {@code buf} from its start. */
    static int readWaiting(ComediAnalogStreamingDevice dev, ByteBuffer h, ByteBuffer buf, int max, int minValues,
            long nanos, boolean raw) {
        StreamSession s = dev.session;
        if (s.overrun()) {
            throw overrun(dev, h, null);
        }
        if (raw && s.heldCount > 0) {
            throw new IllegalStateException(s.heldCount + " values of a partial scan of " + dev.getDevice()
                    + " are held as volts for readScans: read them with read() or readScans() first");
        }
        int offset = raw ? 0 : takeHeld(s, buf, max);
        if (s.ended || offset >= max) {
            s.delivered += offset;
            return offset > 0 ? offset : (s.ended && s.heldCount == 0 ? -1 : 0);
        }
        int fromDriver = s.remainingFromDriver(max - offset);
        int min = Math.max(0, Math.min(minValues - offset, fromDriver));
        long result = waitForValues(dev, h, buf, offset, fromDriver, min, nanos, raw, false);
        int total = offset + (int) result;
        s.delivered += total;
        s.noteCondition((int) (result >>> 32));
        if (total == 0 && s.overrun()) {
            throw overrun(dev, h, null);
        }
        return total == 0 && s.ended ? -1 : total;
    }

    /** The whole-scan read into {@code block}; {@code scratch} holds getBufferSize() doubles. */
    static int readScans(ComediAnalogStreamingDevice dev, ByteBuffer h, ByteBuffer scratch, ScanBlock block,
            int minScans, long nanos) {
        StreamSession s = dev.session;
        int channels = block.getPositionCount();
        if (s.overrun()) {
            throw overrun(dev, h, null);
        }
        if (s.delivered % channels != 0) { // held values, if any, continue from here
            throw new IllegalStateException("a read of " + dev.getDevice() + " ended inside scan "
                    + s.delivered / channels + ": read its other " + (channels - s.delivered % channels)
                    + " values with read() before reading whole scans");
        }
        block.firstScan = s.delivered / channels;
        int maxValues = Math.min(block.getCapacity(), dev.getBufferSize() / channels) * channels;
        int held = takeHeld(s, scratch, maxValues);
        int total = held;
        int condition = StreamSession.RUNNING;
        if (!s.ended) {
            int fromDriver = s.remainingFromDriver(maxValues - held);
            int min = (int) Math.max(0, Math.min((long) minScans * channels - held, fromDriver));
            long result = waitForValues(dev, h, scratch, held, fromDriver, min, nanos, false, true);
            total = held + (int) result;
            condition = (int) (result >>> 32);
        }
        int scans = total / channels;
        int whole = scans * channels;
        for (int k = 0; k < whole; k++) {
            block.put(k, scratch.getDouble(8 * k));
        }
        s.heldCount = total - whole;
        for (int k = 0; k < s.heldCount; k++) {
            s.held[k] = scratch.getDouble(8 * (whole + k));
        }
        s.delivered += whole;
        s.noteCondition(condition);
        block.scans = scans;
        block.endOfStream = s.ended;
        if (scans == 0 && s.overrun()) {
            throw overrun(dev, h, null);
        }
        return scans == 0 && s.ended ? -1 : scans;
    }

    // ---- the public read forms: checks, the lock, then the loops above --------------------------

    /** The largest bufSize whose doubles fit one direct buffer (an int capacity): 2^28 - 1. */
    private static final int MAX_ARRAY_READ = Integer.MAX_VALUE / 8;

    /** The array forms convert into the device's scratch buffer: 8 bytes a value must fit one direct buffer. */
    private static void requireArrayReadable(ComediAnalogStreamingDevice dev) {
        int bufSize = dev.getBufferSize();
        if (bufSize > MAX_ARRAY_READ) {
            throw new IllegalArgumentException("device " + dev.getDevice() + ": read(double[]) takes a bufSize of at most "
                    + MAX_ARRAY_READ + " values (its buffer of 8 bytes a value must fit a direct buffer), this"
                    + " stream has " + bufSize + "; read fewer values at a time");
        }
    }

    static int readNow(ComediAnalogStreamingDevice dev, ByteBuffer volts) {
        dev.requireDataBuffer(volts, 8L * dev.getBufferSize(), "sample");
        ComediDevice.requireWritable(volts, "sample");
        ByteBuffer h = dev.lockRunning();
        try {
            return readNow(dev, h, volts);
        } finally {
            dev.unlock();
        }
    }

    static int readNow(ComediAnalogStreamingDevice dev, double[] volts) {
        requireArrayReadable(dev); // first: no array of 2^28 values is needed to learn it
        int bufSize = dev.getBufferSize();
        ComediDevice.requireLength(volts.length, bufSize, "sample array");
        ByteBuffer h = dev.lockRunning();
        try {
            ByteBuffer buf = dev.scratch(8 * bufSize);
            int n = readNow(dev, h, buf);
            buf.asDoubleBuffer().get(volts, 0, n);
            return n;
        } finally {
            dev.unlock();
        }
    }

    static int readWaiting(ComediAnalogStreamingDevice dev, double[] volts, int minValues, Duration timeout) {
        requireArrayReadable(dev);
        int bufSize = dev.getBufferSize();
        int max = Math.min(volts.length, bufSize);
        long nanos = timeoutNanos(timeout, minValues);
        ByteBuffer h = dev.lockRunning();
        try {
            ByteBuffer buf = dev.scratch(8 * bufSize);
            int n = readWaiting(dev, h, buf, max, minValues, nanos, false);
            if (n > 0) {
                buf.asDoubleBuffer().get(volts, 0, n);
            }
            return n;
        } finally {
            dev.unlock();
        }
    }

    static int readWaiting(ComediAnalogStreamingDevice dev, ByteBuffer volts, int minValues, Duration timeout) {
        int bufSize = dev.getBufferSize();
        dev.requireDataBuffer(volts, 8L * bufSize, "sample");
        ComediDevice.requireWritable(volts, "sample");
        long nanos = timeoutNanos(timeout, minValues);
        ByteBuffer h = dev.lockRunning();
        try {
            return readWaiting(dev, h, volts, bufSize, minValues, nanos, false);
        } finally {
            dev.unlock();
        }
    }

    static int readScans(ComediAnalogStreamingDevice dev, ScanBlock block, int minScans, Duration timeout) {
        int nChannels = dev.getChannelCount();
        int bufSize = dev.getBufferSize();
        if (block.getPositionCount() != nChannels) {
            throw new IllegalArgumentException("the block holds scans of " + block.getPositionCount()
                    + " channels, the stream has " + nChannels);
        }
        if (bufSize < nChannels) {
            throw new IllegalArgumentException("a read of at most " + bufSize + " values holds no whole scan of "
                    + nChannels + " channels");
        }
        requireArrayReadable(dev);
        long nanos = timeoutNanos(timeout, minScans);
        ByteBuffer h = dev.lockRunning();
        try {
            return readScans(dev, h, dev.scratch(8 * bufSize), block, minScans, nanos);
        } finally {
            dev.unlock();
        }
    }

    static int readRaw(ComediAnalogStreamingDevice dev, ByteBuffer raw, int minValues, long nanos) {
        ByteBuffer h = dev.lockHandle();
        try {
            dev.requireDataBuffer(raw, (long) dev.nGetBytesPerSample(h) * dev.getBufferSize(), "raw sample");
            ComediDevice.requireWritable(raw, "raw sample");
            dev.requireRunning();
            return readWaiting(dev, h, raw, dev.getBufferSize(), minValues, nanos, true);
        } finally {
            dev.unlock();
        }
    }
}
