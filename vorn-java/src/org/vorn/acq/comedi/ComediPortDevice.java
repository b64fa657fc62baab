// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/**
 * Any digital port device: a list of ports of L lines each, port p being lines p × L to
 * p × L + L − 1 of a digital subdevice, read or written as one 64-bit value per port.
 *
 * <p>Threads: as every {@link ComediDevice}, any thread may call any method; calls on one device
 * run one at a time, and {@link #close()} may come from any thread at any time.
 */
public abstract sealed class ComediPortDevice extends ComediDevice
        permits ComediDigitalPortOutDevice, ComediDigitalPortInDevice {
    /** Ports in the list: one per 4 bytes of the port buffer's capacity. */
    final int nPorts;

    /** The most ports a device takes; a longer list is the native creation's to refuse. */
    private static final int MAX_PORTS = 256;

    ComediPortDevice(String device, ByteBuffer ports, int linesPerPort) {
        super(device);
        requireDataBuffer(ports, 0, "port");
        this.nPorts = ports.capacity() >>> 2;
        if (nPorts <= MAX_PORTS) {
            for (int i = 0; i < nPorts; i++) {
                requireNameableLines(device, ports.getInt(4 * i), linesPerPort);
            }
        }
    }

    /**
     * Channel numbers are 32 bits wide: a port whose first line lies beyond them would wrap round
     * onto lines of another port, and drive or read those. Other ports past the subdevice are left to
     * the native creation, which names the line it cannot find.
     */
    private static void requireNameableLines(String device, int port, int linesPerPort) {
        long firstLine = (long) port * linesPerPort;
        if (linesPerPort > 0 && (firstLine >= 1L << 32 || firstLine < Integer.MIN_VALUE)) {
            throw new IllegalArgumentException("device " + device + ": port " + port + " of " + linesPerPort
                    + " lines would begin at line " + firstLine + ", which no channel number reaches (it would wrap"
                    + " round to line " + Integer.toUnsignedLong((int) firstLine) + ")");
        }
    }

    /**
     * The number of ports in the list the device was opened with.
     *
     * @return the port count
     */
    public final int getPortCount() {
        return nPorts;
    }

    /** The port numbers as the natives take them: native-order 32-bit integers in a direct buffer. */
    static ByteBuffer portBuffer(int[] ports) {
        ByteBuffer buf = newDataBuffer(4 * ports.length);
        buf.asIntBuffer().put(ports);
        return buf;
    }
}
