// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.vorn.testsupport.DirectBuffers.direct;
import static org.vorn.testsupport.Errno.EIO;

import java.nio.ByteBuffer;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;

/**
 * Digital port input on the emulated boards: what the lines read is what the board's control API
 * puts on its inputs, and, on lines that an output device drives, what that device wrote.
 */
class ComediDigitalPortInDeviceTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final String DIO64 = EmulatedBoard.DIO64;

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    /** Puts the low {@code count} bits of {@code value} on input lines first..first+count-1. */
    private static void setInputs(String board, int first, int count, long value) {
        for (int k = 0; k < count; k++) {
            assertEquals(0, EmulatedBoard.dioSetInput(board, first + k, (int) ((value >>> k) & 1)));
        }
    }

    @Test
    void portsOfEightLinesReadTheInputLevelsAndBecomeInputs() {
        // The lines start as outputs driving the opposite pattern, so a port that is not made an input shows it.
        try (var out = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 1, 2}, 8)) {
            out.write(0x5A, 0xC3, 0x0F);
        }
        setInputs(MULTI, 0, 24, 0xF0_3C_A5L);
        try (var in = new ComediDigitalPortInDevice(MULTI, new int[] {2, 0, 1}, 8)) {
            for (int c = 0; c < 24; c++) {
                assertEquals(0, EmulatedBoard.dioDirection(MULTI, c), "direction of line " + c);
            }
            assertArrayEquals(new long[] {0xF0, 0xA5, 0x3C}, in.read());
            for (int k = 0; k < 8; k++) {
                assertEquals(((0xA5 >> k) & 1) == 1, in.readLine(1, k), "line " + k + " of port 0");
                assertEquals(((0xF0 >> k) & 1) == 1, in.readLine(0, k), "line " + k + " of port 2");
            }
            setInputs(MULTI, 8, 8, 0x81);
            long[] values = new long[4];
            in.read(values);
            assertArrayEquals(new long[] {0xF0, 0xA5, 0x81, 0}, values);
            ByteBuffer buf = direct(24);
            in.read(buf);
            assertEquals(0x81, buf.getLong(16));
        }
    }

    @Test
    void allSixtyFourLinesOfDio64AsTwoPortsOrOne() {
        long pattern = 0x8000_0001_F0E1_D2C3L;
        setInputs(DIO64, 0, 64, pattern);
        try (var in = new ComediDigitalPortInDevice(DIO64, new int[] {0, 1}, 32)) {
            assertArrayEquals(new long[] {pattern & 0xFFFF_FFFFL, pattern >>> 32}, in.read());
        }
        try (var in = new ComediDigitalPortInDevice(DIO64, new int[] {0}, 64)) {
            assertArrayEquals(new long[] {pattern}, in.read());
            for (int k = 0; k < 64; k++) {
                assertEquals(((pattern >>> k) & 1) == 1, in.readLine(0, k), "line " + k);
            }
        }
        // A port of 40 lines: the upper eight come from the second word, nothing beyond them.
        try (var in = new ComediDigitalPortInDevice(DIO64, new int[] {0}, 40)) {
            assertArrayEquals(new long[] {pattern & 0xFF_FFFF_FFFFL}, in.read());
        }
    }

    @Test
    void aDigitalInputSubdeviceIsReadWithoutConfiguring() {
        setInputs(EmulatedBoard.DI16, 0, 16, 0xC0DE);
        long before = EmulatedBoard.insnCount(EmulatedBoard.DI16);
        try (var in = new ComediDigitalPortInDevice(EmulatedBoard.DI16, new int[] {1, 0}, 8)) {
            assertEquals(before, EmulatedBoard.insnCount(EmulatedBoard.DI16), "instructions sent to fixed inputs");
            assertArrayEquals(new long[] {0xC0, 0xDE}, in.read());
            assertEquals(true, in.readLine(0, 7));
            assertEquals(false, in.readLine(1, 0));
        }
    }

    /**
     * The direction belongs to the line, and the last device to set it wins, as in the kernel: an input
     * device made after the output device takes the lines away from it, one made before leaves them to
     * it and then reads back what it drives.
     */
    @Test
    void aProgramReadsBackItsOwnOutputsWhenTheOutputDeviceComesLast() {
        setInputs(MULTI, 0, 16, 0x3C_3C);
        try (var out = new ComediDigitalPortOutDevice(MULTI, new int[] {0}, 8)) {
            out.write(0xA5);
            try (var in = new ComediDigitalPortInDevice(MULTI, new int[] {0, 1}, 8)) {
                assertArrayEquals(new long[] {0x3C, 0x3C}, in.read(), "lines taken back as inputs read the outside");
                out.write(0x0F);
                assertEquals(0x3C, in.read()[0], "an output written to input lines drives nothing");
            }
        }
        try (var in = new ComediDigitalPortInDevice(MULTI, new int[] {0, 1}, 8);
                var out = new ComediDigitalPortOutDevice(MULTI, new int[] {0}, 8)) {
            out.write(0xA5);
            assertArrayEquals(new long[] {0xA5, 0x3C}, in.read(), "own outputs on port 0, inputs on port 1");
            out.write(0x5A);
            assertEquals(0x5A, in.read()[0]);
            assertEquals(true, in.readLine(0, 1));
            assertEquals(false, in.readLine(0, 0));
        }
    }

    @Test
    void aSubdeviceCanBeChosenByItsIndex() {
        setInputs(MULTI, 16, 8, 0x99);
        try (var in = new ComediDigitalPortInDevice(MULTI, 2, new int[] {2}, 8)) {
            assertArrayEquals(new long[] {0x99}, in.read());
        }
        ComediException analog = assertThrows(ComediException.class,
                () -> new ComediDigitalPortInDevice(MULTI, 0, new int[] {0}, 8));
        assertEquals("Error finding digital input subdevice for /dev/comedi-emu/multi: the subdevice is neither "
                + "digital input nor digital I/O", analog.getMessage());
        ComediException none = assertThrows(ComediException.class,
                () -> new ComediDigitalPortInDevice(MULTI, 3, new int[] {0}, 8));
        assertEquals("Error finding digital input subdevice for /dev/comedi-emu/multi: the device has no such "
                + "subdevice", none.getMessage());
    }

    /** Only -1 means "the first one": any other negative number names no subdevice, not the DIO one at index 2. */
    @Test
    void aNegativeSubdeviceOtherThanFirstDigitalInputIsNoSubdevice() {
        for (int subdevice : new int[] {-2, -3, Integer.MIN_VALUE}) {
            int before = EmulatedBoard.openCount();
            ComediException e = assertThrows(ComediException.class,
                    () -> new ComediDigitalPortInDevice(MULTI, subdevice, new int[] {0}, 8), "subdevice " + subdevice);
            assertEquals("Error finding digital input subdevice for /dev/comedi-emu/multi: the device has no such "
                    + "subdevice", e.getMessage());
            assertEquals(before, EmulatedBoard.openCount(), "subdevice " + subdevice + " left the device open");
        }
        try (var in = new ComediDigitalPortInDevice(MULTI, ComediDigitalPortInDevice.FIRST_DIGITAL_INPUT,
                new int[] {2}, 8)) {
            setInputs(MULTI, 16, 8, 0x5A);
            assertArrayEquals(new long[] {0x5A}, in.read());
        }
    }

    @Test
    void creationFailuresNameTheCauseAndLeaveNothingOpen() {
        ComediException doOnly = assertThrows(ComediException.class,
                () -> new ComediDigitalPortInDevice(EmulatedBoard.DO_ONLY, new int[] {0}, 8));
        assertEquals("Error finding digital input subdevice for /dev/comedi-emu/do-only: the device has no digital "
                + "input or configurable digital I/O subdevice", doOnly.getMessage());
        ComediException beyond = assertThrows(ComediException.class,
                () -> new ComediDigitalPortInDevice(MULTI, new int[] {0, 3}, 8));
        assertEquals("Not enough channels available: max number of channel is 24, requested channel is 24 (port 3) (device /dev/comedi-emu/multi)",
                beyond.getMessage());
        assertEquals(0, EmulatedBoard.dioDirection(MULTI, 0), "lines of the earlier port are inputs");
        ComediException lines = assertThrows(ComediException.class,
                () -> new ComediDigitalPortInDevice(DIO64, new int[] {0}, 65));
        assertEquals("Lines per port must be 0 to 64, requesting 65 (device /dev/comedi-emu/dio64)", lines.getMessage());
        ComediException open = assertThrows(ComediException.class,
                () -> new ComediDigitalPortInDevice("/dev/comedi-emu/none", new int[] {0}, 8));
        assertEquals("Error opening comedi device /dev/comedi-emu/none: No such file or directory", open.getMessage());
        // comedi_open's probe is the first instruction, the first line's direction the second.
        EmulatedBoard.failNth(EmulatedBoard.OP_INSN, 2, EIO);
        ComediException config = assertThrows(ComediException.class,
                () -> new ComediDigitalPortInDevice(MULTI, new int[] {0}, 8));
        assertEquals("Error configuring digital channels 0 for input: Input/output error (device /dev/comedi-emu/multi)", config.getMessage());
    }

    @Test
    void readFailuresAndMisuseRaiseWithoutTouchingTheValues() {
        var in = new ComediDigitalPortInDevice(MULTI, new int[] {0, 1}, 8);
        try (in) {
            setInputs(MULTI, 0, 8, 0x42);
            long[] values = {7, 7};
            EmulatedBoard.failNext(EmulatedBoard.OP_INSN, EIO);
            ComediException read = assertThrows(ComediException.class, () -> in.read(values));
            assertEquals("Error reading comedi digital channels: Input/output error (device /dev/comedi-emu/multi)", read.getMessage());
            EmulatedBoard.failNext(EmulatedBoard.OP_INSN, EIO);
            ComediException line = assertThrows(ComediException.class, () -> in.readLine(0, 1));
            assertEquals("Error reading comedi digital channel 1: Input/output error (device /dev/comedi-emu/multi)", line.getMessage());
            assertEquals(true, in.readLine(0, 1));
            // A line the list lacks is the caller's argument, refused before the native (which says the same).
            var position = assertThrows(IllegalArgumentException.class, () -> in.readLine(2, 0));
            assertEquals("device " + MULTI + ": line 0 of port position 2 is outside the 2 ports of 8 lines the"
                    + " device has", position.getMessage());
            assertThrows(IllegalArgumentException.class, () -> in.readLine(0, 8));
            assertThrows(IllegalArgumentException.class, () -> in.readLine(-1, 0));
            var nativeRefusal = assertThrows(ComediException.class, () -> ComediDigitalPortInDevice.nReadLine(in.handle(), 2, 0));
            assertEquals("No line 0 at port position 2: the device has 2 ports of 8 lines", nativeRefusal.getMessage());
            assertThrows(IllegalArgumentException.class, () -> in.read(new long[1]));
            assertThrows(IllegalArgumentException.class, () -> in.read(ByteBuffer.allocateDirect(8)));
            assertThrows(IllegalArgumentException.class, () -> in.read(ByteBuffer.allocate(16)));
            assertThrows(IllegalArgumentException.class,
                    () -> in.read(ByteBuffer.allocateDirect(16).asReadOnlyBuffer()));
        }
        assertThrows(IllegalStateException.class, in::read);
        assertThrows(IllegalStateException.class, () -> in.readLine(0, 0));
        in.close();
    }
}
