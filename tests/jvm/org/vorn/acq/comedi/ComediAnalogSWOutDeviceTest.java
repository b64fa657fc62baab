// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.acq.comedi.OutputTestSupport.assertDestroyTwiceClosesOnce;
import static org.vorn.acq.comedi.OutputTestSupport.assertWriteAfterCloseNeverReachesTheDevice;
import static org.vorn.acq.comedi.OutputTestSupport.tenVoltOutputs;
import static org.vorn.acq.comedi.StreamingTestSupport.configureNative;
import static org.vorn.testsupport.DirectBuffers.ofDoubles;
import static org.vorn.testsupport.Errno.EIO;


import java.nio.ByteBuffer;
import java.nio.ByteOrder;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;

/**
 * Software-timed analog output on the emulated "multi" board: two DAC channels (±10 V and 0..10 V,
 * 16 bits) looped back to analog inputs 14 and 15. What counts is the raw value each DAC received.
 */
class ComediAnalogSWOutDeviceTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final long MAXDATA = 65535;

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    /** comedilib's rounding: halves round up, values beyond the range end at 0 or maxdata. */
    private static long raw(double volts, double min, double max) {
        double s = (volts - min) / (max - min) * MAXDATA;
        if (s < 0) {
            return 0;
        }
        if (s > MAXDATA) {
            return MAXDATA;
        }
        return (long) Math.floor(s + 0.5);
    }

    @Test
    void bufferOrderIsIndexOrderNotHardwareOrder() {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 2)) {
            ao.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(1, 0, -10, 10, AnalogReference.GROUND);
            ao.write(2.5, -5.0);
            assertEquals(raw(2.5, -10, 10), EmulatedBoard.aoRaw(MULTI, 1));
            assertEquals(raw(-5.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(40959, EmulatedBoard.aoRaw(MULTI, 1));
            assertEquals(16384, EmulatedBoard.aoRaw(MULTI, 0));
        }
    }

    @Test
    void theSmallestCoveringRangeIsUsedForConversion() {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 1)) {
            ao.configureChannel(0, 0, 0, 10, AnalogReference.GROUND);
            ao.write(5.0);
            // 0..10 V: mid-scale; on ±10 V the same voltage would be three quarters.
            assertEquals(raw(5.0, 0, 10), EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(32768, EmulatedBoard.aoRaw(MULTI, 0));
        }
    }

    @Test
    void voltagesBeyondTheRangeClampToTheEndsOfTheRawScale() {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 2)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(1, 1, 0, 10, AnalogReference.GROUND);
            ao.write(12.0, -0.5);
            assertEquals(MAXDATA, EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(0, EmulatedBoard.aoRaw(MULTI, 1));
            ao.write(-1e9, 1e9);
            assertEquals(0, EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(MAXDATA, EmulatedBoard.aoRaw(MULTI, 1));
        }
    }

    @Test
    void reconfiguringAnIndexRedirectsTheNextWrite() {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 1)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.write(1.0);
            long ch1Before = EmulatedBoard.aoRaw(MULTI, 1);
            assertEquals(raw(1.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0));

            ao.configureChannel(0, 1, 0, 10, AnalogReference.GROUND);
            ao.write(7.5);
            assertEquals(raw(7.5, 0, 10), EmulatedBoard.aoRaw(MULTI, 1));
            assertTrue(ch1Before != EmulatedBoard.aoRaw(MULTI, 1));
            assertEquals(raw(1.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0), "the old channel is left alone");
        }
    }

    @Test
    void writingTheSameValuesTwiceWritesThemTwice() {
        try (var ao = tenVoltOutputs()) {
            long before = EmulatedBoard.insnCount(MULTI);
            ao.write(3.0, 4.0);
            assertEquals(before + 2, EmulatedBoard.insnCount(MULTI));
            ao.write(3.0, 4.0);
            assertEquals(before + 4, EmulatedBoard.insnCount(MULTI));
            assertEquals(raw(3.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(raw(4.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 1));
        }
    }

    @Test
    void bytesBeyondTheChannelCountAndIndicesAtOrAboveItAreIgnored() {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 1)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            // Positions at or above the count: refused by the API, stored by the native.
            assertThrows(IllegalArgumentException.class, () -> ao.configureChannel(1, 1, -10, 10, AnalogReference.GROUND));
            configureNative(ao, 1, 1, -10, 10, "ground");
            configureNative(ao, 255, 1, -10, 10, "ground");
            long ch1 = EmulatedBoard.aoRaw(MULTI, 1);
            long before = EmulatedBoard.insnCount(MULTI);
            ao.write(ofDoubles(-2.0, 9.0, 9.0));
            assertEquals(raw(-2.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(ch1, EmulatedBoard.aoRaw(MULTI, 1));
            assertEquals(before + 1, EmulatedBoard.insnCount(MULTI));
        }
    }

    @Test
    void aFailedInstructionListRaisesTheWriteMessageAndTheDeviceStaysUsable() {
        try (var ao = tenVoltOutputs()) {
            EmulatedBoard.failNext(EmulatedBoard.OP_INSNLIST, EIO);
            ComediException e = assertThrows(ComediException.class, () -> ao.write(1.0, 2.0));
            assertEquals("Error reading comedi data: Input/output error (device /dev/comedi-emu/multi)", e.getMessage());
            ao.write(1.0, 2.0);
            assertEquals(raw(1.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(raw(2.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 1));
        }
    }

    @Test
    void aListFailingHalfwayReportsTheFailure() {
        try (var ao = tenVoltOutputs()) {
            ao.write(0.0, 0.0);
            EmulatedBoard.failInsnlistAfter(1, EIO);
            ComediException e = assertThrows(ComediException.class, () -> ao.write(5.0, 6.0));
            assertEquals("Error reading comedi data: Input/output error (device /dev/comedi-emu/multi)", e.getMessage());
            assertEquals(raw(5.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0), "the first instruction ran");
            assertEquals(raw(0.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 1));
        }
    }

    @Test
    void writeOnADestroyedHandleNeverReachesTheDevice() {
        var ao = new ComediAnalogSWOutDevice(MULTI, 1);
        ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
        assertWriteAfterCloseNeverReachesTheDevice(ao, handle -> ao.nWrite(handle, ofDoubles(1.0)),
                "Error reading comedi data: device is closed", () -> ao.write(1.0));
    }

    @Test
    void destroyTwiceClosesOnce() {
        var ao = new ComediAnalogSWOutDevice(MULTI, 1);
        assertDestroyTwiceClosesOnce(ao, ao::nDestroy, fixture.openBefore());
    }

    @Test
    void badValueBuffersRaiseBeforeAnythingIsWritten() {
        try (var ao = tenVoltOutputs()) {
            long before = EmulatedBoard.insnCount(MULTI);
            ByteBuffer handle = ao.handle();

            ComediException e = assertThrows(ComediException.class, () -> ao.nWrite(handle, null));
            assertEquals("The value buffer is null", e.getMessage());
            e = assertThrows(ComediException.class,
                    () -> ao.nWrite(handle, ByteBuffer.allocate(16).order(ByteOrder.nativeOrder())));
            assertEquals("The value buffer is not a direct buffer", e.getMessage());
            e = assertThrows(ComediException.class, () -> ao.nWrite(null, ofDoubles(1.0, 2.0)));
            assertEquals("The device handle is null", e.getMessage());
            e = assertThrows(ComediException.class, () -> ao.nWrite(ByteBuffer.allocate(64), ofDoubles(1.0, 2.0)));
            assertEquals("The device handle is not a direct buffer", e.getMessage());

            assertThrows(IllegalArgumentException.class, () -> ao.write(ofDoubles(1.0)));
            assertThrows(IllegalArgumentException.class, () -> ao.write((ByteBuffer) null));
            assertThrows(IllegalArgumentException.class, () -> ao.write(ByteBuffer.allocate(16)));
            assertThrows(IllegalArgumentException.class, () -> ao.write(1.0));

            assertEquals(before, EmulatedBoard.insnCount(MULTI));
        }
    }

    @Test
    void channelIndicesOutsideTheTablesWriteNoInstruction() {
        try (var ao = tenVoltOutputs()) {
            assertThrows(IllegalArgumentException.class, () -> ao.configureChannel(-1, 1, 0, 10, AnalogReference.GROUND));
            ComediException e = assertThrows(ComediException.class, () -> configureNative(ao, -1, 1, 0, 10, "ground"));
            assertEquals("Maximum channels supported is 256, requesting -1", e.getMessage());
            e = assertThrows(ComediException.class,
                    () -> configureNative(ao, Integer.MIN_VALUE, 1, 0, 10, "ground"));
            assertEquals("Maximum channels supported is 256, requesting -2147483648", e.getMessage());
            e = assertThrows(ComediException.class, () -> configureNative(ao, 256, 1, 0, 10, "ground"));
            assertEquals("Maximum channels supported is 256, requesting 256", e.getMessage());
            // The instruction list in front of the table and both instructions are intact.
            long before = EmulatedBoard.insnCount(MULTI);
            ao.write(-3.0, 3.0);
            assertEquals(before + 2, EmulatedBoard.insnCount(MULTI));
            assertEquals(raw(-3.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 0));
            assertEquals(raw(3.0, -10, 10), EmulatedBoard.aoRaw(MULTI, 1));
        }
    }

    @Test
    void aRangeNoChannelRangeCoversIsRejected() {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 1)) {
            ComediException e = assertThrows(ComediException.class,
                    () -> ao.configureChannel(0, 0, -12, 12, AnalogReference.GROUND));
            assertEquals("Error finding range (device " + MULTI
                    + ", chanel 0): no range of the channel covers the requested span", e.getMessage());
        }
    }

    @Test
    void creationFailuresLeaveNoDeviceOpen() {
        ComediException e = assertThrows(ComediException.class,
                () -> new ComediAnalogSWOutDevice("/dev/comedi-emu/none", 1));
        assertEquals("Error opening comedi device /dev/comedi-emu/none: No such file or directory", e.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());

        e = assertThrows(ComediException.class, () -> new ComediAnalogSWOutDevice(EmulatedBoard.DIO64, 1));
        assertEquals("Error finding analog input subdevice for " + EmulatedBoard.DIO64
                + ": the device has no analog output subdevice", e.getMessage());
        assertFalse(e.getMessage().endsWith("Success"));
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    @Test
    void aNewHandleComesBackForEachCreation() {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 1)) {
            ByteBuffer second = ao.nCreateTask(MULTI, 2);
            assertNotNull(second);
            assertEquals(fixture.openBefore() + 2, EmulatedBoard.openCount());
            ao.nDestroy(second);
            assertEquals(fixture.openBefore() + 1, EmulatedBoard.openCount());
        }
    }

    @Test
    void loopbackReadsBackWhatWasWrittenWithinOneRawStep() {
        double step = 20.0 / MAXDATA;
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 2);
                var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(0, 14, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 15, -10, 10, AnalogReference.GROUND);
            double[][] cases = {{3.3, -7.25}, {-9.999, 9.999}, {0.0, 0.001}, {5.0, -5.0}};
            for (double[] written : cases) {
                ao.write(written);
                double[] read = ai.scan();
                assertEquals(written[0], read[0], step, "AO0 -> AI14");
                assertEquals(written[1], read[1], step, "AO1 -> AI15");
            }
        }
    }

    @Test
    void loopbackOnTheUnipolarRange() {
        double step = 10.0 / MAXDATA;
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 2);
                var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
            ao.configureChannel(0, 1, 0, 10, AnalogReference.GROUND);
            ao.configureChannel(1, 0, 0, 10, AnalogReference.GROUND);
            ai.configureChannel(0, 15, 0, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 14, 0, 10, AnalogReference.GROUND);
            ao.write(2.75, 8.125);
            double[] read = ai.scan();
            assertEquals(2.75, read[0], step, "index 0 went to AO1 -> AI15");
            assertEquals(8.125, read[1], step, "index 1 went to AO0 -> AI14");
        }
    }
}
