// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.ByteBuffer;
import java.util.function.Consumer;

import org.junit.jupiter.api.function.Executable;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;

/** What the tests of the two output devices share: a configured analog output, and what a released handle must do. */
final class OutputTestSupport {
    private static final String MULTI = EmulatedBoard.MULTI;

    private OutputTestSupport() {
    }

    /** Positions 0 and 1 on channels 0 and 1 of MULTI, both in -10..10 V against ground. */
    static ComediAnalogSWOutDevice tenVoltOutputs() {
        var ao = new ComediAnalogSWOutDevice(MULTI, 2);
        ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
        ao.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
        return ao;
    }

    /**
     * Closes {@code device} (on MULTI), then writes through its old handle: the write native
     * refuses with {@code message} and issues no instruction, and the public {@code write} raises
     * IllegalStateException.
     */
    static void assertWriteAfterCloseNeverReachesTheDevice(ComediDevice device, Consumer<ByteBuffer> nativeWrite,
            String message, Executable write) {
        ByteBuffer handle = device.handle();
        device.close();
        long before = EmulatedBoard.insnCount(MULTI);
        ComediException e = assertThrows(ComediException.class, () -> nativeWrite.accept(handle));
        assertEquals(message, e.getMessage());
        assertEquals(before, EmulatedBoard.insnCount(MULTI));
        assertThrows(IllegalStateException.class, write);
    }

    /**
     * {@code device} holds one device file beyond {@code openBefore}; destroying its handle twice
     * closes that file once, and close() afterwards closes nothing more.
     */
    static void assertDestroyTwiceClosesOnce(ComediDevice device, Consumer<ByteBuffer> destroy, int openBefore) {
        assertEquals(openBefore + 1, EmulatedBoard.openCount());
        ByteBuffer handle = device.handle();
        destroy.accept(handle);
        assertEquals(openBefore, EmulatedBoard.openCount());
        destroy.accept(handle);
        assertEquals(openBefore, EmulatedBoard.openCount());
        device.close();
        assertEquals(openBefore, EmulatedBoard.openCount());
    }
}
