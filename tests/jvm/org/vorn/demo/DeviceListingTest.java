// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.vorn.acq.comedi.ComediDeviceInfo;
import org.vorn.acq.comedi.ComediRange;
import org.vorn.acq.comedi.ComediSubdeviceInfo;
import org.vorn.emu.EmulatedBoard;

/** The demo's --list on every emulated board, in this JVM: one block per subdevice with all it offers. */
class DeviceListingTest {
    @ParameterizedTest
    @ValueSource(strings = {EmulatedBoard.MULTI, EmulatedBoard.AI18, EmulatedBoard.NOCMD, EmulatedBoard.DO_ONLY,
            EmulatedBoard.DIO64, EmulatedBoard.DI16, EmulatedBoard.COMEDI_TEST})
    void listsEverySubdeviceWithItsChannelsRangesAndTiming(String board) {
        int openBefore = EmulatedBoard.openCount();
        ComediDeviceInfo info = ComediDeviceInfo.describe(board);
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DeviceListing.print(info, new PrintStream(bytes, true, StandardCharsets.UTF_8));
        String[] blocks = bytes.toString(StandardCharsets.UTF_8).split("\n\n");
        assertEquals(openBefore, EmulatedBoard.openCount(), "--list left the device open");

        assertTrue(blocks[0].startsWith(board + ": driver " + info.driverName() + ", board " + info.boardName()),
                blocks[0]);
        assertEquals(info.subdevices().size() + 1, blocks.length, String.join("\n\n", blocks));
        for (ComediSubdeviceInfo s : info.subdevices()) {
            String block = blocks[s.index() + 1] + "\n";
            List<String> expected = new ArrayList<>(List.of(
                    "subdevice " + s.index() + ": " + s.type().label() + "\n",
                    String.format("  flags:     0x%08x", s.flags()),
                    "  channels:  " + s.channelCount() + " (0-" + (s.channelCount() - 1) + ")\n",
                    "  max raw:   " + s.maxDataOf(0) + "\n"));
            List<ComediRange> ranges = s.rangesOf(0);
            for (int r = 0; r < ranges.size(); r++) {
                expected.add((r == 0 ? "  ranges:    " : ", ") + r + " [" + Numbers.plain(ranges.get(r).min()) + ", "
                        + Numbers.plain(ranges.get(r).max()) + "] V");
            }
            if (s.takesCommands()) {
                long period = s.fastestScan().scanPeriodNanos();
                expected.add("  fastest:   a scan every " + period + " ns, " + Numbers.plain(1e9 / period) + " scans/s");
            } else {
                expected.add("  commands:  none\n");
            }
            for (String text : expected) {
                assertTrue(block.contains(text), "missing '" + text + "' in\n" + block);
            }
        }
    }
}
