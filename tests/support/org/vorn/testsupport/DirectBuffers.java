// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/** Direct buffers in native byte order, as the devices and their natives take them. */
public final class DirectBuffers {
    private DirectBuffers() {
    }

    /** {@code bytes} zero bytes. */
    public static ByteBuffer direct(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }

    /** The values as doubles, value i at byte 8 × i. */
    public static ByteBuffer ofDoubles(double... values) {
        ByteBuffer buf = direct(8 * values.length);
        buf.asDoubleBuffer().put(values);
        return buf;
    }

    /** The values as 64-bit integers, value i at byte 8 × i. */
    public static ByteBuffer ofLongs(long... values) {
        ByteBuffer buf = direct(8 * values.length);
        buf.asLongBuffer().put(values);
        return buf;
    }

    /** {@code bytes} bytes that start with the values as 32-bit integers (a port list, say). */
    public static ByteBuffer ofInts(int bytes, int... values) {
        ByteBuffer buf = direct(bytes);
        buf.asIntBuffer().put(values);
        return buf;
    }
}
