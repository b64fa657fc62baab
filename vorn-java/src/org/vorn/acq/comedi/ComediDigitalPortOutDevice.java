// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

import org.vorn.exception.ComediException;

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

    /**
     * Opens {@code device} with the given port numbers (at most 256) of {@code linesPerPort} lines each.
     *
     * @param device       the device path
     * @param ports        the port numbers
     * @param linesPerPort lines of a port, 0 to 32
     */
    public ComediDigitalPortOutDevice(String device, int[] ports, int linesPerPort) {
        this(device, FIRST_DIGITAL_IO, portBuffer(ports), linesPerPort);
    }

    /**
     * As above, with the port numbers as native-order 32-bit integers in a direct buffer (one per 4 bytes of capacity).
     *
     * @param device       the device path
     * @param ports        the port numbers
     * @param linesPerPort lines of a port, 0 to 32
     */
    public ComediDigitalPortOutDevice(String device, ByteBuffer ports, int linesPerPort) {
        this(device, FIRST_DIGITAL_IO, ports, linesPerPort);
    }

    /**
     * As above, on digital I/O subdevice {@code subdevice} (see {@link ComediDeviceInfo}), or the
     * first one with {@link #FIRST_DIGITAL_IO}.
     *
     * @param device       the device path
     * @param subdevice    the subdevice index, or {@link #FIRST_DIGITAL_IO}
     * @param ports        the port numbers
     * @param linesPerPort lines of a port, 0 to 32
     */
    public ComediDigitalPortOutDevice(String device, int subdevice, int[] ports, int linesPerPort) {
        this(device, subdevice, portBuffer(ports), linesPerPort);
    }

    /**
     * As above, with the port numbers in a direct, native-order buffer.
     *
     * @param device       the device path
     * @param subdevice    the subdevice index, or {@link #FIRST_DIGITAL_IO}
     * @param ports        the port numbers
     * @param linesPerPort lines of a port, 0 to 32
     */
    public ComediDigitalPortOutDevice(String device, int subdevice, ByteBuffer ports, int linesPerPort) {
        super(device, ports, linesPerPort);
        requireSubdeviceChoice(subdevice);
        if (linesPerPort > MAX_LINES_PER_PORT) {
            throw new IllegalArgumentException("device " + device + ": " + linesPerPort + " lines per port is outside 0.."
                    + MAX_LINES_PER_PORT + " (a port is written in one 32-bit call)");
        }
        attach(created(() -> subdevice == FIRST_DIGITAL_IO ? nCreateTask(device, ports, linesPerPort)
                : nCreateTaskOn(device, subdevice, ports, linesPerPort)));
    }

    /** The first digital I/O subdevice of the device: the subdevice choice of the shorter constructors. */
    public static final int FIRST_DIGITAL_IO = -1;

    /**
     * Writes the ports from {@code values}: a direct, native-order buffer, one 64-bit value per port (low 32 bits used).
     *
     * @param values the port values
     */
    public void write(ByteBuffer values) {
        requireDataBuffer(values, 8L * nPorts, "port value");
        long h = lockHandleAddress();
        try {
            nWriteAt(h, address(values));
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    /**
     * Writes value i to the port at position i of the port list.
     *
     * @param values the port values
     */
    public void write(long... values) {
        requireLength(values.length, nPorts, "port value array");
        long h = lockHandleAddress();
        try {
            scratch(8 * nPorts).asLongBuffer().put(values, 0, nPorts);
            nWriteAt(h, scratchAddress(8 * nPorts));
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    native ByteBuffer nCreateTask(String devString, ByteBuffer portBuf, int linesPerPort);

    native ByteBuffer nCreateTaskOn(String devString, int subdevice, ByteBuffer portBuf, int linesPerPort);

    native void nWrite(ByteBuffer handle, ByteBuffer dataBuf);

    /** nWrite on the record at {@code handle} from the memory at {@code data}, both checked by the caller. */
    static native void nWriteAt(long handle, long data);

    native void nDestroy(ByteBuffer handle);
}
