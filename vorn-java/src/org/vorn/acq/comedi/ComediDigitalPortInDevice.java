// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

import org.vorn.exception.ComediException;

/**
 * Digital input in ports: port p of L lines (0 to 64) reads channels p × L to p × L + L − 1 of a
 * digital input or configurable digital I/O subdevice, and bit k of a port's value is line k of the
 * port. Every line of the listed ports of a DIO subdevice is made an input when the device is
 * created, as the Comedi core does it: a line that an output device drove stops being driven, and
 * reads the level outside the board.
 *
 * <p>To read back a program's own outputs, create the input device on those lines first and the
 * {@link ComediDigitalPortOutDevice} after it: the output device makes them outputs again, and a
 * read then returns the levels they drive (the line state the driver reports), while the lines
 * left as inputs read what is outside.
 *
 * <p>Threads: like every device, one call at a time runs on it (the others wait), and
 * {@link #close()} may come from any thread; a device dropped without close() is released by the
 * library's cleaner.
 *
 * <pre>
 * try (var in = new ComediDigitalPortInDevice("/dev/comedi0", new int[] {0, 1}, 8)) {
 *     long[] ports = in.read();          // ports[0]: lines 0-7, ports[1]: lines 8-15
 *     boolean line3 = in.readLine(0, 3); // line 3 of the first port
 * }
 * </pre>
 */
public final class ComediDigitalPortInDevice extends ComediPortDevice {
    /** Reads the first digital input or digital I/O subdevice of the device. */
    public static final int FIRST_DIGITAL_INPUT = -1;

    private final int linesPerPort;

    /**
     * Opens {@code device} with the given port numbers (at most 256) of {@code linesPerPort} lines each.
     *
     * @param device       the device path
     * @param ports        the port numbers
     * @param linesPerPort lines of a port, 0 to 64
     */
    public ComediDigitalPortInDevice(String device, int[] ports, int linesPerPort) {
        this(device, FIRST_DIGITAL_INPUT, portBuffer(ports), linesPerPort);
    }

    /**
     * As above, on subdevice {@code subdevice} (a digital input or digital I/O one; see
     * {@link ComediDeviceInfo}), or the first such one with {@link #FIRST_DIGITAL_INPUT}.
     *
     * @param device       the device path
     * @param subdevice    the subdevice index, or {@link #FIRST_DIGITAL_INPUT}
     * @param ports        the port numbers
     * @param linesPerPort lines of a port, 0 to 64
     */
    public ComediDigitalPortInDevice(String device, int subdevice, int[] ports, int linesPerPort) {
        this(device, subdevice, portBuffer(ports), linesPerPort);
    }

    /**
     * As above, with the port numbers as native-order 32-bit integers in a direct buffer (one per 4 bytes of capacity).
     *
     * @param device       the device path
     * @param subdevice    the subdevice index, or {@link #FIRST_DIGITAL_INPUT}
     * @param ports        the port numbers
     * @param linesPerPort lines of a port, 0 to 64
     */
    public ComediDigitalPortInDevice(String device, int subdevice, ByteBuffer ports, int linesPerPort) {
        super(device, ports, linesPerPort);
        this.linesPerPort = linesPerPort;
        attach(created(() -> nCreateTask(device, subdevice, ports, linesPerPort)));
    }

    /**
     * The lines of each port.
     *
     * @return lines per port, 0 to 64
     */
    public int getLinesPerPort() {
        return linesPerPort;
    }

    /**
     * Reads every port into {@code values}: a direct, native-order buffer, one 64-bit value per port.
     *
     * @param values the buffer for the port values
     */
    public void read(ByteBuffer values) {
        requireDataBuffer(values, 8L * nPorts, "port value");
        requireWritable(values, "port value");
        ByteBuffer h = lockHandle();
        try {
            nRead(h, values);
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    /**
     * Reads port i of the port list into {@code values[i]}.
     *
     * @param values the array for the port values
     */
    public void read(long[] values) {
        requireLength(values.length, nPorts, "port value array");
        ByteBuffer h = lockHandle();
        try {
            ByteBuffer buf = scratch(8 * nPorts);
            nRead(h, buf);
            buf.asLongBuffer().get(values, 0, nPorts);
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    /**
     * Reads every port and returns their values as a new array, in port-list order.
     *
     * @return the port values
     */
    public long[] read() {
        long[] values = new long[nPorts];
        read(values);
        return values;
    }

    /**
     * The level of line {@code line} (0 to L − 1) of the port at position {@code position} of the port list.
     *
     * @param position the place of the port in the port list, 0 to {@code getPortCount() - 1}
     * @param line     the line of the port, 0 to {@code getLinesPerPort() - 1}
     * @return true for a high level
     */
    public boolean readLine(int position, int line) {
        if (position < 0 || position >= nPorts || line < 0 || line >= linesPerPort) {
            throw new IllegalArgumentException("device " + getDevice() + ": line " + line + " of port position "
                    + position + " is outside the " + nPorts + " ports of " + linesPerPort + " lines the device has");
        }
        ByteBuffer h = lockHandle();
        try {
            return nReadLine(h, position, line);
        } catch (ComediException e) {
            throw named(e);
        } finally {
            unlock();
        }
    }

    static native ByteBuffer nCreateTask(String devString, int subdevice, ByteBuffer portBuf, int linesPerPort);

    static native void nRead(ByteBuffer handle, ByteBuffer dataBuf);

    static native boolean nReadLine(ByteBuffer handle, int position, int line);
}
