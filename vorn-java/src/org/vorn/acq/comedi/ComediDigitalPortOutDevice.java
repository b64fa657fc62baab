package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/**
 * Digital output in ports: port p of L lines drives channels p × L to p × L + L − 1 of the
 * device's first configurable digital I/O subdevice, and bit k of a port's value drives line k of
 * the port. Every line of the listed ports is made an output when the device is created.
 *
 * <pre>
 * try (var dio = new ComediDigitalPortOutDevice("/dev/comedi0", new int[] {0, 2}, 8)) {
 *     dio.write(0xA5, 0x0F);   // port 0 gets 0xA5, port 2 gets 0x0F
 * }
 * </pre>
 */
public final class ComediDigitalPortOutDevice extends ComediPortDevice {
    private static final int MAX_LINES_PER_PORT = 32;

    /** Opens {@code device} with the given port numbers (at most 256) of {@code linesPerPort} lines each. */
    public ComediDigitalPortOutDevice(String device, int[] ports, int linesPerPort) {
        this(device, portBuffer(ports), linesPerPort);
    }

    /** As above, with the port numbers as native-order 32-bit integers in a direct buffer (one per 4 bytes of capacity). */
    public ComediDigitalPortOutDevice(String device, ByteBuffer ports, int linesPerPort) {
        super(device, ports, linesPerPort);
        if (linesPerPort > MAX_LINES_PER_PORT) {
            throw new IllegalArgumentException("device " + device + ": " + linesPerPort + " lines per port is outside 0.."
                    + MAX_LINES_PER_PORT + " (a port is written in one 32-bit call)");
        }
        attach(nCreateTask(device, ports, linesPerPort));
    }

    /** Writes the ports from {@code values}: a direct, native-order buffer, one 64-bit value per port (low 32 bits used). */
    public void write(ByteBuffer values) {
        requireDataBuffer(values, 8L * nPorts, "port value");
        ByteBuffer h = lockHandle();
        try {
            nWrite(h, values);
        } finally {
            unlock();
        }
    }

    /** Writes value i to the port at position i of the port list. */
    public void write(long... values) {
        requireLength(values.length, nPorts, "port value array");
        ByteBuffer h = lockHandle();
        try {
            ByteBuffer buf = scratch(8 * nPorts);
            buf.asLongBuffer().put(values, 0, nPorts);
            nWrite(h, buf);
        } finally {
            unlock();
        }
    }

    native ByteBuffer nCreateTask(String devString, ByteBuffer portBuf, int linesPerPort);

    native void nWrite(ByteBuffer handle, ByteBuffer dataBuf);

    native void nDestroy(ByteBuffer handle);
}
