package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;

import org.vorn.util.NativeLibrary;

/**
 * What every device class shares on the Java side: the handle buffer that the native library
 * created, the checks that are free in Java (a buffer is direct and large enough), and an
 * idempotent close. The handle never leaves this class hierarchy and is never used after close.
 */
abstract class ComediDevice implements AutoCloseable {
    static {
        NativeLibrary.loadForDevices();
    }

    private final String device;
    private ByteBuffer handle;
    private ByteBuffer scratch;

    ComediDevice(String device) {
        this.device = device;
    }

    /** Keeps the handle that the native creation returned (it never returns null without raising). */
    final void attach(ByteBuffer created) {
        handle = created;
    }

    /** The device path this object was opened on, e.g. "/dev/comedi0". */
    public final String getDevice() {
        return device;
    }

    public final boolean isClosed() {
        return handle == null;
    }

    /** The handle for the next native call; fails once the device is closed. */
    final ByteBuffer handle() {
        ByteBuffer h = handle;
        if (h == null) {
            throw new IllegalStateException("device " + device + " is closed");
        }
        return h;
    }

    /** Releases the device. Calling it again does nothing. */
    @Override
    public final void close() {
        ByteBuffer h = handle;
        if (h != null) {
            handle = null;
            destroy(h);
        }
    }

    abstract void destroy(ByteBuffer handle);

    /** The device's own data buffer for the array forms of scan, read and write, made on first use. */
    final ByteBuffer scratch(int bytes) {
        if (scratch == null) {
            scratch = newDataBuffer(Math.max(bytes, 8));
        }
        return scratch;
    }

    /** A direct buffer in native byte order, as the native side reads and writes it. */
    static ByteBuffer newDataBuffer(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }

    static void requireDataBuffer(ByteBuffer buf, long minBytes, String what) {
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
}
