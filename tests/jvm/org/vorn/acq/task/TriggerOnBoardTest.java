// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.function.DoubleUnaryOperator;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediAnalogSWOutDevice;
import org.vorn.acq.comedi.ComediChannelRange;
import org.vorn.emu.EmulatedBoard;
import org.vorn.hdf5.Hdf5RecordLog;
import org.vorn.hdf5.Hdf5ScanLog;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.H5py;

/**
 * Triggers on the emulated board's documented signals, on the MANUAL clock (the command starts at
 * emulated time 0, so every sample's time and value follow from the board's formulas): the scans
 * where each trigger fires are computed here from those formulas, independently of the task.
 * Positions: 0 sawtooth (ch6, ±10 V), 1 sine (ch4, ±5 V), 2 square (ch5, ±5 V), 3 counter (ch7).
 */
class TriggerOnBoardTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final int[] CHANNELS = {6, 4, 5, 7};
    private static final double[] RANGE = {10, 5, 5, 10};
    private static final int POSITIONS = CHANNELS.length;
    private static final int COUNTER = 3;
    private static final long SCANS = 6000; // 6 s at 1 kHz: 12 sawtooth periods, 60 sine periods

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    @TempDir
    Path dir;

    /** What the board puts out at channel {@code ch}, time {@code t} ns, from its documented formulas. */
    private static double signal(int ch, long t) {
        return switch (ch) {
            case 4 -> 2 * Math.sin(2 * Math.PI * 10 * ((t % 100_000_000L) / 1e9));
            case 5 -> t % 200_000_000L < 100_000_000L ? 3 : -3;
            case 6 -> -4 + 8 * ((t % 500_000_000L) / 5e8);
            default -> throw new IllegalArgumentException("channel " + ch);
        };
    }

    /** A case: the trigger, the record's shape, and the rule that says where it fires. */
    private record Case(String name, Trigger trigger, int pre, int post, long holdOff, Fires fires) {
    }

    /** Whether a scan of value {@code v} fires; {@code armed[0]} carries what the scans before it left. */
    private interface Fires {
        boolean test(double v, boolean[] armed);
    }

    private static Fires crossing(double level, double hysteresis, boolean rising) {
        DoubleUnaryOperator s = rising ? v -> v : v -> -v; // a falling crossing is a rising one upside down
        double l = s.applyAsDouble(level);
        return (v, armed) -> {
            double x = s.applyAsDouble(v);
            boolean fire = armed[0] && x >= l;
            if (fire) {
                armed[0] = false;
            } else if (x < l - hysteresis) {
                armed[0] = true;
            }
            return fire;
        };
    }

    private static Fires entering(double low, double high) {
        return (v, armed) -> {
            boolean inside = low <= v && v <= high;
            boolean fire = armed[0] && inside;
            armed[0] = !inside;
            return fire;
        };
    }

    private static final List<Case> CASES = List.of(
            new Case("sawtooth rising through 0 V, the last cut by the end",
                    Trigger.level(0, 0, Trigger.Slope.RISING), 50, 400, 0, crossing(0, 0, true)),
            new Case("sawtooth falling through 0 V (its wrap)",
                    Trigger.level(0, 0, Trigger.Slope.FALLING), 10, 10, 0, crossing(0, 0, false)),
            new Case("sawtooth rising, the first crossing before 300 scans exist",
                    Trigger.level(0, 0, Trigger.Slope.RISING), 300, 100, 0, crossing(0, 0, true)),
            new Case("sine falling through 1 V with hysteresis and hold-off",
                    Trigger.level(1, 1, Trigger.Slope.FALLING).withHysteresis(0.5), 20, 30, 150,
                    crossing(1, 0.5, false)),
            new Case("sine entering 1..1.5 V", Trigger.window(1, 1, 1.5, Trigger.Crossing.ENTERING), 5, 5, 0,
                    entering(1, 1.5)),
            new Case("square rising, every other edge inside a record",
                    Trigger.level(2, 0, Trigger.Slope.RISING), 0, 300, 0, crossing(0, 0, true)));

    @Test
    void triggersFireAtTheScansTheSignalFormulasGive() throws Exception {
        List<List<String>> got = new ArrayList<>();
        try (var ai = new ComediAnalogStreamingDevice(MULTI, POSITIONS, 1000, 65536)) {
            for (int p = 0; p < POSITIONS; p++) {
                ai.configureChannel(p, CHANNELS[p], -RANGE[p], RANGE[p], AnalogReference.GROUND);
            }
            ai.setScanCount(SCANS);
            ai.configure();
            var builder = AcquisitionTask.on(ai).everyScans(700);
            for (Case c : CASES) {
                List<String> records = new ArrayList<>();
                got.add(records);
                builder.onRecord(c.trigger(), c.pre(), c.post(), c.holdOff(), r -> records.add(check(r)));
            }
            AcquisitionTask task = builder.build();
            task.start();
            assertEquals(0, EmulatedBoard.advanceScans(MULTI, SCANS));
            TaskEnd end = task.awaitEnd(Duration.ofMinutes(1));
            assertEquals(TaskEnd.Reason.COMPLETED, end.reason(), String.valueOf(end));
            List<ComediChannelRange> positions = new ArrayList<>();
            for (int p = 0; p < POSITIONS; p++) {
                positions.add(ai.getChannelRange(p));
            }
            long sp = ai.getScanPeriodNanos();
            long cp = ai.getConvertPeriodNanos();
            for (int i = 0; i < CASES.size(); i++) {
                Case c = CASES.get(i);
                List<String> want = expected(c, positions, sp, cp);
                assertTrue(want.size() >= 5, c.name() + ": a case with too few records proves little: " + want);
                assertEquals(want, got.get(i), c.name());
            }
        }
    }

    /** The records the formulas give: crossings, then the pretrigger and hold-off rules. */
    private static List<String> expected(Case c, List<ComediChannelRange> positions, long sp, long cp) {
        int p = c.trigger().getPosition();
        ComediChannelRange range = positions.get(p);
        boolean[] armed = {false};
        long next = c.pre();
        List<String> out = new ArrayList<>();
        for (long k = 0; k < SCANS; k++) {
            long t = (k + 1) * sp - (POSITIONS - 1 - p) * cp;
            double v = signal(CHANNELS[p], t);
            double min = range.range().min(), max = range.range().max();
            long code = Math.max(0, Math.min(65535, (long) Math.floor((v - min) / (max - min) * 65535 + 0.5)));
            if (c.fires().test(range.toVolts(code), armed) && k >= next) {
                next = k + Math.max(c.post(), c.holdOff());
                long scans = Math.min(c.pre() + c.post(), SCANS - (k - c.pre()));
                out.add(k + ":" + (k - c.pre()) + "+" + scans + (scans < c.pre() + c.post() ? "!" : ""));
            }
        }
        return out;
    }

    /** A record's summary, after checking that it is contiguous on the counter. */
    private static String check(TriggerRecord r) {
        for (int s = 0; s < r.getScanCount(); s++) {
            long sample = (r.getFirstScan() + s) * POSITIONS + COUNTER;
            assertEquals(sample % 65536, r.getRaw(s, COUNTER), "record " + r.getNumber() + ", scan " + s);
        }
        assertEquals(r.getTriggerScan() * r.getStream().scanPeriodNanos() / 1e9, r.getTriggerSeconds(), 1e-12);
        return r.getTriggerScan() + ":" + r.getFirstScan() + "+" + r.getScanCount() + (r.isComplete() ? "" : "!");
    }

    /**
     * AO0 read back on AI ch14 (the loopback: the code written is the code converted), written
     * once a scan: a value that falls back one code below the level and crosses it again is a
     * new crossing without hysteresis, and none with 5 codes of it until the value went below the band.
     */
    @Test
    void hysteresisSuppressesAOneCodeReCrossingOnTheLoopback() throws Exception {
        int[] codes = {30000, 40000, 39999, 40000, 40001, 30000, 40000, 39999, 40001, 39995, 40000, 39994, 40000};
        List<Long> plain = new ArrayList<>();
        List<Long> banded = new ArrayList<>();
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000, 65536);
                var ao = new ComediAnalogSWOutDevice(MULTI, 1)) {
            ai.configureChannel(0, 14, -10, 10, AnalogReference.GROUND);
            ai.setScanCount(codes.length);
            ai.configure();
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ComediChannelRange range = ai.getChannelRange(0);
            double level = range.toVolts(40000);
            Trigger up = Trigger.level(0, level, Trigger.Slope.RISING);
            AcquisitionTask task = AcquisitionTask.on(ai).everyScans(1)
                    .onRecord(up, 0, 1, r -> plain.add(r.getTriggerScan()))
                    .onRecord(up.withHysteresis(level - range.toVolts(39995)), 0, 1, r -> banded.add(r.getTriggerScan()))
                    .build();
            task.start();
            // Each write halfway through a scan period: a write at the instant of a conversion
            // would count for it or not depending on whether the reader had read it yet.
            long half = ai.getScanPeriodNanos() / 2;
            for (int code : codes) {
                assertEquals(0, EmulatedBoard.advanceNs(half));
                ao.write(range.toVolts(code));
                assertEquals(0, EmulatedBoard.advanceNs(ai.getScanPeriodNanos() - half));
            }
            assertEquals(TaskEnd.Reason.COMPLETED, task.awaitEnd(Duration.ofMinutes(1)).reason());
        }
        assertEquals(List.of(1L, 3L, 6L, 8L, 10L, 12L), plain, "every crossing, one code back included");
        assertEquals(List.of(1L, 6L, 12L), banded, "re-armed only below the band of 5 codes");
    }

    @Test
    void theScanLogHoldsEveryTriggerAsAnEventAtItsScansTime() throws Exception {
        Path file = dir.resolve("triggers.h5");
        Logged run = logged(new Hdf5ScanLog(file), null, 2000);
        Map<String, Object> expect = run.expect(file, 2000);
        expect.put("dtype", "uint16");
        expect.put("positions", 2);
        expect.put("rows", 2000);
        H5py.check(dir, expect);
    }

    @Test
    void aRecordLogHoldsTheRecordsAloneAndTheCutOneApart() throws Exception {
        Path file = dir.resolve("records.h5");
        var log = new Hdf5RecordLog(file, 20, 100);
        Logged run = logged(log, log, 2800);
        long cut = run.triggers.remove(run.triggers.size() - 1);
        assertEquals(List.of(250L, 750L, 1250L, 1750L, 2250L), run.triggers, "a crossing every 500 scans");
        Map<String, Object> expect = run.expect(file, 2800);
        expect.put("root", Map.of("format", Hdf5RecordLog.FORMAT, "pretrigger_scans", 20, "posttrigger_scans", 100));
        expect.put("records", Map.of("trigger_scans", run.triggers, "shape", List.of(5, 120, 2),
                "incomplete_trigger_scan", List.of(cut), "incomplete_scans", 2800 - (cut - 20),
                "counter_position", 1));
        H5py.check(dir, expect);
    }

    /** A run of the sawtooth (position 0) and the counter (1) whose rising zero crossings go to {@code log}. */
    private record Logged(List<Long> triggers, List<Long> times, List<List<Object>> events) {
        Map<String, Object> expect(Path file, long scans) {
            List<List<Object>> all = new ArrayList<>(events);
            all.add(List.of(scans, "completed", ""));
            Map<String, Object> expect = new LinkedHashMap<>();
            expect.put("file", file);
            expect.put("events", all);
            expect.put("trigger_times", times);
            return expect;
        }
    }

    private Logged logged(ScanRecorder log, RecordListener records, long scans) throws Exception {
        Logged run = new Logged(new ArrayList<>(), new ArrayList<>(), new ArrayList<>());
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 2, 1000, 65536)) {
            ai.configureChannel(0, 6, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 7, -10, 10, AnalogReference.GROUND);
            ai.setScanCount(scans);
            ai.configure();
            Trigger zero = Trigger.level(0, 0, Trigger.Slope.RISING);
            RecordListener collect = r -> {
                run.triggers().add(r.getTriggerScan());
                run.times().add(r.getTriggerEpochNanos());
                run.events().add(List.of(r.getTriggerScan(), "trigger", "position 0"));
                if (records != null) {
                    records.recordArrived(r);
                }
            };
            AcquisitionTask task = AcquisitionTask.on(ai).everyScans(300).recordTo(log, false)
                    .onRecord(zero, 20, 100, collect).build();
            task.start();
            EmulatedBoard.advanceScans(MULTI, scans);
            TaskEnd end = task.awaitEnd(Duration.ofMinutes(1));
            assertEquals(TaskEnd.Reason.COMPLETED, end.reason(), String.valueOf(end));
        }
        assertTrue(run.triggers().size() >= 4, "a crossing every 500 scans: " + run.triggers());
        return run;
    }
}
