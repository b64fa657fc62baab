// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.vorn.acq.comedi.OutputTestSupport.assertDestroyTwiceClosesOnce;
import static org.vorn.acq.comedi.OutputTestSupport.assertWriteAfterCloseNeverReachesTheDevice;
import static org.vorn.testsupport.DirectBuffers.ofInts;
import static org.vorn.testsupport.DirectBuffers.ofLongs;
import static org.vorn.testsupport.Errno.EIO;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;

/**
 * Digital port output on the emulated boards: "multi" has a 24-line DIO subdevice, "dio64" a
 * 64-line one, "do-only" nothing but a pure digital output subdevice. What counts is the direction
 * and level of every line afterwards.
 */
class ComediDigitalPortOutDeviceTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final String DIO64 = EmulatedBoard.DIO64;

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    /**
     * A handle made by the creation native itself, with arguments the public API refuses (more
     * than 32 lines per port): the native's own behaviour stays as it was. Destroyed by the caller.
     */
    private static ByteBuffer nativeTask(String board, int[] ports, int linesPerPort) {
        return NATIVES.nCreateTask(board, ofInts(4 * ports.length, ports), linesPerPort);
    }

    /** A closed device, only to call the natives on (they never look at it). */
    private static final ComediDigitalPortOutDevice NATIVES = closed();

    private static ComediDigitalPortOutDevice closed() {
        var d = new ComediDigitalPortOutDevice(MULTI, new int[] {0}, 8);
        d.close();
        return d;
    }

    private static void nativeWrite(ByteBuffer handle, long value) {
        NATIVES.nWrite(handle, ofLongs(value));
    }

    private static int[] directions(String board, int lines) {
        int[] d = new int[lines];
        for (int c = 0; c < lines; c++) {
            d[c] = EmulatedBoard.dioDirection(board, c);
        }
        return d;
    }

    private static int[] levels(String board, int lines) {
        int[] l = new int[lines];
        for (int c = 0; c < lines; c++) {
            l[c] = EmulatedBoard.dioLevel(board, c);
        }
        return l;
    }

    /** Expects lines first..first+count-1 to show the low `count` bits of `value`. */
    private static void assertLines(String board, int first, int count, long value) {
        for (int k = 0; k < count; k++) {
            assertEquals((int) ((value >>> k) & 1), EmulatedBoard.dioLevel(board, first + k),
                    "level of line " + (first + k));
            assertEquals(1, EmulatedBoard.dioDirection(board, first + k), "direction of line " + (first + k));
        }
    }

    private static void assertUnchanged(int[] before, int[] after, int from, int to, String what) {
        for (int c = from; c < to; c++) {
            assertEquals(before[c], after[c], what + " of line " + c);
        }
    }

    @Test
    void portsZeroAndTwoOfEightLinesTouchOnlyTheirChannels() {
        int[] dirBefore = directions(MULTI, 24);
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 2}, 8)) {
            int[] dir = directions(MULTI, 24);
            for (int c = 0; c < 24; c++) {
                assertEquals(c < 8 || c >= 16 ? 1 : dirBefore[c], dir[c], "direction of line " + c);
            }
            assertEquals(0, dirBefore[8], "lines start as inputs");
            int[] levelsBefore = levels(MULTI, 24);
            dio.write(0xA5, 0x3C);
            assertLines(MULTI, 0, 8, 0xA5);
            assertLines(MULTI, 16, 8, 0x3C);
            assertUnchanged(levelsBefore, levels(MULTI, 24), 8, 16, "level");
            assertUnchanged(dirBefore, directions(MULTI, 24), 8, 16, "direction");
            dio.write(0x5A, 0xC3);
            assertLines(MULTI, 0, 8, 0x5A);
            assertLines(MULTI, 16, 8, 0xC3);
        }
    }

    /** The write remembers the memory of the last buffer: each write must take the values of its own. */
    @Test
    void eachWriteTakesTheBufferOfItsCall() {
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 2}, 8)) {
            ByteBuffer a = ofLongs(0x11, 0x22);
            ByteBuffer b = ofLongs(0x33, 0x44, 0x55, 0x66);
            ByteBuffer slice = b.slice(16, 16).order(ByteOrder.nativeOrder());
            long[][] written = {{0x11, 0x22}, {0x33, 0x44}, {0x55, 0x66}, {0x11, 0x22}, {0x77, 0x66}};
            ByteBuffer[] from = {a, b, slice, a, slice};
            for (int k = 0; k < from.length; k++) {
                if (k == 4) {
                    b.putLong(16, 0x77); // the same buffer with a new value is read again
                }
                dio.write(from[k]);
                assertLines(MULTI, 0, 8, written[k][0]);
                assertLines(MULTI, 16, 8, written[k][1]);
            }
            dio.write(0x88, 0x99); // the array form, through the device's own buffer
            assertLines(MULTI, 0, 8, 0x88);
            dio.write(a);
            assertLines(MULTI, 16, 8, 0x22);
        }
    }

    @Test
    void bitsAboveThePortsLinesAndTheHighWordChangeNothing() {
        // Lines 8..15 are outputs held low by a second device, so a stray bit would show.
        try (var middle = new ComediDigitalPortOutDevice(MULTI, new int[] {1}, 8);
                var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 2}, 8)) {
            middle.write(0);
            dio.write(0xFFFF_FF00L, 0xFFFF_FFFF_0000_0000L);
            assertLines(MULTI, 0, 8, 0x00);
            assertLines(MULTI, 8, 8, 0x00);
            assertLines(MULTI, 16, 8, 0x00);
            dio.write(0x7FFF_FF81L | 0x1234_5678_0000_0000L, 0xFFFF_FFFF_0000_0042L);
            assertLines(MULTI, 0, 8, 0x81);
            assertLines(MULTI, 8, 8, 0x00);
            assertLines(MULTI, 16, 8, 0x42);
        }
    }

    @Test
    void thirtyTwoLinesMakeAFullPort() {
        try (var dio = new ComediDigitalPortOutDevice(DIO64, new int[] {1}, 32)) {
            int[] dir = directions(DIO64, 64);
            for (int c = 0; c < 64; c++) {
                assertEquals(c >= 32 ? 1 : 0, dir[c], "direction of line " + c);
            }
            dio.write(0x1_8000_0001L);
            assertLines(DIO64, 32, 32, 0x8000_0001L);
            dio.write(0xFFFF_FFFFL);
            assertLines(DIO64, 32, 32, 0xFFFF_FFFFL);
        }
    }

    @Test
    void moreThanThirtyTwoLinesPerPortAreRefusedAndTheNativeWritesOnlyTheFirstThirtyTwo() {
        var refused = assertThrows(IllegalArgumentException.class,
                () -> new ComediDigitalPortOutDevice(DIO64, new int[] {0}, 40));
        assertEquals("device " + DIO64 + ": 40 lines per port is outside 0..32 (a port is written in one 32-bit call)",
                refused.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount(), "refused before the device is opened");
        assertThrows(IllegalArgumentException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, new int[] {0}, Integer.MAX_VALUE));
        // The native itself keeps its behaviour: lines 32..39 are outputs that are never written.
        ByteBuffer h = nativeTask(DIO64, new int[] {0}, 40);
        try {
            int[] dir = directions(DIO64, 64);
            for (int c = 0; c < 64; c++) {
                assertEquals(c < 40 ? 1 : 0, dir[c], "direction of line " + c);
            }
            int[] before = levels(DIO64, 64);
            nativeWrite(h, 0xFF_FFFF_FFFFL);
            assertLines(DIO64, 0, 32, 0xFFFF_FFFFL);
            assertUnchanged(before, levels(DIO64, 64), 32, 64, "level");
            nativeWrite(h, 0L);
            assertLines(DIO64, 0, 32, 0L);
        } finally {
            NATIVES.nDestroy(h);
        }
    }

    @Test
    void zeroLinesPerPortConfigureAndWriteNothing() {
        int[] dirBefore = directions(MULTI, 24);
        int[] levelsBefore = levels(MULTI, 24);
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 1, 2}, 0)) {
            dio.write(0xFF, 0xFF, 0xFF);
            dio.write(-1L, -1L, -1L);
        }
        assertUnchanged(dirBefore, directions(MULTI, 24), 0, 24, "direction");
        assertUnchanged(levelsBefore, levels(MULTI, 24), 0, 24, "level");
    }

    @Test
    void aListedPortTwiceIsWrittenTwiceTheLaterValueLast() {
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {1, 1}, 8)) {
            dio.write(0x0F, 0xF0);
            assertLines(MULTI, 8, 8, 0xF0);
        }
    }

    @Test
    void thePortCountComesFromTheBufferCapacity() {
        try (var dio = new ComediDigitalPortOutDevice(MULTI, ofInts(10, 2, 0), 8)) {
            assertEquals(2, dio.getPortCount());
            dio.write(0x11, 0x22);
            assertLines(MULTI, 16, 8, 0x11);
            assertLines(MULTI, 0, 8, 0x22);
        }
        try (var dio = new ComediDigitalPortOutDevice(MULTI, ofInts(3), 8)) {
            assertEquals(0, dio.getPortCount());
            long before = EmulatedBoard.insnCount(MULTI);
            dio.write(ofLongs());
            dio.nWrite(dio.handle(), ofLongs(0xFF));
            assertEquals(before, EmulatedBoard.insnCount(MULTI));
        }
    }

    @Test
    void aPortBeyondTheSubdeviceIsRejectedWithTheChannelCount() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, new int[] {3}, 8));
        assertEquals("Not enough channels available: max number of channel is 24, requested channel is 24 (port 3) (device /dev/comedi-emu/multi)",
                e.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void linesOfEarlierPortsStayOutputsAfterAFailedCreation() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, new int[] {0, 3}, 8));
        assertEquals("Not enough channels available: max number of channel is 24, requested channel is 24 (port 3) (device /dev/comedi-emu/multi)",
                e.getMessage());
        int[] dir = directions(MULTI, 24);
        for (int c = 0; c < 24; c++) {
            assertEquals(c < 8 ? 1 : 0, dir[c], "direction of line " + c);
        }
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void aNegativePortShowsItsChannelAsNegative() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, new int[] {-1}, 8));
        assertEquals("Not enough channels available: max number of channel is 24, requested channel is -8 (port -1) (device /dev/comedi-emu/multi)",
                e.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void channelNumbersWrapInThirtyTwoBits() {
        // 2 × (2^31 − 1) is 2^32 − 2: far beyond the subdevice, shown as −2.
        ComediException e = assertThrows(ComediException.class, () -> nativeTask(MULTI, new int[] {2}, Integer.MAX_VALUE));
        assertEquals("Not enough channels available: max number of channel is 24, requested channel is -2 (port 2)",
                e.getMessage());
        // 2^29 × 8 + 16 is 2^32 + 16, which the native wraps to line 16: its arithmetic stays defined.
        ByteBuffer h = nativeTask(MULTI, new int[] {(1 << 29) + 2}, 8);
        try {
            nativeWrite(h, 0xA9);
            assertLines(MULTI, 16, 8, 0xA9);
            assertEquals(0, EmulatedBoard.dioDirection(MULTI, 0));
        } finally {
            NATIVES.nDestroy(h);
        }
    }

    /** A port beyond 32-bit channel numbers would wrap onto real lines: the devices refuse it before opening. */
    @ParameterizedTest
    @CsvSource({"536870914, 8, 4294967312, 16", "-536870912, 8, -4294967296, 0", "67108864, 64, 4294967296, 0"})
    void aPortThatWouldWrapOntoOtherLinesIsRefused(int port, int linesPerPort, long firstLine, long wrapped) {
        String expected = "device " + MULTI + ": port " + port + " of " + linesPerPort + " lines would begin at line "
                + firstLine + ", which no channel number reaches (it would wrap round to line " + wrapped + ")";
        if (linesPerPort <= 32) {
            assertEquals(expected, assertThrows(IllegalArgumentException.class,
                    () -> new ComediDigitalPortOutDevice(MULTI, new int[] {port}, linesPerPort)).getMessage());
        }
        assertEquals(expected, assertThrows(IllegalArgumentException.class,
                () -> new ComediDigitalPortInDevice(MULTI, new int[] {port}, linesPerPort)).getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void hugeLinesPerPortStopAtTheFirstLineBeyondTheSubdevice() {
        long start = System.nanoTime();
        ComediException e = assertThrows(ComediException.class, () -> nativeTask(MULTI, new int[] {0}, Integer.MAX_VALUE));
        assertEquals("Not enough channels available: max number of channel is 24, requested channel is 24 (port 0)",
                e.getMessage());
        assertEquals(1, EmulatedBoard.dioDirection(MULTI, 23), "lines up to the last were configured");
        // Billions of iterations would take seconds; the check ends the loop after 25.
        assertFalse(System.nanoTime() - start > 5_000_000_000L);
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void negativeLinesPerPortAreRejectedBeforeTheDeviceIsOpened() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, new int[] {1}, -8));
        assertEquals("Lines per port must not be negative, requesting -8 (device /dev/comedi-emu/multi)", e.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void aPureDigitalOutputSubdeviceIsNotFound() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediDigitalPortOutDevice(EmulatedBoard.DO_ONLY, new int[] {0}, 8));
        assertEquals("Error finding digital output subdevice for " + EmulatedBoard.DO_ONLY
                + ": the device has no configurable digital I/O subdevice", e.getMessage());
        assertFalse(e.getMessage().endsWith("Success"));
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void aDeviceThatCannotBeOpenedIsReported() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediDigitalPortOutDevice("/dev/comedi-emu/none", new int[] {0}, 8));
        assertEquals("Error opening comedi device /dev/comedi-emu/none: No such file or directory", e.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void aLineThatCannotBeMadeAnOutputFailsTheCreation() {
        // With both instruction ioctls failing, comedilib's probes at open take it for a driver
        // without instruction support and go on; the first line configuration then falls back to
        // the obsolete trigger ioctl, which the driver does not know.
        EmulatedBoard.failAlways(EmulatedBoard.OP_INSN, EIO);
        EmulatedBoard.failAlways(EmulatedBoard.OP_INSNLIST, EIO);
        try {
            ComediException e = assertThrows(ComediException.class,
                    () -> new ComediDigitalPortOutDevice(MULTI, new int[] {1}, 8));
            assertEquals("Error configuring digital channels 8 for output: Inappropriate ioctl for device (device /dev/comedi-emu/multi)", e.getMessage());
        } finally {
            EmulatedBoard.clearFaults();
        }
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void aFailingPortStopsTheRemainingPorts() {
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 2}, 8)) {
            dio.write(0x00, 0x00);
            EmulatedBoard.failNext(EmulatedBoard.OP_INSN, EIO);
            ComediException e = assertThrows(ComediException.class, () -> dio.write(0xFF, 0xFF));
            assertEquals("Error writing comedi digital channels: Input/output error (device /dev/comedi-emu/multi)", e.getMessage());
            assertLines(MULTI, 0, 8, 0x00);
            assertLines(MULTI, 16, 8, 0x00);
            dio.write(0xFF, 0x81);
            assertLines(MULTI, 0, 8, 0xFF);
            assertLines(MULTI, 16, 8, 0x81);

            // The second port fails: the first keeps its new value, the second its old one.
            EmulatedBoard.failNth(EmulatedBoard.OP_INSN, 2, EIO);
            e = assertThrows(ComediException.class, () -> dio.write(0x3C, 0x42));
            assertEquals("Error writing comedi digital channels: Input/output error (device /dev/comedi-emu/multi)", e.getMessage());
            assertLines(MULTI, 0, 8, 0x3C);
            assertLines(MULTI, 16, 8, 0x81);
        }
    }

    @Test
    void moreThan256PortsAreRejected() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, new int[257], 0));
        assertEquals("Maximum ports supported is 256, requesting 257 (device /dev/comedi-emu/multi)", e.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
        try (var dio = new ComediDigitalPortOutDevice(MULTI, ofInts(256 * 4 + 3), 1)) {
            assertEquals(256, dio.getPortCount());
            long[] values = new long[256];
            values[255] = 1;
            dio.write(values);
            assertLines(MULTI, 0, 1, 1);
        }
    }

    @Test
    void badPortBuffersAreRejected() {
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[0], 8)) {
            ComediException e = assertThrows(ComediException.class, () -> dio.nCreateTask(MULTI, null, 8));
            assertEquals("The port buffer is null", e.getMessage());
            e = assertThrows(ComediException.class, () -> dio.nCreateTask(MULTI, ByteBuffer.allocate(8), 8));
            assertEquals("The port buffer is not a direct buffer", e.getMessage());
            ByteBuffer handle = dio.nCreateTask(MULTI, ofInts(4, 2), 8);
            assertNotNull(handle);
            dio.nDestroy(handle);
        }
        assertThrows(IllegalArgumentException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, ByteBuffer.allocate(8), 8));
        assertThrows(IllegalArgumentException.class,
                () -> new ComediDigitalPortOutDevice(MULTI, (ByteBuffer) null, 8));
    }

    @Test
    void badDataBuffersRaiseBeforeAnythingIsWritten() {
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 2}, 8)) {
            ByteBuffer handle = dio.handle();
            long before = EmulatedBoard.insnCount(MULTI);
            ComediException e = assertThrows(ComediException.class, () -> dio.nWrite(handle, null));
            assertEquals("The data buffer is null", e.getMessage());
            e = assertThrows(ComediException.class, () -> dio.nWrite(handle, ByteBuffer.allocate(16)));
            assertEquals("The data buffer is not a direct buffer", e.getMessage());
            e = assertThrows(ComediException.class, () -> dio.nWrite(null, ofLongs(1, 2)));
            assertEquals("The device handle is null", e.getMessage());
            e = assertThrows(ComediException.class, () -> dio.nWrite(ByteBuffer.allocate(8), ofLongs(1, 2)));
            assertEquals("The device handle is not a direct buffer", e.getMessage());
            assertThrows(IllegalArgumentException.class, () -> dio.write(ofLongs(1)));
            assertThrows(IllegalArgumentException.class, () -> dio.write(ByteBuffer.allocate(16)));
            assertThrows(IllegalArgumentException.class, () -> dio.write(1L));
            assertEquals(before, EmulatedBoard.insnCount(MULTI));
        }
    }

    @Test
    void writeOnADestroyedHandleNeverReachesTheDevice() {
        var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0}, 8);
        assertWriteAfterCloseNeverReachesTheDevice(dio, handle -> dio.nWrite(handle, ofLongs(0xFF)),
                "Error writing comedi digital channels: device is closed", () -> dio.write(0xFF));
    }

    @Test
    void destroyTwiceClosesOnceAndTheLinesKeepTheirState() {
        var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {2}, 8);
        dio.write(0x96);
        assertDestroyTwiceClosesOnce(dio, dio::nDestroy, fixture.openBefore());
        assertLines(MULTI, 16, 8, 0x96);
    }
}
