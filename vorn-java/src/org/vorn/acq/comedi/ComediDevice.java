package org.vorn.acq.comedi;

import java.lang.ref.Cleaner;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.concurrent.locks.ReentrantLock;

import org.vorn.util.NativeLibrary;

/**
 * What every device class shares on the Java side: the handle buffer that the native library
 * created, the lock that serialises the native calls on it, the release of a device that is
 * dropped without {@link #close()}, the checks that are free in Java, and the scratch buffer of
 * the array forms.
 *
 * <p>Threads: the natives are single-threaded, so every native call on a handle, and every use of
 * the scratch buffer, runs with the device's lock held:
 * <pre>
 * ByteBuffer h = lockHandle();
 * try {
 *     ... nX(h, ...) ...
 * } finally {
 *     unlock();
 * }
 * </pre>
 * {@link #close()} may come from any thread at any time, any number of times: it first calls
 * {@link #wakeBlockedCalls()} (so that a call sleeping with the lock held returns), then waits for
 * the call in flight and releases the handle. From then on every call raises
 * IllegalStateException "device PATH is closed", and the handle is never passed to a native
 * again, so nothing reaches a freed {@code comedi_t} or a descriptor number that another file may
 * have been given since.
 *
 * <p>A device that becomes unreachable without close() is released by a {@link Cleaner} whose
 * action holds the handle buffer only: its descriptor closed (which makes the driver cancel a
 * running command), {@code comedi_t} and the raw buffer freed. close() runs the same action; it
 * runs at most once.
 */
abstract class ComediDevice implements AutoCloseable {
    static {
        NativeLibrary.loadForDevices();
    }

    /** One daemon thread for the whole library: releases are short native calls. */
    private static final Cleaner CLEANER = Cleaner.create();

    private final String device;
    private final ReentrantLock lock = new ReentrantLock();
    /** Set by close() before it wakes anything, so that a woken call sees it at once. */
    private volatile boolean closed;
    /** Guarded by the lock; null after close. */
    private ByteBuffer handle;
    /** The handle as created, kept after close: only for wakeBlockedCalls(), whose natives take a released handle. */
    private volatile ByteBuffer wakeHandle;
    private Cleaner.Cleanable release;
    /** Guarded by the lock. */
    private ByteBuffer scratch;

    ComediDevice(String device) {
        // The native side takes the path as a C string, which would end at the NUL.
        int nul = device != null ? device.indexOf('\0') : -1;
        if (nul >= 0) {
            throw new IllegalArgumentException("device path \"" + device.replace("\0", "\\0")
                    + "\" contains a NUL character at index " + nul + "; a device path is a C string without NUL");
        }
        this.device = device;
    }

    /**
     * Keeps the handle that the native creation returned (it never returns null without raising)
     * and registers its release for when the device is dropped.
     */
    final void attach(ByteBuffer created) {
        handle = created;
        wakeHandle = created;
        release = CLEANER.register(this, new Release(created));
    }

    /** The release action: holds the handle buffer, never the device. */
    private static final class Release implements Runnable {
        private final ByteBuffer handle;

        Release(ByteBuffer handle) {
            this.handle = handle;
        }

        @Override
        public void run() {
            nRelease(handle);
        }
    }

    /** The device path this object was opened on, e.g. "/dev/comedi0". */
    public final String getDevice() {
        return device;
    }

    /** True once {@link #close()} has been called (its release may still be waiting for a call in flight). */
    public final boolean isClosed() {
        return closed;
    }

    /** Takes the device's lock: one native call at a time on the handle, and the scratch buffer. */
    final void lock() {
        lock.lock();
    }

    final void unlock() {
        lock.unlock();
    }

    /**
     * The handle for the next native call, with the lock held; raises IllegalStateException
     * "device PATH is closed" once close() has begun.
     */
    final ByteBuffer handle() {
        ByteBuffer h = handle;
        if (h == null || closed) {
            throw closedException();
        }
        return h;
    }

    /**
     * Takes the lock and returns {@link #handle()}; on a closed device it gives the lock back before
     * it raises, so the caller's {@code try ... finally unlock()} begins after this call.
     */
    final ByteBuffer lockHandle() {
        lock.lock();
        try {
            return handle();
        } catch (IllegalStateException closedNow) {
            lock.unlock();
            throw closedNow;
        }
    }

    final IllegalStateException closedException() {
        return new IllegalStateException("device " + device + " is closed");
    }

    /**
     * Releases the device, from any thread, at any time; calling it again does nothing. A call in
     * flight on another thread finishes first (a sleeping one is woken).
     */
    @Override
    public final void close() {
        closed = true;
        wakeBlockedCalls();
        lock.lock();
        try {
            if (handle != null) {
                handle = null;
                scratch = null;
                release.clean();
            }
        } finally {
            lock.unlock();
        }
    }

    /**
     * Wakes a call of this device that sleeps while it holds the lock, so that close() (and the
     * streaming stop()) need not wait for it. Called without the lock, possibly from several
     * threads at once and after the device was released: an override must be safe for all of
     * that. Does nothing by default: no call of the other devices sleeps.
     */
    void wakeBlockedCalls() {
    }

    /**
     * The handle for a native that wakes a sleeping call, without the lock: null before the
     * creation returned, and still the (released) handle after close.
     */
    final ByteBuffer wakeHandle() {
        return wakeHandle;
    }

    /** The device's own data buffer for the array forms of scan, read and write, made on first use; lock held. */
    final ByteBuffer scratch(int bytes) {
        ByteBuffer s = scratch;
        if (s == null || s.capacity() < bytes) {
            s = newDataBuffer(Math.max(bytes, 8));
            scratch = s;
        }
        return s;
    }

    /** A direct buffer in native byte order, as the native side reads and writes it. */
    static ByteBuffer newDataBuffer(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }

    /** A direct buffer of at least {@code minBytes} in native byte order, as the natives read and write it. */
    final void requireDataBuffer(ByteBuffer buf, long minBytes, String what) {
        if (buf == null) {
            throw new IllegalArgumentException(what + " buffer is null");
        }
        if (!buf.isDirect()) {
            throw new IllegalArgumentException(what + " buffer must be a direct buffer");
        }
        if (buf.capacity() < minBytes) {
            throw new IllegalArgumentException(what + " buffer holds " + buf.capacity() + " bytes, needs at least "
                    + minBytes);
        }
        if (buf.order() != ByteOrder.nativeOrder()) {
            throw new IllegalArgumentException("device " + device + ": the " + what + " buffer is in " + buf.order()
                    + " byte order; the device reads and writes " + ByteOrder.nativeOrder()
                    + " (ByteBuffer.order(ByteOrder.nativeOrder()))");
        }
    }

    static void requireWritable(ByteBuffer buf, String what) {
        if (buf.isReadOnly()) {
            throw new IllegalArgumentException(what + " buffer is read-only");
        }
    }

    static void requireLength(int length, int expected, String what) {
        if (length < expected) {
            throw new IllegalArgumentException(what + " has " + length + " values, needs " + expected);
        }
    }

    /** Hardware channel numbers travel as a Java short and are packed into 16 bits. */
    static short hardwareChannel(int channel) {
        if (channel < 0 || channel > Short.MAX_VALUE) {
            throw new IllegalArgumentException("hardware channel " + channel + " is outside 0.." + Short.MAX_VALUE);
        }
        return (short) channel;
    }

    /** Closes the device and releases the handle; no receiver, so the Cleaner's action never holds a device. */
    static native void nRelease(ByteBuffer handle);
}
