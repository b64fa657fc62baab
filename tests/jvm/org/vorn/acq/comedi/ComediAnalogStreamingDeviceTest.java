// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.acq.comedi.StreamingTestSupport.AI_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.CT_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_16;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_18;
import static org.vorn.acq.comedi.StreamingTestSupport.bytesRead;
import static org.vorn.acq.comedi.StreamingTestSupport.configureAiRanges;
import static org.vorn.acq.comedi.StreamingTestSupport.configureCounter;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;
import static org.vorn.acq.comedi.StreamingTestSupport.expectedVolts;
import static org.vorn.acq.comedi.StreamingTestSupport.toPhys;
import static org.vorn.testsupport.Errno.EACCES;
import static org.vorn.testsupport.Errno.EBUSY;
import static org.vorn.testsupport.Errno.EINTR;
import static org.vorn.testsupport.Errno.EINVAL;
import static org.vorn.testsupport.Errno.EIO;
import static org.vorn.testsupport.Errno.EPIPE;

import java.nio.ByteBuffer;
import java.time.Duration;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.exception.DeviceStateException;
import org.vorn.exception.SettingRefusedException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.CommandTrace;
import org.vorn.testsupport.NativeStdout;

/**
 * Hardware-timed input on the emulated boards with a manual clock: the test decides how many scans
 * the board has converted, so every call's result is known. Channel 7 of the generic boards counts
 * the samples of the command's stream, which shows where each value came from.
 */
class ComediAnalogStreamingDeviceTest {
    private static final String MULTI = EmulatedBoard.MULTI;

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    private static String trace(int scanBegin, int convert, int nChannels) {
        return "Trying command ...\n"
                + "start:      now      0\n"
                + "scan_begin: timer    " + scanBegin + "\n"
                + "convert:    timer    " + convert + "\n"
                + "scan_end:   count    " + nChannels + "\n"
                + "stop:       none     0\n";
    }

    /** Every position reads the counter channel 7, each in its own range. */
    private static ComediAnalogStreamingDevice counterDevice(String board, double freq, int bufSize, int... ranges) {
        var ai = new ComediAnalogStreamingDevice(board, ranges.length, freq, bufSize);
        configureCounter(ai, ranges);
        return ai;
    }

    private static void configureQuietly(ComediAnalogStreamingDevice ai) {
        CommandTrace.capture(ai::configure);
    }

    private static void configureAndStart(ComediAnalogStreamingDevice ai) {
        configureQuietly(ai);
        ai.start();
    }

    /** One read into {@code buf} returns exactly {@code n} values: counter samples {@code firstIndex}.. of the stream. */
    private static void assertReadsCounter(ComediAnalogStreamingDevice ai, ByteBuffer buf, long firstIndex, int n,
            long maxdata, int... ranges) {
        assertEquals(n, ai.read(buf));
        assertArrayEquals(counterValues(firstIndex, n, maxdata, ranges), values(buf, n));
    }

    private static double[] values(ByteBuffer buf, int n) {
        double[] v = new double[n];
        buf.asDoubleBuffer().get(v, 0, n);
        return v;
    }

    /**
     * Reads into {@code buf} until nothing more has arrived; every value must be the one the board
     * delivered for its position (channel {@code chans[p]} in range {@code ranges[p]} of
     * {@code rangeTable}). Returns the values read.
     */
    private static long assertDrainsBoardValues(ComediAnalogStreamingDevice ai, ByteBuffer buf, String board,
            int[] chans, int[] ranges, int[][] rangeTable, long maxdata) {
        long index = 0;
        int n;
        while ((n = ai.read(buf)) > 0) {
            double[] got = values(buf, n);
            for (int k = 0; k < n; k++, index++) {
                int p = (int) (index % chans.length);
                assertEquals(expectedVolts(board, chans[p], ranges[p], index, rangeTable, maxdata), got[k],
                        "sample " + index);
            }
        }
        return index;
    }

    /** Counter samples firstIndex.. of the command, at positions cycling through the ranges. */
    private static double[] counterValues(long firstIndex, int n, long maxdata, int... ranges) {
        double[] v = new double[n];
        for (int k = 0; k < n; k++) {
            long index = firstIndex + k;
            v[k] = toPhys(index % (maxdata + 1), AI_RANGES_UV[ranges[(int) (index % ranges.length)]], maxdata);
        }
        return v;
    }

    // ---- the command and its trace ------------------------------------------------------------

    @Test
    void aThousandScansOverFourChannelsPassTheFirstTest() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0, 0, 0, 0)) {
            String out = CommandTrace.capture(ai::configure);
            assertEquals(trace(1000000, 250000, 4) + "First test returned 0 (success)\n", out);
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore(), "the device is closed after the test");
            ai.start();
            long[] cmd = EmulatedBoard.currentCmd(MULTI, 0);
            assertNotNull(cmd);
            assertEquals(1000000, cmd[EmulatedBoard.CMD_SCAN_BEGIN_ARG]);
            assertEquals(250000, cmd[EmulatedBoard.CMD_CONVERT_ARG]);
            assertEquals(4, cmd[EmulatedBoard.CMD_SCAN_END_ARG]);
            assertEquals(4, cmd[EmulatedBoard.CMD_CHANLIST_LEN]);
            assertEquals(0x1, cmd[EmulatedBoard.CMD_STOP_SRC]);
            assertEquals(0x2, cmd[EmulatedBoard.CMD_START_SRC]);
            ai.stop();
        }
    }

    @Test
    void threeThousandScansOverThreeChannelsAreCorrectedThenAccepted() {
        try (var ai = counterDevice(MULTI, 3000, 16, 0, 1, 2)) {
            String out = CommandTrace.capture(ai::configure);
            // The board's timer ticks in microseconds: the second description shows the rounding.
            assertEquals(trace(333333, 111111, 3) + "First test returned 4 (argument conflict)\n"
                    + trace(333000, 111000, 3) + "Second test returned 0 (success)\n", out);
            ai.start();
            long[] cmd = EmulatedBoard.currentCmd(MULTI, 0);
            assertEquals(333000, cmd[EmulatedBoard.CMD_SCAN_BEGIN_ARG]);
            assertEquals(111000, cmd[EmulatedBoard.CMD_CONVERT_ARG]);
            ai.stop();
        }
    }

    @Test
    void aPeriodWithAFractionIsTruncatedAndPrintedAsASignedNumber() {
        // 1e9 / 0.233 = 4291845493.5...: it fits the unsigned timer argument, and "%d" shows it negative.
        try (var ai = counterDevice(MULTI, 0.233, 16, 0, 0, 0, 0, 0, 0, 0)) {
            String out = CommandTrace.capture(ai::configure);
            long period = (long) (1e9 / 0.233);
            assertEquals(4291845493L, period);
            assertTrue(out.startsWith(trace((int) period, (int) (long) (1e9 / 0.233 / 7), 7)), out);
            assertTrue(out.contains("scan_begin: timer    -3121803\n"), out);
        }
    }

    @Test
    void firstTestThreeThenZeroWritesBothDescriptionsAndRaisesNothing() {
        // 2 MHz over one channel asks for 500 ns; the board corrects it to its 1 µs minimum.
        try (var ai = counterDevice(MULTI, 2e6, 16, 0)) {
            String out = CommandTrace.capture(ai::configure);
            assertEquals(trace(500, 500, 1) + "First test returned 3 (invalid argument)\n" + trace(1000, 1000, 1)
                    + "Second test returned 0 (success)\n", out);
        }
    }

    @Test
    void forcedFirstResultThreeThenZero() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0, 0, 0, 0)) {
            EmulatedBoard.forceCmdtestStage(1, 3);
            String out = CommandTrace.capture(ai::configure);
            assertEquals(trace(1000000, 250000, 4) + "First test returned 3 (invalid argument)\n"
                    + trace(1000000, 250000, 4) + "Second test returned 0 (success)\n", out);
        }
    }

    @Test
    void secondTestFourRaisesAndStillClosesTheDevice() {
        // 500 kHz over four channels: 500 ns conversions become 1 µs, then the scan no longer fits 2 µs.
        try (var ai = counterDevice(MULTI, 5e5, 16, 0, 0, 0, 0)) {
            var e = assertThrows(SettingRefusedException.class, () -> CommandTrace.capture(ai::configure));
            assertTrue(e.getMessage().startsWith("Error preparing command. "), e.getMessage());
            assertEquals(trace(2000, 500, 4) + "First test returned 3 (invalid argument)\n" + trace(2000, 1000, 4)
                    + "Second test returned 4 (argument conflict)\n", CommandTrace.lastCapture());
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore());
        }
    }

    @Test
    void forcedSecondResultFourRaises() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0, 0, 0, 0)) {
            EmulatedBoard.forceCmdtestStage(1, 3);
            EmulatedBoard.forceCmdtestStage(2, 4);
            var e = assertThrows(ComediException.class, () -> CommandTrace.capture(ai::configure));
            assertTrue(e.getMessage().startsWith("Error preparing command. "), e.getMessage());
            assertEquals(trace(1000000, 250000, 4) + "First test returned 3 (invalid argument)\n"
                    + trace(1000000, 250000, 4) + "Second test returned 4 (argument conflict)\n",
                    CommandTrace.lastCapture());
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore());
        }
    }

    @Test
    void aSubdeviceWithoutCommandsWritesNoResultLine() {
        assertFirstTestFails(EmulatedBoard.NOCMD, 0, "Ummm... this subdevice doesn't support commands. (device /dev/comedi-emu/nocmd)");
    }

    @Test
    void anotherTestErrorNamesComedilibsText() {
        assertFirstTestFails(MULTI, EINVAL, "Comedi command test error: Invalid argument (device /dev/comedi-emu/multi)");
    }

    @Test
    void anEioFaultOfTheTestIsTheNoCommandsCase() {
        assertFirstTestFails(MULTI, EIO, "Ummm... this subdevice doesn't support commands. (device /dev/comedi-emu/multi)");
    }

    /** A first test that fails (on its own, or with {@code injectedErrno} if not 0) prints one description and no result. */
    private void assertFirstTestFails(String board, int injectedErrno, String message) {
        try (var ai = counterDevice(board, 1000, 16, 0, 0)) {
            if (injectedErrno != 0) {
                EmulatedBoard.failNext(EmulatedBoard.OP_CMDTEST, injectedErrno);
            }
            var e = assertThrows(ComediException.class, () -> CommandTrace.capture(ai::configure));
            assertEquals(message, e.getMessage());
            assertEquals(trace(1000000, 500000, 2), CommandTrace.lastCapture());
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore(), "the device is closed after the test");
        }
    }

    @Test
    void theNativeTestStillPrintsItsTraceAndFindsTheDeviceClosedTheSecondTime() {
        try (var ai = counterDevice(MULTI, 3000, 16, 0, 1, 2)) {
            ByteBuffer h = ai.handle();
            assertEquals(trace(333333, 111111, 3) + "First test returned 4 (argument conflict)\n"
                    + trace(333000, 111000, 3) + "Second test returned 0 (success)\n",
                    NativeStdout.capture(() -> ai.nConfigTask(h)));
            var e = assertThrows(ComediException.class, () -> NativeStdout.capture(() -> ai.nConfigTask(h)));
            assertEquals("Comedi command test error: device is closed", e.getMessage());
            assertEquals("", NativeStdout.lastCapture());
        }
    }

    @Test
    void aDeviceIsReconfiguredBetweenRunsAndTheSecondRunConvertsWithTheNewSettings() {
        ByteBuffer buf = doubles(16);
        try (var ai = counterDevice(MULTI, 1000, 16, 0, 1)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(MULTI, 2);
            assertReadsCounter(ai, buf, 0, 4, MAXDATA_16, 0, 1);
            ai.stop();
            // After stop(): other ranges, then after configure() and before start(): another channel.
            configureCounter(ai, new int[] {3, 2});
            configureQuietly(ai);
            ai.configureChannel(1, 7, -1, 1, AnalogReference.GROUND);
            var untested = assertThrows(DeviceStateException.class, ai::start);
            assertTrue(untested.getMessage().contains("call configure() before start()"), untested.getMessage());
            configureAndStart(ai);
            assertEquals(1, EmulatedBoard.openCount() - fixture.openBefore(), "one open device: the stream's");
            EmulatedBoard.advanceScans(MULTI, 2);
            assertEquals(4, ai.read(buf));
            int rangeOfOneVolt = ai.getChannelRange(1).rangeIndex();
            assertArrayEquals(counterValues(0, 4, MAXDATA_16, 3, rangeOfOneVolt), values(buf, 4));
            ai.stop();
        }
    }

    // ---- creation -------------------------------------------------------------------------------

    private void assertCreationRefused(String message, String board, int nChannels, double freq, int bufSize) {
        var e = assertThrows(ComediException.class,
                () -> new ComediAnalogStreamingDevice(board, nChannels, freq, bufSize));
        // The native text, then the device unless the text names it already.
        assertEquals(message.contains(board) ? message : message + " (device " + board + ")", e.getMessage());
        assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore(), "nothing left open");
    }

    @Test
    void channelCountsOutsideOneTo256AreRefused() {
        assertCreationRefused("Number of channels must be 1 to 256, requesting 0", MULTI, 0, 1000, 16);
        assertCreationRefused("Number of channels must be 1 to 256, requesting 257", MULTI, 257, 1000, 16);
        assertCreationRefused("Number of channels must be 1 to 256, requesting -1", MULTI, -1, 1000, 16);
        new ComediAnalogStreamingDevice(MULTI, 256, 1000, 16).close();
    }

    @Test
    void frequenciesWithoutARepresentablePeriodAreRefused() {
        String prefix = "Scan frequency must be a finite number of Hz whose period 1e9/freq ns is below 2^32 ns"
                + " (freq above 0.2328306437 Hz), requesting ";
        assertCreationRefused(prefix + "0", MULTI, 1, 0, 16);
        assertCreationRefused(prefix + "-1000", MULTI, 1, -1000, 16);
        assertCreationRefused(prefix + "nan", MULTI, 1, Double.NaN, 16);
        assertCreationRefused(prefix + "inf", MULTI, 1, Double.POSITIVE_INFINITY, 16);
        assertCreationRefused(prefix + "-inf", MULTI, 1, Double.NEGATIVE_INFINITY, 16);
        assertCreationRefused(prefix + "0.2", MULTI, 1, 0.2, 16);
        assertCreationRefused(prefix + "4.94066e-324", MULTI, 1, Double.MIN_VALUE, 16);
        assertCreationRefused(prefix + "0.232831", MULTI, 1, 1e9 / 4294967296.0, 16);
        new ComediAnalogStreamingDevice(MULTI, 1, 0.2329, 16).close();
        // The next double above the limit has a period of 4294967295.9999995 ns: it fits.
        new ComediAnalogStreamingDevice(MULTI, 1, Math.nextUp(1e9 / 4294967296.0), 16).close();
    }

    @Test
    void bufferSizesBelowOneOrOverflowingAreRefused() {
        assertCreationRefused("Buffer size must be at least 1 sample, requesting 0", MULTI, 1, 1000, 0);
        assertCreationRefused("Buffer size must be at least 1 sample, requesting -5", MULTI, 1, 1000, -5);
        assertCreationRefused(
                "Buffer size of 1073741824 samples of 2 bytes exceeds the largest raw buffer of 2147483647 bytes",
                MULTI, 1, 1000, 1 << 30);
        assertCreationRefused(
                "Buffer size of 536870912 samples of 4 bytes exceeds the largest raw buffer of 2147483647 bytes",
                EmulatedBoard.AI18, 1, 1000, 1 << 29);
    }

    @Test
    void aDeviceThatCannotBeOpenedIsNamed() {
        assertCreationRefused("Error opening comedi device /nonexistent/comedi0: No such file or directory",
                "/nonexistent/comedi0", 1, 1000, 16);
    }

    @Test
    void aBoardWithoutAnalogInputIsClosedAgain() {
        assertCreationRefused("Error finding analog input subdevice for " + EmulatedBoard.DO_ONLY
                + ": the device has no analog input subdevice", EmulatedBoard.DO_ONLY, 1, 1000, 16);
    }

    @Test
    void unreadableSubdeviceFlagsRefuseTheCreation() {
        // comedi_open reads the subdevice table once; the flags query after it is the second read.
        EmulatedBoard.failNth(EmulatedBoard.OP_SUBDINFO, 2, EIO);
        assertCreationRefused("Error getting the flags of subdevice 0 of " + MULTI + ": Input/output error",
                MULTI, 1, 1000, 16);
    }

    // ---- streaming ------------------------------------------------------------------------------

    @Test
    void theScanPositionIsCarriedAcrossCalls() {
        int[] ranges = {0, 1, 3};
        try (var ai = counterDevice(MULTI, 1000, 5, ranges)) {
            configureAndStart(ai);
            ByteBuffer buf = doubles(5);
            EmulatedBoard.advanceScans(MULTI, 2);
            assertReadsCounter(ai, buf, 0, 5, MAXDATA_16, ranges);
            // Positions 0, 1, 2, 0, 1: the next call begins with position 2.
            assertReadsCounter(ai, buf, 5, 1, MAXDATA_16, ranges);
            EmulatedBoard.advanceScans(MULTI, 1);
            assertReadsCounter(ai, buf, 6, 3, MAXDATA_16, ranges);
            ai.stop();
        }
    }

    @Test
    void oneCallReturnsAtMostBufSizeValues() {
        int[] ranges = {0, 1, 2};
        try (var ai = counterDevice(MULTI, 1000, 5, ranges)) {
            configureAndStart(ai);
            ByteBuffer buf = doubles(5);
            EmulatedBoard.advanceScans(MULTI, 4);
            assertReadsCounter(ai, buf, 0, 5, MAXDATA_16, ranges);
            assertReadsCounter(ai, buf, 5, 5, MAXDATA_16, ranges);
            assertReadsCounter(ai, buf, 10, 2, MAXDATA_16, ranges);
            assertEquals(0, ai.read(buf));
            ai.stop();
        }
    }

    @Test
    void nothingArrivedMeansZeroAtOnce() {
        try (var ai = counterDevice(MULTI, 1000, 64, 0)) {
            configureAndStart(ai);
            ByteBuffer buf = doubles(64);
            // With the clock stopped a read that waited would never return.
            assertTimeoutPreemptively(Duration.ofSeconds(10), () -> {
                for (int i = 0; i < 1000; i++) {
                    assertEquals(0, ai.read(buf));
                }
            });
            ai.stop();
        }
    }

    @Test
    void sixteenBitSamplesOfEveryRange() {
        // Constant channels: +1 V, -2.5 V, +4 V, +9 V, -0.5 V in ranges that hold them.
        int[] chans = {1, 2, 3, 8, 11, 7};
        int[] ranges = {4, 1, 4, 3, 2, 0};
        try (var ai = new ComediAnalogStreamingDevice(MULTI, chans.length, 1000, 64)) {
            configureAiRanges(ai, chans, ranges);
            configureAndStart(ai);
            EmulatedBoard.advanceScans(MULTI, 10);
            ByteBuffer buf = doubles(64);
            assertEquals(60, ai.read(buf));
            double[] got = values(buf, 60);
            for (int k = 0; k < 60; k++) {
                int p = k % chans.length;
                assertEquals(expectedVolts(MULTI, chans[p], ranges[p], k, AI_RANGES_UV, MAXDATA_16), got[k],
                        "sample " + k);
            }
            assertEquals(1.0, got[0], 1e-3);
            assertEquals(-2.5, got[1], 1e-3);
            assertEquals(9.0, got[3], 1e-3);
            ai.stop();
        }
    }

    @Test
    void thirtyTwoBitSamplesOfAnEighteenBitBoard() {
        int[] chans = {1, 13, 7, 7};
        int[] ranges = {1, 0, 0, 3};
        String ai18 = EmulatedBoard.AI18;
        try (var ai = new ComediAnalogStreamingDevice(ai18, chans.length, 1000, 64)) {
            configureAiRanges(ai, chans, ranges);
            configureAndStart(ai);
            // Beyond 65536 samples the counter shows the bits above 16 arrive.
            EmulatedBoard.advanceScans(ai18, 20000);
            assertEquals(80000, assertDrainsBoardValues(ai, doubles(64), ai18, chans, ranges, AI_RANGES_UV, MAXDATA_18));
            assertEquals(toPhys(79998, AI_RANGES_UV[0], MAXDATA_18),
                    expectedVolts(ai18, 7, 0, 79998, AI_RANGES_UV, MAXDATA_18));
            ai.stop();
        }
    }

    @Test
    void startAfterStopBeginsAtPositionZero() {
        int[] ranges = {0, 1, 3};
        try (var ai = counterDevice(MULTI, 1000, 5, ranges)) {
            configureAndStart(ai);
            ByteBuffer buf = doubles(5);
            EmulatedBoard.advanceScans(MULTI, 2);
            assertEquals(5, ai.read(buf)); // ends at position 2
            ai.stop();
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore());
            assertNull(EmulatedBoard.currentCmd(MULTI, 0));

            ai.start();
            assertEquals(1, EmulatedBoard.openCount() - fixture.openBefore());
            EmulatedBoard.advanceScans(MULTI, 1);
            assertReadsCounter(ai, buf, 0, 3, MAXDATA_16, ranges);
            ai.stop();
        }
    }

    @Test
    void readIntoAJavaArray() {
        int[] ranges = {2, 4};
        try (var ai = counterDevice(MULTI, 1000, 8, ranges)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(MULTI, 3);
            double[] volts = new double[8];
            assertEquals(6, ai.read(volts));
            double[] first = new double[6];
            System.arraycopy(volts, 0, first, 0, 6);
            assertArrayEquals(counterValues(0, 6, MAXDATA_16, ranges), first);
            ai.stop();
        }
    }

    @Test
    void aBoardWithoutPollHandlerStreams() {
        String ct = EmulatedBoard.COMEDI_TEST;
        try (var ai = new ComediAnalogStreamingDevice(ct, 2, 1000, 64)) {
            ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 1, -5, 5, AnalogReference.GROUND);
            configureAndStart(ai);
            ByteBuffer buf = doubles(64);
            assertEquals(0, ai.read(buf));
            EmulatedBoard.advanceScans(ct, 25);
            int[] positions = {0, 1}; // channel p in range p
            assertEquals(50, assertDrainsBoardValues(ai, buf, ct, positions, positions, CT_RANGES_UV, MAXDATA_16));

            // Any other poll failure still raises.
            EmulatedBoard.failNext(EmulatedBoard.OP_POLL, EIO);
            var e = assertThrows(ComediException.class, () -> ai.read(buf));
            assertEquals("Error polling device: Input/output error (device /dev/comedi-emu/comedi_test)", e.getMessage());
            ai.stop();
        }
    }

    // ---- failures of a running device -------------------------------------------------------------

    @Test
    void scanFailuresNameTheirStepAndWriteNothing() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0, 1)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(MULTI, 4);
            ByteBuffer buf = doubles(16);
            for (int k = 0; k < 16; k++) {
                buf.putDouble(8 * k, 12345.0);
            }

            EmulatedBoard.failNext(EmulatedBoard.OP_POLL, EIO);
            assertEquals("Error polling device: Input/output error (device /dev/comedi-emu/multi)",
                    assertThrows(ComediException.class, () -> ai.read(buf)).getMessage());
            EmulatedBoard.failNext(EmulatedBoard.OP_BUFINFO, EIO);
            assertEquals("Error getting buffer size: Input/output error (device /dev/comedi-emu/multi)",
                    assertThrows(ComediException.class, () -> ai.read(buf)).getMessage());

            // comedilib's last error on this thread is a stale ENOENT; the read's own error is EACCES.
            assertThrows(ComediException.class, () -> new ComediAnalogStreamingDevice("/nonexistent/x", 1, 1000, 1));
            EmulatedBoard.failNext(EmulatedBoard.OP_READ, EACCES);
            assertEquals("Error reading comedi data: Permission denied (device /dev/comedi-emu/multi)",
                    assertThrows(ComediException.class, () -> ai.read(buf)).getMessage());

            for (int k = 0; k < 16; k++) {
                assertEquals(12345.0, buf.getDouble(8 * k), "value " + k + " written by a failed read");
            }
            assertEquals(0, bytesRead(MULTI), "no sample consumed by the failed calls");

            // Nothing was lost: the stream starts at its first sample, at position 0.
            assertReadsCounter(ai, buf, 0, 8, MAXDATA_16, 0, 1);
            ai.stop();
        }
    }

    /**
     * The driver splits a sample: its bytes are kept and completed, the stream never shifts and
     * nothing is lost; only a split sample whose rest can no longer come (the stream ended) is
     * reported, with the count. 4 scans of 3 positions are ready: 12 samples.
     */
    @ParameterizedTest(name = "{0}")
    @ValueSource(strings = {MULTI, EmulatedBoard.AI18})
    void aSplitSampleIsCompletedByTheNextReadAndTheStreamNeverShifts(String board) {
        int[] ranges = {0, 1, 3};
        boolean wide = board.equals(EmulatedBoard.AI18);
        int bps = wide ? 4 : 2;
        long maxdata = wide ? MAXDATA_18 : MAXDATA_16;
        ByteBuffer buf = doubles(16);
        try (var ai = counterDevice(board, 1000, 16, ranges)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(board, 4);

            // One and a half samples, then the rest: one read delivers everything.
            EmulatedBoard.shortReadNext(bps + bps / 2);
            assertReadsCounter(ai, buf, 0, 12, maxdata, ranges);

            // One byte, then the read that would complete it is interrupted: reported, nothing lost.
            EmulatedBoard.advanceScans(board, 4);
            EmulatedBoard.shortReadNext(1);
            EmulatedBoard.failNth(EmulatedBoard.OP_READ, 2, EINTR);
            assertEquals("Error reading comedi data: Interrupted system call (device " + board + ")",
                    assertThrows(ComediException.class, () -> ai.read(buf)).getMessage());
            assertEquals(12L * bps + 1, bytesRead(board), "the byte is kept in the handle");
            assertReadsCounter(ai, buf, 12, 12, maxdata, ranges);
            ai.stop();
        }
        try (var ai = counterDevice(board, 1000, 16, ranges)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(board, 4);
            // One and a half samples, then an interrupted read: the whole one is delivered.
            EmulatedBoard.shortReadNext(bps + bps / 2);
            EmulatedBoard.failNth(EmulatedBoard.OP_READ, 2, EINTR);
            assertReadsCounter(ai, buf, 0, 1, maxdata, ranges);
            // An overrun ends the stream before the rest of the split sample comes: that one is lost.
            EmulatedBoard.failNext(EmulatedBoard.OP_BUFINFO, EPIPE);
            String report = assertThrows(ComediException.class, () -> ai.read(buf)).getMessage();
            String driver = "Data should come in as " + bps
                    + " bytes per sample. 1 sample lost: the stream ended after " + bps / 2 + " of its " + bps
                    + " bytes";
            assertTrue(report.startsWith(driver + ": overrun on " + board + ": "), report);
            ai.stop();
        }
    }

    @Test
    void anOverrunReachesJavaAfterTheBufferedSamples() {
        int[] ranges = {0, 3};
        try (var ai = counterDevice(MULTI, 1000, 64, ranges)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(MULTI, 50);
            assertEquals(0, EmulatedBoard.overrunNow(MULTI));
            ByteBuffer buf = doubles(64);
            long index = 0;
            ComediException failure = null;
            while (failure == null) {
                try {
                    int n = ai.read(buf);
                    assertTrue(n > 0, "an overrun must not read as silence");
                    assertArrayEquals(counterValues(index, n, MAXDATA_16, ranges), values(buf, n));
                    index += n;
                } catch (ComediException e) {
                    failure = e;
                }
            }
            assertEquals(100, index, "every sample buffered before the overrun is delivered first");
            assertTrue(failure instanceof org.vorn.exception.ComediOverrunException, failure.toString());
            assertTrue(failure.getMessage().startsWith("Overrun on " + MULTI + ": "), failure.getMessage());
            ai.stop();
        }
    }

    @Test
    void buffersThatCannotHoldBufSizeValuesAreRefusedBeforeReading() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(MULTI, 4);
            ByteBuffer handle = ai.handle();
            var heap = assertThrows(ComediException.class, () -> ai.nScan(handle, ByteBuffer.allocate(128)));
            assertEquals("The sample buffer is not a direct buffer", heap.getMessage());
            var small = assertThrows(ComediException.class, () -> ai.nScan(handle, doubles(15)));
            assertEquals("The sample buffer holds 120 bytes, needs at least 128", small.getMessage());
            var none = assertThrows(ComediException.class, () -> ai.nScan(handle, null));
            assertEquals("The sample buffer is null", none.getMessage());
            assertThrows(IllegalArgumentException.class, () -> ai.read(doubles(15)));
            assertThrows(IllegalArgumentException.class, () -> ai.read(ByteBuffer.allocate(128)));
            assertEquals(0, bytesRead(MULTI), "no sample consumed");
            assertEquals(4, ai.read(doubles(16)));
            ai.stop();
        }
    }

    @Test
    void startFailuresLeaveTheStateTheCallerCanRecoverFrom() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0)) {
            configureQuietly(ai);
            EmulatedBoard.failNext(EmulatedBoard.OP_OPEN, EACCES);
            var open = assertThrows(ComediException.class, ai::start);
            assertEquals("Error opening comedi device " + MULTI + ": Permission denied", open.getMessage());
            assertEquals(EACCES, open.getErrorNumber());
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore());

            EmulatedBoard.failNext(EmulatedBoard.OP_CMD, EBUSY);
            var refused = assertThrows(ComediException.class, ai::start);
            assertEquals("Error starting command: Device or resource busy (device " + MULTI + ")", refused.getMessage());
            assertEquals(EBUSY, refused.getErrorNumber(), "EBUSY without reading the text");
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore(), "the API closes what the refused start opened");

            ai.start();
            assertEquals(1, EmulatedBoard.openCount() - fixture.openBefore());
            ai.stop();
        }
    }

    @Test
    void startingARunningDeviceIsRefusedAndKeepsTheStream() {
        int[] ranges = {0, 1, 3};
        try (var ai = counterDevice(MULTI, 1000, 5, ranges)) {
            configureAndStart(ai);
            EmulatedBoard.advanceScans(MULTI, 2);
            ByteBuffer buf = doubles(5);
            assertEquals(5, ai.read(buf));
            var e = assertThrows(DeviceStateException.class, ai::start);
            assertEquals("device " + MULTI + ": the stream is already running: stop() it before start()",
                    e.getMessage());
            var again = assertThrows(ComediException.class, () -> ai.nStart(ai.handle()));
            assertEquals("Error starting command: the device is already open (stop it first)", again.getMessage());
            assertEquals(1, EmulatedBoard.openCount() - fixture.openBefore(), "the open device is not replaced");
            assertReadsCounter(ai, buf, 5, 1, MAXDATA_16, ranges);
            ai.stop();
        }
    }

    @Test
    void aFailedCancelStillClosesTheDevice() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0)) {
            configureAndStart(ai);
            EmulatedBoard.failNext(EmulatedBoard.OP_CANCEL, EIO);
            var e = assertThrows(ComediException.class, ai::stop);
            assertEquals("Error stopping command: Input/output error (device /dev/comedi-emu/multi)", e.getMessage());
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore());
            assertNull(EmulatedBoard.currentCmd(MULTI, 0), "closing the file ended the command");
            // The stream is stopped: stopping it again (a second Stop press) does nothing.
            ai.stop();
            assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore());
        }
    }

    @Test
    void callsOnAClosedDeviceRaiseWithoutReachingComedilib() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0)) {
            configureQuietly(ai);
            var scan = assertThrows(ComediException.class, () -> ai.read(doubles(16)));
            assertEquals("Error polling device: device is closed (device /dev/comedi-emu/multi)", scan.getMessage());
            var stop = assertThrows(ComediException.class, ai::stop);
            assertEquals("Error stopping command: device is closed (device /dev/comedi-emu/multi)", stop.getMessage());
        }
    }

    @Test
    void everyCallAfterDestroyIsHarmless() {
        try (var ai = counterDevice(MULTI, 1000, 16, 0)) {
            ByteBuffer h = ai.nCreateTask(MULTI, 1, 1000, 16);
            assertEquals(2, EmulatedBoard.openCount() - fixture.openBefore());
            ai.nDestroy(h);
            assertEquals(1, EmulatedBoard.openCount() - fixture.openBefore());
            ai.nDestroy(h);
            assertThrows(ComediException.class, () -> ai.nCreateChannels(h, 0, (short) 7, -10, 10, "ground"));
            assertEquals("Comedi command test error: device is closed",
                    assertThrows(ComediException.class, () -> ai.nConfigTask(h)).getMessage());
            assertEquals("Error opening comedi device (none): device is closed",
                    assertThrows(ComediException.class, () -> ai.nStart(h)).getMessage());
            assertEquals("Error polling device: device is closed",
                    assertThrows(ComediException.class, () -> ai.nScan(h, doubles(16))).getMessage());
            assertEquals("Error stopping command: device is closed",
                    assertThrows(ComediException.class, () -> ai.nStop(h)).getMessage());
            assertEquals(1, EmulatedBoard.openCount() - fixture.openBefore());
        }
    }

    @Test
    void destroyWhileRunningClosesTheDevice() {
        var ai = counterDevice(MULTI, 1000, 16, 0);
        configureAndStart(ai);
        EmulatedBoard.advanceScans(MULTI, 3);
        ai.close();
        assertEquals(0, EmulatedBoard.openCount() - fixture.openBefore());
        assertNull(EmulatedBoard.currentCmd(MULTI, 0));
        ai.close();
    }
}
