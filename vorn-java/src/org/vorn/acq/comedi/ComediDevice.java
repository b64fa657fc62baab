// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Supplier;

import org.vorn.exception.ComediException;
import org.vorn.exception.DeviceClosedException;

/**
 * Any device of the library: a device file opened on one of its subdevices, released by
 * {@link #close()} (or, if a program drops it, by the library's cleaner).
 *
 * <p>Threads: every method of every device may be called from any thread. Calls on one device run
 * one at a time (the native calls on a device are single-threaded): a call waits while another
 * runs on the same device, and calls on two devices never wait for each other. {@link #close()}
 * may come from any thread at any time, any number of times: it wakes a call that sleeps (the
 * waiting reads of a stream), waits for the call in flight and releases the device; from then on
 * every call raises {@link DeviceClosedException} "device PATH is closed", and nothing reaches the
 * released device. A device that becomes unreachable without close() is released the same way.
 *
 * <p>Failures: see {@link org.vorn.exception}. A call refused for the device's state raises a
 * {@link org.vorn.exception.DeviceStateException}, a driver failure a {@link ComediException};
 * every message names the device.
 */
// Inside: the handle buffer that the native library created, the lock that serialises the native
// calls on it (every native call on a handle, and every use of the scratch buffer, runs with it
// held: h = lockHandle(); try { nX(h, ...) } finally { unlock(); }), the Cleaner whose action holds
// the handle buffer only, and the checks that are free in Java.
public abstract sealed class ComediDevice implements AutoCloseable permits ComediAnalogDevice, ComediPortDevice {
    static {
        NativeLoading.loadForDevices();
    }

    /** One daemon thread for the whole library: releases are short native calls. */
    private static final Cleaner CLEANER = Cleaner.create();

    private final String device;
    private final ReentrantLock lock = new ReentrantLock();
    /** Callers of {@link #lockHandleFromSleeper()} waiting for a sleeping call to lend them the lock. */
    private final AtomicInteger lockWanted = new AtomicInteger();
    /** Signalled, lock held, when such a caller gives the lock back. */
    private final Condition lockReturned = lock.newCondition();
    /** Set by close() before it wakes anything, so that a woken call sees it at once. */
    private volatile boolean closed;
    /** Guarded by the lock; null after close. */
    private ByteBuffer handle;
    /**
     * The record inside {@link #handle}, for the hot-path natives that take it as a number: checked
     * once at creation instead of on every call. Guarded by the lock; 0 after close, so that a
     * native never gets the address of a released record.
     */
    private long handleAddress;
    /** The handle as created, kept after close: only for wakeBlockedCalls(), whose natives take a released handle. */
    private volatile ByteBuffer wakeHandle;
    private Cleaner.Cleanable release;
    /** Guarded by the lock. */
    private ByteBuffer scratch;
    /** The memory of {@link #scratch}. Guarded by the lock. */
    private long scratchAddress;
    /**
     * The caller's data buffer of the last hot-path call and its memory: a program passes the same
     * buffer call after call, and fetching the address costs more than the call's own checks. The
     * reference also keeps that memory alive while a native writes it. Guarded by the lock.
     */
    private ByteBuffer addressed;
    private long addressedAt;

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
        handleAddress = nHandleAddress(created);
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

    /**
     * The device path this object was opened on.
     *
     * @return the path, e.g. "/dev/comedi0"
     */
    public final String getDevice() {
        return device;
    }

    /**
     * True once {@link #close()} has been called (its release may still be waiting for a call in flight).
     *
     * @return whether the device is closed
     */
    public final boolean isClosed() {
        return closed;
    }

    /** Takes the device's lock: one native call at a time on the handle, and the scratch buffer. */
    // Package-private: the lock is the library's, never a program's.
    final void lock() {
        lock.lock();
    }

    final void unlock() {
        lock.unlock();
        // The hot-path natives get the record as a number, which does not keep this device
        // reachable: without the fence the Cleaner could release the record during the call.
        Reference.reachabilityFence(this);
    }

    /**
     * The handle for the next native call, with the lock held; raises DeviceClosedException
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
        } catch (DeviceClosedException closedNow) {
            lock.unlock();
            throw closedNow;
        }
    }

    /**
     * Like {@link #lockHandle()}, for a short call that must not wait out a call sleeping with the
     * lock (a waiting read or write, up to its timeout): the sleeper is woken and lends the lock
     * ({@link #lendLockIfWanted}). Release with {@link #unlockToSleeper()}.
     */
    final ByteBuffer lockHandleFromSleeper() {
        lockWanted.incrementAndGet();
        wakeBlockedCalls();
        lock.lock();
        if (handle == null || closed) {
            unlockToSleeper();
            throw closedException();
        }
        return handle;
    }

    /** Gives back the lock taken by {@link #lockHandleFromSleeper()} and resumes a sleeper that lent it. */
    final void unlockToSleeper() {
        lockWanted.decrementAndGet();
        lockReturned.signalAll();
        unlock();
    }

    /**
     * Lock held, by a sleeping call that a wake-up ended: while a caller of
     * {@link #lockHandleFromSleeper()} waits, gives it the lock for at most {@code nanos}, and takes
     * it back before returning. The caller must then look at the device again (it may have been
     * stopped or closed meanwhile). An interrupt ends the wait and stays set.
     *
     * @return true when the lock was lent
     */
    final boolean lendLockIfWanted(long nanos) {
        boolean lent = false;
        while (lockWanted.get() > 0 && nanos > 0) {
            lent = true;
            try {
                nanos = lockReturned.awaitNanos(nanos);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                break;
            }
        }
        return lent;
    }

    /**
     * As {@link #lockHandle()}, for a native that takes the record's address: the lock is held
     * while the address is used, and close() zeroes it under the same lock.
     */
    final long lockHandleAddress() {
        lock.lock();
        long h = handleAddress;
        if (h == 0 || closed) {
            lock.unlock();
            throw closedException();
        }
        return h;
    }

    /** {@link #handleAddress} for a caller that holds the lock and found the device open. */
    final long lockedHandleAddress() {
        return handleAddress;
    }

    /**
     * The memory of {@code buf}, a direct buffer that the caller checked; lock held. The address
     * is fetched again only when the buffer differs from the last call's; the scratch buffer's is
     * known.
     */
    final long address(ByteBuffer buf) {
        if (buf == scratch) {
            return scratchAddress;
        }
        if (buf != addressed) {
            addressedAt = nBufferAddress(buf);
            addressed = buf;
        }
        return addressedAt;
    }

    final DeviceClosedException closedException() {
        return Failures.closed(device);
    }

    /** A native failure, with the device after its text. */
    final ComediException named(ComediException nativeFailure) {
        return Failures.named(device, nativeFailure);
    }

    /** The handle of a native creation, whose failure is raised with the device after its text. */
    final ByteBuffer created(Supplier<ByteBuffer> creation) {
        try {
            return creation.get();
        } catch (ComediException e) {
            throw named(e);
        }
    }

    /** A subdevice index, or -1 for the first one of the device's kind. */
    final void requireSubdeviceChoice(int subdevice) {
        if (subdevice < -1) {
            throw new IllegalArgumentException("device " + device + ": subdevice " + subdevice
                    + " does not exist; a subdevice is 0 or more, or -1 for the first of its kind");
        }
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
                handleAddress = 0;
                scratch = null;
                scratchAddress = 0;
                addressed = null;
                addressedAt = 0;
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
            scratchAddress = nBufferAddress(s);
        }
        return s;
    }

    /** The memory of {@link #scratch(int)}'s buffer (made or grown as there); lock held. */
    final long scratchAddress(int bytes) {
        scratch(bytes);
        return scratchAddress;
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

    /** The record inside a handle that a creation returned, checked as every native checks it. */
    private static native long nHandleAddress(ByteBuffer handle);

    /** The memory of a direct buffer. */
    private static native long nBufferAddress(ByteBuffer buf);
}
