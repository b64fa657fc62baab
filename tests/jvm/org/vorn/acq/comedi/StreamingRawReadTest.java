// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.vorn.acq.comedi.StreamingTestSupport.AI_RANGES_UV;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_16;
import static org.vorn.acq.comedi.StreamingTestSupport.MAXDATA_18;
import static org.vorn.acq.comedi.StreamingTestSupport.configureCounter;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;
import static org.vorn.acq.comedi.StreamingTestSupport.toPhys;
import static org.vorn.testsupport.DirectBuffers.direct;

import java.nio.ByteBuffer;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.exception.ComediOverrunException;
import org.vorn.testsupport.NativeStdout;

/**
 * The raw form of the streaming read on the counter channel (raw = sample index mod maxdata+1):
 * codes as the driver delivers them, one stream position shared with the converting read, and the
 * per-position conversion that turns a code into the value the converting read gives.
 */
class StreamingRawReadTest {
    private static final int[] RANGES = {0, 1, 3};

    @BeforeEach
    void manualClock() {
        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_MANUAL);
    }

    @AfterEach
    void clear() {
        EmulatedBoard.clearFaults();
    }

    private static ComediAnalogStreamingDevice counter(String board, int bufSize) {
        var ai = new ComediAnalogStreamingDevice(board, RANGES.length, 1000, bufSize);
        configureCounter(ai, RANGES);
        NativeStdout.capture(ai::configure);
        return ai;
    }

    private static long code(ByteBuffer raw, int k, int bytes) {
        return bytes == 4 ? Integer.toUnsignedLong(raw.getInt(4 * k)) : Short.toUnsignedLong(raw.getShort(2 * k));
    }

    @ParameterizedTest
    @ValueSource(strings = {EmulatedBoard.MULTI, EmulatedBoard.AI18})
    void rawCodesShareThePositionWithTheConvertingReadAndConvertToItsValues(String board) {
        long maxdata = board.equals(EmulatedBoard.AI18) ? MAXDATA_18 : MAXDATA_16;
        try (var ai = counter(board, 4)) {
            int bytes = ai.getBytesPerSample();
            assertEquals(maxdata == MAXDATA_18 ? 4 : 2, bytes);
            for (int p = 0; p < RANGES.length; p++) {
                RawConversion c = ai.getRawConversion(p);
                assertEquals(AI_RANGES_UV[RANGES[p]][0] * 1e-6, c.min());
                assertEquals(AI_RANGES_UV[RANGES[p]][1] * 1e-6, c.max());
                assertEquals(RawConversion.UNIT_VOLT, c.unit());
                assertEquals(maxdata, c.maxdata());
            }
            ai.start();
            EmulatedBoard.advanceScans(board, 4);
            ByteBuffer raw = direct(4 * bytes);
            ByteBuffer volts = doubles(4);
            long index = 0;
            // raw, volts, raw, volts: 4 + 4 + 4 = 12 samples, each read continuing at the next position
            for (int round = 0; round < 3; round++) {
                if (round % 2 == 0) {
                    assertEquals(4, ai.readRaw(raw));
                    for (int k = 0; k < 4; k++, index++) {
                        assertEquals(index, code(raw, k, bytes), "sample " + index);
                        int position = (int) (index % RANGES.length);
                        assertEquals(toPhys(index, AI_RANGES_UV[RANGES[position]], maxdata),
                                ai.getRawConversion(position).toPhysical(code(raw, k, bytes)));
                    }
                } else {
                    assertEquals(4, ai.read(volts));
                    double[] expected = new double[4];
                    double[] got = new double[4];
                    for (int k = 0; k < 4; k++, index++) {
                        expected[k] = toPhys(index, AI_RANGES_UV[RANGES[(int) (index % RANGES.length)]], maxdata);
                        got[k] = volts.getDouble(8 * k);
                    }
                    assertArrayEquals(expected, got);
                }
            }
            assertEquals(0, ai.readRaw(raw), "all 12 samples of 4 scans were delivered");
            ai.stop();
        }
    }

    @ParameterizedTest
    @ValueSource(ints = {1, 3})
    void aSampleTheDriverSplitsIsCompletedByTheNextRawRead(int bytesFirst) {
        try (var ai = counter(EmulatedBoard.AI18, 8)) {
            ai.start();
            EmulatedBoard.advanceScans(EmulatedBoard.AI18, 2);
            ByteBuffer raw = direct(32);
            EmulatedBoard.shortReadNext(bytesFirst);
            EmulatedBoard.failNth(EmulatedBoard.OP_READ, 2, 4 /* EINTR */);
            var failure = assertThrows(ComediException.class, () -> ai.readRaw(raw), "no whole sample arrived");
            assertEquals("Error reading comedi data: Interrupted system call (device /dev/comedi-emu/ai18)", failure.getMessage());
            assertEquals(6, ai.readRaw(raw));
            for (int k = 0; k < 6; k++) {
                assertEquals(k, code(raw, k, 4), "the stream keeps its alignment");
            }
            ai.stop();
        }
    }

    @ParameterizedTest
    @ValueSource(ints = {-1, 3})
    void aPositionOutsideTheScanHasNoConversion(int position) {
        try (var ai = counter(EmulatedBoard.MULTI, 4)) {
            assertThrows(IllegalArgumentException.class, () -> ai.getRawConversion(position));
        }
    }

    @org.junit.jupiter.api.Test
    void anOverrunOnTheRawReadTellsWhatWasDeliveredAndTheDriverBuffer() {
        try (var ai = counter(EmulatedBoard.MULTI, 64)) {
            ai.start();
            EmulatedBoard.advanceScans(EmulatedBoard.MULTI, 30);
            assertEquals(0, EmulatedBoard.overrunNow(EmulatedBoard.MULTI));
            ByteBuffer raw = direct(128);
            long index = 0;
            ComediOverrunException overrun = null;
            while (overrun == null) {
                try {
                    int n = ai.readRaw(raw);
                    for (int k = 0; k < n; k++, index++) {
                        assertEquals(index, code(raw, k, 2));
                    }
                } catch (ComediOverrunException e) {
                    overrun = e;
                }
            }
            assertEquals(90, index);
            assertEquals(90, overrun.getSamplesDelivered());
            assertEquals(30, overrun.getScansDelivered());
            assertEquals(2 << 20, overrun.getDriverBufferBytes());
            assertEquals(EmulatedBoard.MULTI, overrun.getDevice());
            ai.stop();
        }
    }
}
