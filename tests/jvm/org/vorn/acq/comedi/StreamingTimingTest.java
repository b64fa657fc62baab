// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.acq.comedi.StreamingTestSupport.AI_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_16;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;
import static org.vorn.acq.comedi.StreamingTestSupport.toPhys;
import static org.vorn.testsupport.DirectBuffers.direct;

import java.nio.ByteBuffer;
import java.time.Duration;
import java.util.List;
import java.util.function.Consumer;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.exception.DeviceStateException;
import org.vorn.exception.ComediOverrunException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.CommandTrace;
import org.vorn.testsupport.NativeStdout;

/**
 * What the driver accepted, counted streams, the driver's buffer and the reports of refusals and
 * overruns, on the emulated board with a manual clock.
 */
class StreamingTimingTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    /** Every position on the counter channel 7, position p in range p mod 2 (±10 V, ±5 V). */
    private static ComediAnalogStreamingDevice counter(int channels, double hz, int bufSize) {
        var ai = new ComediAnalogStreamingDevice(MULTI, channels, hz, bufSize);
        for (int p = 0; p < channels; p++) {
            int r = p % 2;
            ai.configureChannel(p, 7, AI_RANGES_UV[r][0] * 1e-6, AI_RANGES_UV[r][1] * 1e-6, AnalogReference.GROUND);
        }
        return ai;
    }

    private static double counterVolts(long index, int channels) {
        return toPhys(index % (MAXDATA_16 + 1), AI_RANGES_UV[(int) (index % channels) % 2], MAXDATA_16);
    }

    @ParameterizedTest
    @CsvSource({"3000, 3, 333000, 111000", "10000, 8, 100000, 12000", "1000, 7, 1000000, 142000", "1e9, 1, 1000, 1000",
        "1000, 4, 1000000, 250000", "12345.6, 7, 81000, 11000"})
    void theRateIsTheOneTheDriverAccepted(double hz, int channels, long scanNs, long convertNs) {
        try (var ai = counter(channels, hz, 64)) {
            var early = assertThrows(IllegalStateException.class, ai::getScanRate);
            assertTrue(early.getMessage().contains("call configure() first"), early.getMessage());
            CommandTrace.capture(ai::configure);
            assertEquals(1e9 / scanNs, ai.getScanRateHz());
            assertEquals(scanNs, ai.getScanPeriodNanos());
            assertEquals(convertNs, ai.getConvertPeriodNanos());
            StreamCommand c = ai.getCommand();
            ai.start();
            long[] board = EmulatedBoard.currentCmd(MULTI, 0);
            assertEquals(List.of(board[EmulatedBoard.CMD_START_SRC], board[EmulatedBoard.CMD_SCAN_BEGIN_SRC],
                    board[EmulatedBoard.CMD_SCAN_BEGIN_ARG], board[EmulatedBoard.CMD_CONVERT_SRC],
                    board[EmulatedBoard.CMD_CONVERT_ARG], board[EmulatedBoard.CMD_SCAN_END_ARG],
                    board[EmulatedBoard.CMD_STOP_SRC], board[EmulatedBoard.CMD_STOP_ARG]),
                    List.of((long) c.startSource(), (long) c.scanBeginSource(), c.scanBeginArg(),
                            (long) c.convertSource(), c.convertArg(), c.scanEndArg(), (long) c.stopSource(),
                            c.stopArg()), "the record is the command the board runs");
            ai.stop();
        }
        assertEquals(3003.003003003003, 1e9 / 333000, 1e-9);
    }

    @Test
    void anAskedConvertPeriodIsTestedAsItStands() {
        try (var ai = counter(4, 1000, 64)) {
            ai.setConvertPeriodNanos(20000);
            String trace = CommandTrace.capture(ai::configure);
            assertTrue(trace.contains("convert:    timer    20000\n"), trace);
            assertEquals(20000, ai.getConvertPeriodNanos());
            assertEquals(1000000, ai.getScanPeriodNanos());
            assertThrows(IllegalArgumentException.class, () -> ai.setConvertPeriodNanos(-1));
        }
    }

    @Test
    void aCountedStreamDeliversExactlyItsScansAndEndsByItself() {
        try (var ai = counter(3, 1000, 64)) {
            ai.setScanCount(50);
            String trace = CommandTrace.capture(ai::configure);
            assertTrue(trace.contains("stop:       count    50\n"), trace);
            ai.setScanCount(10); // a change after the test: the driver must test the command again
            assertThrows(DeviceStateException.class, ai::start);
            ai.setScanCount(50);
            CommandTrace.capture(ai::configure);
            assertEquals(50, ai.getCommand().scanCount());
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 80);
            ScanBlock block = ScanBlock.interleaved(3, 16);
            long next = 0;
            int n;
            while ((n = ai.readScans(block, 1, Duration.ofSeconds(5))) >= 0) {
                assertEquals(next, block.firstScan());
                for (int s = 0; s < n; s++) {
                    for (int p = 0; p < 3; p++) {
                        assertEquals(counterVolts(3 * (next + s) + p, 3), block.get(s, p));
                    }
                }
                next += n;
            }
            assertEquals(50, next, "not one scan more or fewer");
            assertTrue(block.endOfStream() && ai.hasEnded());
            assertEquals(-1, ai.read(new double[64], 1, Duration.ofSeconds(1)));
            assertEquals(0, ai.read(new double[64]), "the non-waiting read stays quiet");
            assertEquals(150, ai.getSamplesDelivered());
            ai.stop();
            // A second run of the same command counts again from 0.
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 50);
            double[] volts = new double[64];
            long total = 0;
            while ((n = ai.read(volts, 1, Duration.ofSeconds(5))) >= 0) {
                total += n;
            }
            assertEquals(150, total);
            ai.stop();
        }
    }

    @Test
    void aRefusedCommandSaysWhatTheDriverAnsweredAndWhatItWouldAccept() {
        try (var ai = counter(8, 300000, 64)) {
            var e = assertThrows(ComediException.class, () -> CommandTrace.capture(ai::configure));
            String m = e.getMessage();
            assertTrue(m.startsWith("Error preparing command. The driver of " + MULTI
                    + " answered the second test with 4 (argument conflict)"), m);
            assertTrue(m.contains("corrected the command to start now 0, scan_begin timer 8000 ns, convert timer 1000 ns"),
                    m);
            assertTrue(m.contains("it would accept that, 125000.000 scans/s over 8 channels"), m);
            assertEquals("Error preparing command.", e.getCause().getMessage());
        }
    }

    @Test
    void startBeforeConfigureSaysToConfigureAndAFailedStartLeavesTheDeviceClosed() {
        try (var ai = counter(2, 1000, 64)) {
            var early = assertThrows(DeviceStateException.class, ai::start);
            assertEquals("device " + MULTI + ": the command has not been tested: call configure() before start()"
                    + " (and again after a change of channels, scan count or convert period)", early.getMessage());
            CommandTrace.capture(ai::configure);
            for (int op : new int[] {EmulatedBoard.OP_CMD, EmulatedBoard.OP_OPEN}) {
                EmulatedBoard.failNext(op, 16);
                assertThrows(ComediException.class, ai::start);
                assertEquals(fixture.openBefore(), EmulatedBoard.openCount(), "closed after the failed start");
            }
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 1);
            assertEquals(2, ai.read(new double[64]));
            ai.stop();
        }
    }

    @Test
    void everyReadAfterAnOverrunReportsItWithWhatWasDeliveredAndTheDriverBuffer() {
        try (var ai = counter(2, 1000, 64)) {
            CommandTrace.capture(ai::configure);
            assertEquals(65536, ai.setDriverBufferSize(65536));
            assertEquals(65536, ai.getDriverBufferSize());
            ai.start();
            assertThrows(IllegalStateException.class, () -> ai.setDriverBufferSize(4096));
            EmulatedBoard.advanceScans(MULTI, 10);
            assertEquals(20, ai.read(new double[64]));
            EmulatedBoard.advanceScans(MULTI, 5);
            assertEquals(0, EmulatedBoard.overrunNow(MULTI));
            assertEquals(10, ai.read(new double[64], 1, Duration.ofSeconds(1)), "what came before it first");
            ByteBuffer raw = direct(256);
            List<Consumer<ComediAnalogStreamingDevice>> reads = List.of(d -> d.read(new double[64]),
                    d -> d.read(doubles(64)), d -> d.read(new double[64], 1, Duration.ofSeconds(1)),
                    d -> d.readScans(ScanBlock.perChannel(2, 8), 1, Duration.ofSeconds(1)), d -> d.readRaw(raw));
            for (var read : reads) {
                var e = assertThrows(ComediException.class, () -> read.accept(ai));
                var overrun = assertInstanceOf(ComediOverrunException.class, e);
                assertEquals(30, overrun.getSamplesDelivered());
                assertEquals(15, overrun.getScansDelivered());
                assertEquals(65536, overrun.getDriverBufferBytes());
                assertTrue(e.getMessage().contains("must be stopped and started again"), e.getMessage());
            }
            assertTrue(ai.hasEnded());
            ai.stop();
            assertEquals(65536, ai.getDriverBufferSize(), "the size stays with the subdevice");
        }
    }
}
