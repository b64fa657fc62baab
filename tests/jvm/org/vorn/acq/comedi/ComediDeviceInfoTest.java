// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vorn.testsupport.Errno.EBUSY;
import static org.vorn.testsupport.Errno.EIO;

import java.util.ArrayList;
import java.util.List;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.ComediReference;

/**
 * The description of every emulated board against comedilib's own answers, asked one library call
 * at a time in the same process: what the description holds is what comedilib reports, and
 * describing leaves nothing open, whether it succeeds or fails.
 */
class ComediDeviceInfoTest {

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    @ParameterizedTest
    @ValueSource(strings = {EmulatedBoard.MULTI, EmulatedBoard.AI18, EmulatedBoard.NOCMD, EmulatedBoard.DO_ONLY,
            EmulatedBoard.DIO64, EmulatedBoard.DI16, EmulatedBoard.COMEDI_TEST})
    void describesWhatComedilibReports(String board) {
        ComediDeviceInfo info = ComediDeviceInfo.describe(board);
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount(), "the description keeps the device open");
        assertEquals(askComedilib(board), info);
        assertTrue(info.subdevices().stream().allMatch(s -> s.channelCount() > 0), "a board without channels");
    }

    /** The same description, built from comedilib's calls as its info demo makes them. */
    private static ComediDeviceInfo askComedilib(String board) {
        long h = ComediReference.open(board);
        assertNotEquals(0L, h, "comedilib cannot open " + board);
        try {
            List<ComediSubdeviceInfo> subdevices = new ArrayList<>();
            for (int s = 0; s < ComediReference.subdeviceCount(h); s++) {
                subdevices.add(askComedilib(h, s));
            }
            return new ComediDeviceInfo(board, ComediReference.driverName(h), ComediReference.boardName(h),
                    ComediReference.versionCode(h), subdevices);
        } finally {
            ComediReference.close(h);
        }
    }

    private static ComediSubdeviceInfo askComedilib(long h, int s) {
        int nChannels = ComediReference.channelCount(h, s);
        boolean maxDataPerChannel = ComediReference.maxDataIsChannelSpecific(h, s);
        List<Long> maxData = new ArrayList<>();
        for (int c = 0; c < (maxDataPerChannel ? nChannels : 1); c++) {
            maxData.add(ComediReference.maxData(h, s, c));
        }
        boolean rangesPerChannel = ComediReference.rangeIsChannelSpecific(h, s);
        List<List<ComediRange>> ranges = new ArrayList<>();
        for (int c = 0; c < (rangesPerChannel ? nChannels : 1); c++) {
            List<ComediRange> list = new ArrayList<>();
            for (int r = 0; r < ComediReference.rangeCount(h, s, c); r++) {
                double[] range = ComediReference.range(h, s, c, r);
                list.add(ComediRange.of(range[0], range[1], (int) range[2]));
            }
            ranges.add(list);
        }
        int[] mask = ComediReference.commandSourceMask(h, s);
        ComediCommandSources sources = mask == null ? null
                : new ComediCommandSources(mask[0], mask[2], mask[4], mask[6], mask[8]);
        int[] c = mask == null ? null : ComediReference.genericTimed(h, s, 1, 1);
        ComediTimedCommand fastest = c == null ? null
                : new ComediTimedCommand(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]);
        return new ComediSubdeviceInfo(s, ComediReference.subdeviceType(h, s), ComediReference.subdeviceFlags(h, s),
                nChannels, maxDataPerChannel, maxData, rangesPerChannel, ranges, sources, fastest);
    }

    @Test
    void analogInputOfMultiAsTheBoardIsBuilt() {
        ComediSubdeviceInfo ai = ComediDeviceInfo.describe(EmulatedBoard.MULTI)
                .firstOfType(ComediSubdeviceType.ANALOG_INPUT);
        long h = ComediReference.open(EmulatedBoard.MULTI);
        try {
            // Every channel answers through the shared list, and a range comedilib would choose is found there.
            for (int c = 0; c < ai.channelCount(); c++) {
                assertEquals(ComediReference.maxData(h, ai.index(), c), ai.maxDataOf(c));
                int chosen = ComediReference.findRange(h, ai.index(), c, -1, 1);
                ComediRange range = ai.rangesOf(c).get(chosen);
                assertTrue(range.min() <= -1 && range.max() >= 1, range.toString());
            }
        } finally {
            ComediReference.close(h);
        }
        assertTrue(ai.takesCommands());
        assertTrue(ai.fastestScan().scanPeriodNanos() > 0, "the fastest scan has no period");
        assertThrows(IndexOutOfBoundsException.class, () -> ai.maxDataOf(ai.channelCount()));
        assertThrows(IndexOutOfBoundsException.class, () -> ai.rangesOf(-1));
    }

    @Test
    void busyAndRunningFlagsAreThoseOfTheMoment() {
        try (var stream = new ComediAnalogStreamingDevice(EmulatedBoard.MULTI, 1, 1000.0, 4096)) {
            stream.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            stream.configure();
            stream.start();
            ComediSubdeviceInfo ai = ComediDeviceInfo.describe(EmulatedBoard.MULTI).subdevices().get(0);
            int busyRunning = 0x1 | 0x08000000;
            assertEquals(busyRunning, ai.flags() & (busyRunning | 0x2), "busy and running, but not owned by the describer");
            stream.stop();
        }
        assertEquals(0, ComediDeviceInfo.describe(EmulatedBoard.MULTI).subdevices().get(0).flags() & 0x08000001);
    }

    @Test
    void aFailedOpenNamesTheDevice() {
        ComediException e = assertThrows(ComediException.class,
                () -> ComediDeviceInfo.describe("/dev/comedi-emu/no-such-board"));
        assertEquals("Error opening comedi device /dev/comedi-emu/no-such-board: No such file or directory",
                e.getMessage());
        assertThrows(IllegalArgumentException.class, () -> ComediDeviceInfo.describe(null));
        IllegalArgumentException nul = assertThrows(IllegalArgumentException.class,
                () -> ComediDeviceInfo.describe(EmulatedBoard.MULTI + "\0/x"));
        assertEquals("device path \"/dev/comedi-emu/multi\\0/x\" contains a NUL character at index 21; a device path "
                + "is a C string without NUL", nul.getMessage());
    }

    /** Requests that fail after the open: comedilib's second SUBDINFO asks for subdevice 0's flags. */
    @Test
    void aFailedRequestClosesTheDeviceAndNamesIt() {
        EmulatedBoard.failNth(EmulatedBoard.OP_SUBDINFO, 2, EIO);
        ComediException flags = assertThrows(ComediException.class, () -> ComediDeviceInfo.describe(EmulatedBoard.MULTI));
        assertEquals("Error reading the flags of subdevice 0 of comedi device /dev/comedi-emu/multi: "
                + "Input/output error", flags.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());

        // A command test that fails for another reason than "no commands" is no answer about commands.
        EmulatedBoard.failNext(EmulatedBoard.OP_CMDTEST, EBUSY);
        ComediException sources = assertThrows(ComediException.class,
                () -> ComediDeviceInfo.describe(EmulatedBoard.MULTI));
        assertEquals("Error reading the command sources of subdevice 0 of comedi device /dev/comedi-emu/multi: "
                + "Device or resource busy", sources.getMessage());
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());

        EmulatedBoard.failNth(EmulatedBoard.OP_CMDTEST, 2, EBUSY);
        ComediException timed = assertThrows(ComediException.class,
                () -> ComediDeviceInfo.describe(EmulatedBoard.MULTI));
        assertEquals("Error reading the fastest timed scan of subdevice 0 of comedi device /dev/comedi-emu/multi: "
                + "Device or resource busy", timed.getMessage());
    }

    @Test
    void rangesAndSourcesInWords() {
        assertEquals("[-10, 10] V", ComediRange.of(-10, 10, 0).toString());
        assertEquals("[0, 20] mA", ComediRange.of(0, 20, 1).toString());
        assertEquals("[0, 1] × external", ComediRange.of(0, 1, 0x102).toString());
        assertEquals("[-0.5, 2.5] V", ComediRange.of(-0.5, 2.5, 0).toString());
        assertEquals("now|int", ComediCommandSources.names(0x2 | 0x80));
        assertEquals("unknown(0x00000000)", ComediCommandSources.names(0));
        assertEquals(ComediSubdeviceType.UNKNOWN, ComediSubdeviceType.of(13));
        assertEquals(ComediSubdeviceType.DIGITAL_IO, ComediSubdeviceType.of(5));
    }
}
