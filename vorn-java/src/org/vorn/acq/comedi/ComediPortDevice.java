package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/** The port list that the two digital devices share: port numbers as 32-bit integers, one value of 64 bits per port. */
abstract class ComediPortDevice extends ComediDevice {
    /** Ports in the list: one per 4 bytes of the port buffer's capacity. */
    final int nPorts;

    ComediPortDevice(String device, ByteBuffer ports) {
        super(device);
        requireDataBuffer(ports, 0, "port");
        this.nPorts = ports.capacity() >>> 2;
    }

    /** The number of ports in the list the device was opened with. */
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
