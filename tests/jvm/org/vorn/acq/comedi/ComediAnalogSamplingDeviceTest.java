// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.acq.comedi.StreamingTestSupport.configureNative;
import static org.vorn.testsupport.DirectBuffers.direct;
import static org.vorn.testsupport.Errno.EACCES;
import static org.vorn.testsupport.Errno.EIO;


import java.io.File;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.function.Executable;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.ComediReference;

/**
 * Software-timed analog input on the emulated boards: the volts Java reads are what comedilib's
 * conversion makes of the raw values the board's known signals give, in channel-index order.
 */
class ComediAnalogSamplingDeviceTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final long MAXDATA = 65535;
    /** Size of the handle record, a layout Java code may rely on (it grows only at its end: the calibration last). */
    private static final int HANDLE_BYTES = 33256;
    /** Byte offset of the packed channel list inside the handle record. */
    private static final int CHANLIST_OFFSET = 7200;
    private static final double[][] RANGES = {{-10, 10}, {-5, 5}, {-1, 1}, {0, 10}, {0, 5}};

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    /** What comedilib's conversion gives for the board's DC channel `chan` read in range `range`. */
    private static double dcVolts(int chan, int range) {
        long raw = EmulatedBoard.expectedRaw(MULTI, chan, range, EmulatedBoard.nowNs(), 0);
        double x = raw;
        x /= MAXDATA;
        x *= RANGES[range][1] - RANGES[range][0];
        x += RANGES[range][0];
        return x;
    }

    private static ByteBuffer filled(int bytes, byte value) {
        ByteBuffer buf = direct(bytes);
        for (int k = 0; k < bytes; k++) {
            buf.put(k, value);
        }
        return buf;
    }

    private static void assertComedi(String message, Executable call) {
        ComediException e = assertThrows(ComediException.class, call);
        assertEquals(message, e.getMessage());
    }

    private static int chanlist(ComediAnalogSamplingDevice ai, int index) {
        return ai.handle().order(ByteOrder.nativeOrder()).getInt(CHANLIST_OFFSET + 4 * index);
    }

    private static int openFileDescriptors() {
        return new File("/proc/self/fd").list().length;
    }

    @Test
    void scanOrderIsIndexOrderNotHardwareOrder() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 3)) {
            ai.configureChannel(0, 3, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 0, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(2, 13, -10, 10, AnalogReference.GROUND);
            assertArrayEquals(new double[] {dcVolts(3, 0), dcVolts(0, 0), dcVolts(13, 0)}, ai.scan());
            assertEquals(4.0, ai.scan()[0], 20.0 / MAXDATA, "channel 3 carries +4 V");
            assertEquals(-7.0, ai.scan()[2], 20.0 / MAXDATA, "channel 13 carries -7 V");
        }
    }

    @Test
    void reconfiguringOneIndexChangesOnlyThatValue() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 3)) {
            ai.configureChannel(0, 3, -10, 10, "ground");
            ai.configureChannel(1, 0, -10, 10, "ground");
            ai.configureChannel(2, 12, -5, 5, "ground");
            double[] before = ai.scan();
            ai.configureChannel(1, 1, -1, 1, "ground");
            double[] after = ai.scan();
            assertEquals(before[0], after[0]);
            assertEquals(1.0, after[1], "+1 V fills the ±1 V range: raw maxdata");
            assertEquals(before[2], after[2]);
            assertEquals(dcVolts(12, 1), after[2]);
        }
    }

    @Test
    void rangeEndsConvertToNumbersNeverNaN() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 3)) {
            ai.configureChannel(0, 9, -5, 5, "ground"); // -9 V clips at raw 0
            ai.configureChannel(1, 8, -5, 5, "ground"); // +9 V clips at raw maxdata
            ai.configureChannel(2, 3, -10, 10, "ground");
            assertArrayEquals(new double[] {-5.0, 5.0, dcVolts(3, 0)}, ai.scan());
            /* A program that switches comedilib to NaN at the ends afterwards gets comedilib's
             * values, in scans with and without a code at an end. */
            int before = ComediReference.outOfRangeBehavior(1);
            try {
                assertArrayEquals(new double[] {Double.NaN, Double.NaN, dcVolts(3, 0)}, ai.scan());
                ai.configureChannel(0, 3, -10, 10, "ground");
                ai.configureChannel(1, 3, -10, 10, "ground");
                assertArrayEquals(new double[] {dcVolts(3, 0), dcVolts(3, 0), dcVolts(3, 0)}, ai.scan());
            } finally {
                ComediReference.outOfRangeBehavior(before);
            }
        }
    }

    @Test
    void smallestCoveringRangeIsChosenAndPacked() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 4)) {
            ai.configureChannel(0, 7, -10, 10, "ground");
            ai.configureChannel(1, 5, -3, 3, "common");
            ai.configureChannel(2, 255 % 16, 0, 4, "diff");
            ai.configureChannel(3, 1, -0.5, 0.5, "other");
            assertEquals((0 << 24) | (0 << 16) | 7, chanlist(ai, 0));
            assertEquals((1 << 24) | (1 << 16) | 5, chanlist(ai, 1));
            assertEquals((2 << 24) | (4 << 16) | 15, chanlist(ai, 2));
            assertEquals((3 << 24) | (2 << 16) | 1, chanlist(ai, 3));
        }
    }

    @Test
    void referenceNamesAreExactAndAnyOtherWordIsRefused() {
        String[] names = {"ground", "diff", "common", "other", "Ground", "GROUND", "", "gnd", "ground ", "d\u00efff"};
        int[] references = {0, 2, 1, 3, 2, 2, 2, 2, 2, 2};
        try (var ai = new ComediAnalogSamplingDevice(MULTI, names.length)) {
            for (int i = 0; i < names.length; i++) {
                if (i < 4) {
                    ai.configureChannel(i, 0, -10, 10, names[i]);
                } else {
                    int position = i;
                    var e = assertThrows(IllegalArgumentException.class,
                            () -> ai.configureChannel(position, 0, -10, 10, names[position]));
                    assertEquals("analog reference \"" + names[i] + "\" is none of \"ground\", \"common\", \"diff\","
                            + " \"other\"", e.getMessage());
                    assertEquals(0, chanlist(ai, i), "a refused word configures nothing");
                    configureNative(ai, i, 0, -10, 10, names[i]); // the native still reads it as "diff"
                }
                assertEquals(references[i], chanlist(ai, i) >>> 24, "reference for \"" + names[i] + "\"");
            }
        }
    }

    @Test
    void handleBufferIsTheZeroFilledRecord() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 1)) {
            ByteBuffer handle = ai.handle();
            assertTrue(handle.isDirect());
            assertEquals(HANDLE_BYTES, handle.capacity());
            assertEquals(0, chanlist(ai, 0), "nothing configured yet");
        }
    }

    @Test
    void indexAt255IsStoredButNotScanned() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 1)) {
            ai.configureChannel(0, 1, -10, 10, "ground");
            assertThrows(IllegalArgumentException.class, () -> ai.configureChannel(255, 2, -1, 1, "ground"));
            configureNative(ai, 255, 2, -1, 1, "ground"); // the native stores it all the same
            assertEquals((2 << 16) | 2, chanlist(ai, 255));
            long insnsBefore = EmulatedBoard.insnCount(MULTI);
            assertArrayEquals(new double[] {dcVolts(1, 0)}, ai.scan());
            assertEquals(insnsBefore + 1, EmulatedBoard.insnCount(MULTI));
        }
    }

    @Test
    void channelIndexOutsideTheTablesIsRejectedAndWritesNothing() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
            ai.configureChannel(0, 1, -10, 10, "ground");
            ai.configureChannel(1, 3, -10, 10, "ground");
            assertThrows(IllegalArgumentException.class, () -> ai.configureChannel(256, 0, -10, 10, "ground"));
            assertComedi("Maximum channels supported is 256, requesting 256",
                    () -> configureNative(ai, 256, 0, -10, 10, "ground"));
            assertComedi("Maximum channels supported is 256, requesting -1",
                    () -> configureNative(ai, -1, 0, -10, 10, "ground"));
            assertComedi("Maximum channels supported is 256, requesting -2147483648",
                    () -> configureNative(ai, Integer.MIN_VALUE, 0, -10, 10, "ground"));
            assertArrayEquals(new double[] {dcVolts(1, 0), dcVolts(3, 0)}, ai.scan());
        }
    }

    @Test
    void channelCountOutsideTheTablesIsRejectedAtCreation() {
        assertComedi("Number of channels must be 0 to 256, requesting 257 (device /dev/comedi-emu/multi)",
                () -> new ComediAnalogSamplingDevice(MULTI, 257));
        assertComedi("Number of channels must be 0 to 256, requesting -1 (device /dev/comedi-emu/multi)",
                () -> new ComediAnalogSamplingDevice(MULTI, -1));
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 256)) {
            for (int i = 0; i < 256; i++) {
                ai.configureChannel(i, i % 16 == 7 ? 0 : i % 16, -10, 10, "ground");
            }
            assertEquals(256, ai.scan().length);
        }
    }

    @Test
    void failedScanLeavesTheBufferUntouchedAndTheNextScanWorks() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
            ai.configureChannel(0, 1, -10, 10, "ground");
            ai.configureChannel(1, 2, -10, 10, "ground");
            ByteBuffer buf = filled(16, (byte) 0x5a);
            EmulatedBoard.failNext(EmulatedBoard.OP_INSNLIST, EIO);
            assertComedi("Error reading comedi data: Input/output error (device /dev/comedi-emu/multi)", () -> ai.scan(buf));
            for (int k = 0; k < 16; k++) {
                assertEquals((byte) 0x5a, buf.get(k));
            }
            EmulatedBoard.failInsnlistAfter(1, EIO);
            assertComedi("Error reading comedi data: Input/output error (device /dev/comedi-emu/multi)", () -> ai.scan(buf));
            assertEquals((byte) 0x5a, buf.get(0), "a partly run list delivers nothing");
            ai.scan(buf);
            assertEquals(dcVolts(1, 0), buf.getDouble(0));
            assertEquals(dcVolts(2, 0), buf.getDouble(8));
        }
    }

    @Test
    void bytesPastTheScanAreUntouched() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 3)) {
            for (int i = 0; i < 3; i++) {
                ai.configureChannel(i, i, -10, 10, "ground");
            }
            ByteBuffer buf = filled(24 + 40, (byte) 0x33);
            ai.scan(buf);
            for (int k = 24; k < 64; k++) {
                assertEquals((byte) 0x33, buf.get(k), "byte " + k);
            }
            assertEquals(dcVolts(2, 0), buf.getDouble(16));
        }
    }

    /**
     * The scan remembers the memory of the last buffer it was given: each scan must still land in
     * the buffer of that call, a slice of it included, and never in the one before.
     */
    @Test
    void eachScanLandsInTheBufferOfItsCall() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
            ai.configureChannel(0, 3, -10, 10, "ground");
            ai.configureChannel(1, 13, -10, 10, "ground");
            ByteBuffer a = filled(32, (byte) 0x33);
            ByteBuffer b = filled(32, (byte) 0x33);
            ByteBuffer slice = b.slice(16, 16).order(ByteOrder.nativeOrder());
            double[] expected = {dcVolts(3, 0), dcVolts(13, 0)};
            for (ByteBuffer target : new ByteBuffer[] {a, b, a, slice, b, slice}) {
                for (ByteBuffer buf : new ByteBuffer[] {a, b}) {
                    for (int k = 0; k < 32; k++) {
                        buf.put(k, (byte) 0x33);
                    }
                }
                ai.scan(target);
                assertArrayEquals(expected, new double[] {target.getDouble(0), target.getDouble(8)});
                /* Where the scan's 16 bytes went, in a and b: nothing else may change. */
                int firstInA = target == a ? 0 : 32;
                int firstInB = target == b ? 0 : target == slice ? 16 : 32;
                for (int k = 0; k < 32; k++) {
                    if (k < firstInA || k >= firstInA + 16) {
                        assertEquals((byte) 0x33, a.get(k), "byte " + k + " of a");
                    }
                    if (k < firstInB || k >= firstInB + 16) {
                        assertEquals((byte) 0x33, b.get(k), "byte " + k + " of b");
                    }
                }
            }
        }
    }

    @Test
    void openAndSubdeviceFailuresNameTheDeviceAndTheCause() {
        assertComedi("Error opening comedi device /dev/comedi-emu/absent: No such file or directory",
                () -> new ComediAnalogSamplingDevice("/dev/comedi-emu/absent", 1));
        EmulatedBoard.failNext(EmulatedBoard.OP_OPEN, EACCES);
        assertComedi("Error opening comedi device /dev/comedi-emu/multi: Permission denied",
                () -> new ComediAnalogSamplingDevice(MULTI, 1));
        assertComedi("Error finding analog input subdevice for /dev/comedi-emu/do-only: "
                + "the device has no analog input subdevice",
                () -> new ComediAnalogSamplingDevice(EmulatedBoard.DO_ONLY, 1));
        EmulatedBoard.failNext(EmulatedBoard.OP_SUBDINFO, EIO);
        assertComedi("Error opening comedi device /dev/comedi-emu/multi: Input/output error",
                () -> new ComediAnalogSamplingDevice(MULTI, 1));
    }

    @Test
    void rangeFailuresSayWhy() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 1)) {
            assertComedi("Error finding range (device /dev/comedi-emu/multi, chanel 3): "
                    + "no range of the channel covers the requested span",
                    () -> ai.configureChannel(0, 3, -11, 11, "ground"));
            assertComedi("Error finding range (device /dev/comedi-emu/multi, chanel 40): Invalid channel",
                    () -> ai.configureChannel(0, 40, -10, 10, "ground"));
            assertThrows(IllegalArgumentException.class, () -> ai.configureChannel(0, 2, Double.NaN, 1, "ground"));
            assertComedi("Error finding range (device /dev/comedi-emu/multi, chanel 2): "
                    + "no range of the channel covers the requested span",
                    () -> configureNative(ai, 0, 2, Double.NaN, 1, "ground"));
            assertEquals(0, chanlist(ai, 0), "a failed configuration changes nothing");
        }
    }

    @Test
    void longMessagesAreCutAt3999Bytes() {
        String name = "/dev/comedi-emu/" + "x".repeat(5000);
        ComediException e = assertThrows(ComediException.class, () -> new ComediAnalogSamplingDevice(name, 1));
        assertEquals(("Error opening comedi device " + name).substring(0, 3999) + " (device " + name + ")",
                e.getMessage(), "the native text is cut, the device then named in full");
        String accented = "/dev/comedi-emu/" + "\u00e9".repeat(3000);
        e = assertThrows(ComediException.class, () -> new ComediAnalogSamplingDevice(accented, 1));
        String expected = "Error opening comedi device /dev/comedi-emu/" + "\u00e9".repeat((3999 - 44) / 2);
        assertEquals(expected + " (device " + accented + ")", e.getMessage(), "the cut drops a character it would split");
    }

    @Test
    void nullStringsRaiseNullPointerException() {
        NullPointerException e = assertThrows(NullPointerException.class, () -> new ComediAnalogSamplingDevice(null, 1));
        assertEquals("string argument is null", e.getMessage());
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 1)) {
            assertThrows(NullPointerException.class, () -> ai.configureChannel(0, 1, -10, 10, (String) null));
            assertEquals(0, chanlist(ai, 0));
        }
    }

    @Test
    void badBuffersNeverReachTheDevice() {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
            ai.configureChannel(0, 1, -10, 10, "ground");
            ai.configureChannel(1, 2, -10, 10, "ground");
            long insnsBefore = EmulatedBoard.insnCount(MULTI);
            IllegalArgumentException small = assertThrows(IllegalArgumentException.class,
                    () -> ai.scan(ByteBuffer.allocateDirect(15)));
            assertEquals("scan buffer holds 15 bytes, needs at least 16", small.getMessage());
            IllegalArgumentException heap = assertThrows(IllegalArgumentException.class,
                    () -> ai.scan(ByteBuffer.allocate(16)));
            assertEquals("scan buffer must be a direct buffer", heap.getMessage());
            assertThrows(IllegalArgumentException.class,
                    () -> ai.scan(ByteBuffer.allocateDirect(16).asReadOnlyBuffer()));
            assertThrows(IllegalArgumentException.class, () -> ai.scan(new double[1]));

            assertComedi("The scan buffer is not a direct buffer", () -> ai.nScan(ai.handle(), ByteBuffer.allocate(16)));
            assertComedi("The scan buffer is null", () -> ai.nScan(ai.handle(), null));
            assertComedi("The device handle is null", () -> ai.nScan(null, filled(16, (byte) 0)));
            assertComedi("The device handle is not a direct buffer",
                    () -> ai.nCreateChannels(ByteBuffer.allocate(HANDLE_BYTES), 0, (short) 1, -1, 1, "ground"));
            assertComedi("The device handle is null", () -> ai.nDestroy(null));
            assertEquals(insnsBefore, EmulatedBoard.insnCount(MULTI));
        }
    }

    @Test
    void closedDeviceIsNeverReached() {
        var ai = new ComediAnalogSamplingDevice(MULTI, 1);
        ai.configureChannel(0, 1, -10, 10, "ground");
        ByteBuffer handle = ai.handle();
        ai.close();
        ai.close();
        assertTrue(ai.isClosed());
        assertThrows(IllegalStateException.class, ai::scan);
        long insnsBefore = EmulatedBoard.insnCount(MULTI);
        ByteBuffer buf = filled(8, (byte) 0x11);
        assertComedi("Error reading comedi data: device is closed", () -> ai.nScan(handle, buf));
        assertEquals((byte) 0x11, buf.get(0));
        assertComedi("Error finding range (device (none), chanel 1): device is closed",
                () -> ai.nCreateChannels(handle, 0, (short) 1, -10, 10, "ground"));
        ai.nDestroy(handle);
        assertEquals(insnsBefore, EmulatedBoard.insnCount(MULTI));
    }

    @Test
    void thousandCyclesAndFailuresLeaveNothingBehind() {
        int fdsBefore = openFileDescriptors();
        double[] volts = new double[2];
        for (int k = 0; k < 1000; k++) {
            try (var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
                ai.configureChannel(0, 1, -10, 10, "ground");
                ai.configureChannel(1, 7, -10, 10, "ground");
                ai.scan(volts);
            }
        }
        for (int k = 0; k < 1000; k++) {
            String board = k % 2 == 0 ? "/dev/comedi-emu/absent" : EmulatedBoard.DO_ONLY;
            assertThrows(ComediException.class, () -> new ComediAnalogSamplingDevice(board, 2));
        }
        assertEquals(fdsBefore, openFileDescriptors());
        assertFalse(Double.isNaN(volts[0]));
    }
}
