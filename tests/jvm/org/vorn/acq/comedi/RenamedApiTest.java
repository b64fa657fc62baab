// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.List;
import java.util.SplittableRandom;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.vorn.acq.task.StreamInfo;
import org.vorn.emu.EmulatedBoard;
import org.vorn.testsupport.BoardFixture;

/**
 * What 0.2 renamed and merged: the one conversion record converts bit for bit as the formulas of
 * 0.1 did, every deprecated name answers what its new name answers, and the description records
 * print flags and sources by name.
 */
@SuppressWarnings("removal")
class RenamedApiTest {

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture();

    /** 0.1's conversion, as RawConversion and StreamInfo.Channel each wrote it. */
    private static double formulaOf01(long raw, double min, double max, long maxdata) {
        double x = raw;
        x /= maxdata;
        x *= max - min;
        return x + min;
    }

    @ParameterizedTest(name = "[{0}, {1}] with codes up to {2}")
    @CsvSource({"-10, 10, 65535", "-0.05, 0.05, 65535", "0, 5, 4095", "-10.24, 10.24, 262143", "4, 20, 65535",
            "-1e-3, 7.77, 4294967295"})
    void theOneConversionIsTheFormulaOf01ToTheBit(double min, double max, long maxdata) {
        var position = new ComediChannelRange(3, 1, new ComediRange(min, max, ComediRange.Unit.VOLT, false), maxdata,
                AnalogReference.DIFF);
        var raw = new RawConversion(min, max, RawConversion.UNIT_VOLT, maxdata);
        var channel = new StreamInfo.Channel(0, 3, "diff", min, max, "V", maxdata);
        SplittableRandom random = new SplittableRandom(maxdata);
        for (int i = 0; i < 2000; i++) {
            long code = i < 5 ? new long[] {0, 1, maxdata / 2, maxdata - 1, maxdata}[i] : random.nextLong(maxdata + 1);
            double expected = formulaOf01(code, min, max, maxdata);
            assertEquals(expected, position.toVolts(code), "ComediChannelRange, code " + code);
            assertEquals(expected, raw.toPhysical(code), "RawConversion, code " + code);
            assertEquals(expected, channel.toVolts(code), "StreamInfo.Channel, code " + code);
        }
    }

    @Test
    void deprecatedNamesAnswerAsTheNewOnes() {
        for (ScanBlock b : List.of(ScanBlock.interleaved(3, 4), ScanBlock.perChannel(3, 4))) {
            for (int k = 0; k < 6; k++) {
                b.put(k, k * 0.5);
            }
            b.scans = 2;
            b.firstScan = 17;
            b.endOfStream = true;
            assertEquals(List.of(3, 4, 2, 17L, true),
                    List.of(b.getPositionCount(), b.getCapacity(), b.getScanCount(), b.getFirstScan(), b.isEndOfStream()));
            assertEquals(List.of(3, 4, 2, 17L, true),
                    List.of(b.channelCount(), b.capacity(), b.scans(), b.firstScan(), b.endOfStream()));
            for (int k = 0; k < 6; k++) {
                assertEquals(k * 0.5, b.getVolts(k / 3, k % 3));
                assertEquals(k * 0.5, b.get(k / 3, k % 3));
            }
            if (b.isInterleaved()) {
                assertSame(b.getVolts(), b.values());
            } else {
                assertSame(b.getPositionVolts(2), b.channel(2));
            }
        }
        var fastest = new ComediTimedCommand(StreamCommand.TRIG_NOW, 0, StreamCommand.TRIG_FOLLOW, 0,
                StreamCommand.TRIG_TIMER, 1000, StreamCommand.TRIG_COUNT, 4, StreamCommand.TRIG_NONE, 0);
        assertEquals(4000, fastest.scanPeriodNanos());
        assertEquals(4000, fastest.scanPeriodNs());

        List<StreamInfo.Channel> channels = List.of(new StreamInfo.Channel(0, 4, "ground", -10, 10, "V", 65535),
                new StreamInfo.Channel(1, 9, "other", 0, 20, "mA", 4095));
        var info = new StreamInfo("/dev/x", "drv", "brd", 0, channels, 2, 1000, 0, 5, 0, "0.2.0");
        assertEquals(2, info.positionCount());
        assertEquals(2, info.channelCount());
        assertEquals(channels, info.channels());
        assertEquals(new ComediChannelRange(9, -1, new ComediRange(0, 20, ComediRange.Unit.MILLIAMPERE, false), 4095,
                AnalogReference.OTHER), info.positions().get(1));
        IllegalArgumentException typo = assertThrows(IllegalArgumentException.class,
                () -> new StreamInfo.Channel(0, 4, "grnd", -10, 10, "V", 65535));
        assertEquals("reference \"grnd\" is not one of \"ground\", \"common\", \"diff\", \"other\"", typo.getMessage());
    }

    @Test
    void descriptionsPrintFlagsAndSourcesByName() {
        // 7442432, the flags of an analog input that streams, and a bit comedilib leaves unnamed.
        assertEquals("[CMD, CMD_READ, READABLE, GROUND, COMMON, DIFF]",
                FlagNames.list(7442432, FlagNames.SUBDEVICE_FLAGS));
        assertEquals("[READABLE, 0x00080000]", FlagNames.list(0x90000, FlagNames.SUBDEVICE_FLAGS));
        assertEquals("[WAKE_EOS, ROUND_UP]", FlagNames.commandFlags(0x20020));
        assertEquals("ComediCommandSources[start=[NOW, EXT, INT], scanBegin=[FOLLOW, TIMER], convert=[TIMER],"
                + " scanEnd=[COUNT], stop=[NONE, COUNT]]", new ComediCommandSources(0xC2, 0x14, 0x10, 0x20, 0x21)
                        .toString());

        ComediSubdeviceInfo ai = ComediDeviceInfo.describe(EmulatedBoard.MULTI)
                .firstOfType(ComediSubdeviceType.ANALOG_INPUT);
        assertEquals("ComediSubdeviceInfo[index=0, type=ANALOG_INPUT, flags=[CMD, CMD_READ, READABLE, GROUND, COMMON,"
                + " DIFF], channelCount=16, maxDataPerChannel=false, maxData=[65535], rangesPerChannel=false,"
                + " ranges=[[[-10, 10] V, [-5, 5] V, [-1, 1] V, [0, 10] V, [0, 5] V]],"
                + " commandSources=ComediCommandSources[start=[NOW, INT], scanBegin=[FOLLOW, TIMER],"
                + " convert=[NOW, TIMER], scanEnd=[COUNT], stop=[NONE, COUNT]],"
                + " fastestScan=ComediTimedCommand[start=NOW 0, scanBegin=FOLLOW 0, convert=TIMER 1000 ns,"
                + " scanEnd=COUNT 1, stop=COUNT 2]]", ai.toString());

        try (var stream = new ComediAnalogStreamingDevice(EmulatedBoard.MULTI, 3, 3000, 3000)) {
            for (int p = 0; p < 3; p++) {
                stream.configureChannel(p, p, -5, 5, AnalogReference.GROUND);
            }
            stream.configure();
            assertEquals("StreamCommand[subdevice=0, flags=[], start=NOW 0, scanBegin=TIMER 333000 ns,"
                    + " convert=TIMER 111000 ns, scanEnd=COUNT 3, stop=NONE 0, chanlistLength=3]",
                    stream.getCommand().toString());
            assertEquals(List.of(3, stream.getScanRate(), stream.channelRange(2)),
                    List.of(stream.getPositionCount(), stream.getScanRateHz(), stream.getChannelRange(2)));
        }
    }
}
