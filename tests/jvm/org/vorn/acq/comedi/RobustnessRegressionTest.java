// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.vorn.acq.comedi.OutputTestSupport.tenVoltOutputs;
import static org.vorn.testsupport.DirectBuffers.direct;


import java.nio.ByteBuffer;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;

/** Faults the random call sequences and the leak checks turned up, each pinned down on its own. */
class RobustnessRegressionTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    /** A NaN used to reach the DAC as code 0, the negative end of the range, with no error. */
    @Test
    void aNaNVoltageIsRefusedAndNoChannelChanges() {
        try (var ao = tenVoltOutputs()) {
            ao.write(5.0, -5.0);
            long ao0 = EmulatedBoard.aoRaw(MULTI, 0);
            long ao1 = EmulatedBoard.aoRaw(MULTI, 1);
            var e = assertThrows(IllegalArgumentException.class, () -> ao.write(1.0, Double.NaN));
            assertEquals("device " + MULTI + ": value 1 is NaN; a voltage to write must be a number", e.getMessage());
            ByteBuffer buf = direct(16);
            buf.putDouble(0, Double.longBitsToDouble(0x7ff8dead00000001L)).putDouble(8, 2.0);
            e = assertThrows(IllegalArgumentException.class, () -> ao.write(buf));
            assertEquals("device " + MULTI + ": value 0 is NaN; a voltage to write must be a number", e.getMessage());
            // The native refuses it too, with its own text, for a caller that reaches it directly.
            var n = assertThrows(ComediException.class, () -> ao.nWrite(ao.handle(), buf));
            assertEquals("Error reading comedi data: value 0 is NaN", n.getMessage());
            assertEquals(ao0, EmulatedBoard.aoRaw(MULTI, 0), "channel 0 untouched");
            assertEquals(ao1, EmulatedBoard.aoRaw(MULTI, 1), "channel 1 untouched");
            // Infinities still go to the nearest end.
            ao.write(Double.POSITIVE_INFINITY, Double.NEGATIVE_INFINITY);
            assertEquals(65535, EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(0, EmulatedBoard.aoRaw(MULTI, 1));
        }
    }
}
