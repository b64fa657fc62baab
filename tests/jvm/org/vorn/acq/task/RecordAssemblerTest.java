// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.stream.Stream;

import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediChannelRange;
import org.vorn.acq.comedi.ComediRange;

/**
 * The trigger and record rules on synthetic scans: position 0 carries the signal (a range where a
 * code is its own value), position 1 the scan's index, so that a record out of order or with a gap
 * shows. The scans come in blocks of 3, so that records and edges straddle blocks.
 */
class RecordAssemblerTest {
    private static final Trigger UP = Trigger.level(0, 10, Trigger.Slope.RISING);

    static Stream<Arguments> cases() {
        int[] pulses = {0, 10, 0, 10, 0, 10, 0, 10};
        return Stream.of(
                // name, trigger, pretrigger, posttrigger, hold-off, signal, expected "trigger:first+scans[!]"
                Arguments.of("rising", UP, 0, 1, 0, new int[] {0, 10, 0, 10, 12, 9, 10}, "1:1+1 3:3+1 6:6+1"),
                Arguments.of("first scan has none before it", UP, 0, 1, 0, new int[] {10, 10, 0, 10}, "3:3+1"),
                Arguments.of("falling", Trigger.level(0, 10, Trigger.Slope.FALLING), 0, 1, 0,
                        new int[] {20, 10, 20, 11, 9, 10}, "1:1+1 4:4+1"),
                Arguments.of("hysteresis ignores one code back", UP.withHysteresis(2), 0, 1, 0,
                        new int[] {0, 10, 9, 10, 11, 7, 10}, "1:1+1 6:6+1"),
                Arguments.of("hysteresis arms below the band only", UP.withHysteresis(2), 0, 1, 0,
                        new int[] {9, 10, 7, 10}, "3:3+1"),
                Arguments.of("pretrigger: none before N scans exist", UP, 2, 2, 0, new int[] {0, 10, 0, 10, 0},
                        "3:1+4"),
                Arguments.of("no trigger while a record fills", UP, 0, 3, 0, pulses, "1:1+3 5:5+3"),
                Arguments.of("hold-off", UP, 0, 1, 5, pulses, "1:1+1 7:7+1"),
                Arguments.of("records share pretrigger scans", UP, 3, 2, 0, pulses, "3:0+5 5:2+5 7:4+4!"),
                Arguments.of("cut by the end", UP, 0, 3, 0, new int[] {0, 10, 0}, "1:1+2!"),
                Arguments.of("window entering", Trigger.window(0, 5, 15, Trigger.Crossing.ENTERING), 0, 1, 0,
                        new int[] {0, 10, 20, 10, 0, 5}, "1:1+1 3:3+1 5:5+1"),
                Arguments.of("window leaving", Trigger.window(0, 5, 15, Trigger.Crossing.LEAVING), 0, 1, 0,
                        new int[] {0, 10, 20, 10, 0, 5}, "2:2+1 4:4+1"),
                Arguments.of("line rising", Trigger.line(0, 1, Trigger.LineCondition.RISING), 0, 1, 0,
                        new int[] {2, 0, 2, 3, 1, 2}, "2:2+1 5:5+1"),
                Arguments.of("line falling", Trigger.line(0, 1, Trigger.LineCondition.FALLING), 0, 1, 0,
                        new int[] {2, 0, 2, 3, 1, 2}, "1:1+1 4:4+1"),
                Arguments.of("line high, every scan", Trigger.line(0, 1, Trigger.LineCondition.HIGH), 0, 1, 0,
                        new int[] {2, 0, 2, 3, 1, 2}, "0:0+1 2:2+1 3:3+1 5:5+1"),
                Arguments.of("line low with hold-off", Trigger.line(0, 0, Trigger.LineCondition.LOW), 1, 1, 2,
                        new int[] {0, 0, 0, 0, 1, 0}, "1:0+2 3:2+2 5:4+2"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("cases")
    void recordsAreCutAtTheRightScans(String name, Trigger trigger, int pre, int post, long holdOff, int[] signal,
            String expected) throws Exception {
        StreamInfo stream = stream();
        List<String> got = new ArrayList<>();
        List<Long> triggersLogged = new ArrayList<>();
        var assembler = new RecordAssembler(trigger, pre, post, holdOff, r -> {
            for (int s = 0; s < r.getScanCount(); s++) {
                assertEquals(r.getFirstScan() + s, r.getRaw(s, 1), "contiguous");
                assertEquals(signal[(int) r.getFirstScan() + s], r.getVolts(s, 0), "converted");
            }
            assertEquals(got.size(), r.getNumber());
            assertEquals(r.getTriggerScan() * 1000, r.getTriggerEpochNanos() - 5_000);
            got.add(r.getTriggerScan() + ":" + r.getFirstScan() + "+" + r.getScanCount() + (r.isComplete() ? "" : "!"));
        });
        assembler.begin(stream, (scan, epochNanos, position) -> triggersLogged.add(scan));
        ByteBuffer raw = ByteBuffer.allocate(signal.length * 4).order(ByteOrder.nativeOrder());
        for (int s = 0; s < signal.length; s++) {
            raw.putShort((short) signal[s]).putShort((short) s);
        }
        for (int first = 0; first < signal.length; first += 3) {
            int n = Math.min(3, signal.length - first);
            assembler.scans(raw.duplicate().order(ByteOrder.nativeOrder()).position(first * 4), n);
        }
        assembler.end();
        assertEquals(expected, String.join(" ", got));
        assertEquals(got.stream().map(g -> Long.parseLong(g.substring(0, g.indexOf(':')))).toList(), triggersLogged);
    }

    private static StreamInfo stream() {
        var identity = new ComediChannelRange(0, -1, new ComediRange(0, 65535, ComediRange.Unit.VOLT, false), 65535,
                AnalogReference.GROUND);
        return new StreamInfo("fake", "none", "none", 0, 2, Collections.nCopies(2, identity), 1000, 0, 5_000, 0,
                "test");
    }
}
