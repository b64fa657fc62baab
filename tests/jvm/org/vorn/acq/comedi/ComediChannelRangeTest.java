// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;


import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.ComediReference;

/**
 * The range a position got, on each analog device, against the range comedilib itself finds for the
 * request and the maximum raw value it reports for the channel.
 */
class ComediChannelRangeTest {
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    private static ComediAnalogDevice open(String kind, String board) {
        return switch (kind) {
            case "sampling" -> new ComediAnalogSamplingDevice(board, 4);
            case "output" -> new ComediAnalogSWOutDevice(board, 2);
            case "streaming" -> new ComediAnalogStreamingDevice(board, 4, 1000.0, 4096);
            default -> throw new IllegalArgumentException(kind);
        };
    }

    @ParameterizedTest
    @CsvSource({
        "sampling, /dev/comedi-emu/multi, 0, 3, -1, 1", "sampling, /dev/comedi-emu/ai18, 0, 9, 0, 4.5",
        "sampling, /dev/comedi-emu/comedi_test, 0, 2, -5, 5", "output, /dev/comedi-emu/multi, 1, 1, 0, 10",
        "output, /dev/comedi-emu/nocmd, 1, 0, -3, 3", "streaming, /dev/comedi-emu/ai18, 0, 7, -10, 10",
        "streaming, /dev/comedi-emu/comedi_test, 0, 5, -0.5, 0.5"})
    void eachDeviceReportsTheRangeComedilibFindsForTheRequest(String kind, String board, int subdev, int channel,
            double min, double max) {
        ComediChannelRange expected = comedilibsChoice(board, subdev, channel, min, max);
        try (ComediAnalogDevice device = open(kind, board)) {
            assertNull(device.getChannelRange(1), "an unconfigured position has a range");
            device.configureChannel(1, channel, min, max, AnalogReference.GROUND);
            assertEquals(expected, device.getChannelRange(1));
            assertNull(device.getChannelRange(0));
            // A later configuration of the same position replaces what it got.
            device.configureChannel(1, 0, -10, 10, AnalogReference.DIFF);
            ComediChannelRange widest = device.getChannelRange(1);
            assertEquals(0, widest.rangeIndex());
            assertEquals(AnalogReference.DIFF, widest.reference());
            // A failed one leaves it.
            assertThrows(ComediException.class, () -> device.configureChannel(1, 0, -100, 100, AnalogReference.GROUND));
            assertEquals(widest, device.getChannelRange(1));
        }
    }

    private static ComediChannelRange comedilibsChoice(String board, int subdev, int channel, double min, double max) {
        long h = ComediReference.open(board);
        assertNotEquals(0L, h);
        try {
            int index = ComediReference.findRange(h, subdev, channel, min, max);
            double[] r = ComediReference.range(h, subdev, channel, index);
            return new ComediChannelRange(channel, index, ComediRange.of(r[0], r[1], (int) r[2]),
                    ComediReference.maxData(h, subdev, channel), AnalogReference.GROUND);
        } finally {
            ComediReference.close(h);
        }
    }

    /** The case a user meets: ±1 V asked, +4 V on the wire, a reading of exactly the range's end. */
    @Test
    void aReadingAtTheEndOfTheRangeIsTheRangesLimit() {
        try (var ai = new ComediAnalogSamplingDevice(EmulatedBoard.MULTI, 1)) {
            ai.configureChannel(0, 3, -1, 1, AnalogReference.GROUND);
            ComediChannelRange got = ai.getChannelRange(0);
            assertEquals(got.range().max(), ai.scan()[0]);
            assertEquals(2.0 / 65535, got.resolution());
            assertEquals(ComediRange.Unit.VOLT, got.range().unit());
        }
    }

    @Test
    void positionsOutsideTheDeviceAndClosedDevicesAreRefused() {
        var ai = new ComediAnalogSamplingDevice(EmulatedBoard.MULTI, 256);
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> ai.getChannelRange(256));
        assertEquals("device /dev/comedi-emu/multi: position 256 is outside 0..255 (the device was opened for 256 "
                + "channels)", e.getMessage());
        assertThrows(IllegalArgumentException.class, () -> ai.getChannelRange(-1));
        ai.configureChannel(255, 0, -5, 5, AnalogReference.GROUND);
        assertEquals(1, ai.getChannelRange(255).rangeIndex());
        // The native behind it checks for itself: the table ends at 256 whatever the device was opened for.
        ai.lock();
        try {
            ComediException native256 = assertThrows(ComediException.class,
                    () -> ComediAnalogDevice.nChannelRange(ai.handle(), 256, new double[7]));
            assertEquals("Maximum channels supported is 256, requesting 256", native256.getMessage());
            assertThrows(ComediException.class, () -> ComediAnalogDevice.nChannelRange(ai.handle(), 0, new double[6]));
        } finally {
            ai.unlock();
        }
        ai.close();
        assertThrows(IllegalStateException.class, () -> ai.getChannelRange(0));
    }
}
