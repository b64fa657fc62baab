// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.vorn.acq.task.AcquisitionTask;
import org.vorn.acq.task.TaskEnd;
import org.vorn.emu.EmulatedBoard;
import org.vorn.hdf5.Hdf5ScanLog;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.H5py;
import org.vorn.testsupport.SoftcalFile;

/**
 * Software calibration on the emulated softcal board (converters with a gain, offset and
 * second-order error, emulated-board/README.md) through every analog device class, with its
 * calibration file where comedilib looks by default, with a file that is missing, with the linear
 * map asked for, and on multi, whose converters need none. The codes are the board's own
 * ({@code EmulatedBoard.expectedRaw}, {@code aoRaw}); the volts are what Java gets.
 */
class SoftCalibrationTest {
    private static final String SOFTCAL = EmulatedBoard.SOFTCAL;
    private static final double LSB_10V = 20.0 / 65535;

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    @BeforeEach
    void installTheDefaultFile() {
        SoftcalFile.installAtDefaultPath();
    }

    /** A fixed input signal on one range: the range index on the board, and its documented voltage. */
    record In(int channel, double min, double max, int range, double volts) {
        double lsb() {
            return (max - min) / 65535;
        }
    }

    /** Every range of the board; 0..5 V (range 4) has no entry in the file. */
    private static final In[] INPUTS = {new In(1, -5, 5, 1, 1.0), new In(8, -10, 10, 0, 9.0),
        new In(2, -5, 5, 1, -2.5), new In(10, -1, 1, 2, 0.5), new In(12, 0, 10, 3, 3.3), new In(13, -10, 10, 0, -7.0),
        new In(3, 0, 5, 4, 4.0)};
    private static final int NO_ENTRY_POSITION = 6;

    /** Two AO channels, their ranges, and the volts each scan writes; read back on AI14 and AI15. */
    private static final double[][] AO_RANGES = {{-10, 10}, {0, 10}};
    private static final double[][] AO_SCANS = {{-6.25, 1.25}, {0.5, 6.0}, {7.5, 8.75}};

    enum Setting {
        /** The repository's file at comedilib's default path. */
        DEFAULT_FILE(SOFTCAL, null, CalibrationState.CALIBRATED),
        /** A file the program names that is not there. */
        MISSING_FILE(SOFTCAL, Calibration.file(Path.of("/nonexistent/softcal.calibration")),
                CalibrationState.UNCALIBRATED_NO_FILE),
        LINEAR(SOFTCAL, Calibration.linear(), CalibrationState.LINEAR_REQUESTED),
        /** A board that needs no calibration: unchanged to the bit. */
        MULTI(EmulatedBoard.MULTI, null, CalibrationState.NOT_NEEDED);

        final String board;
        final Calibration calibration;
        final CalibrationState state;

        Setting(String board, Calibration calibration, CalibrationState state) {
            this.board = board;
            this.calibration = calibration;
            this.state = state;
        }

        void apply(ComediAnalogDevice d) {
            if (calibration != null) {
                d.setCalibration(calibration);
            }
        }
    }

    enum Kind { SAMPLING, STREAMING, SW_OUT, STREAMING_OUT, REGENERATED_OUT }

    static Stream<Arguments> table() {
        return Stream.of(Kind.values()).flatMap(k -> Stream.of(Setting.values()).map(s -> Arguments.of(k, s)));
    }

    /**
     * With the file every position reads (or puts out) its voltage within one step of the range and
     * says CALIBRATED, and the range the file lacks falls back to the linear map; without it every
     * value is the linear map's, the board's error shows, and the device warned exactly once.
     */
    @ParameterizedTest(name = "{0} {1}")
    @MethodSource("table")
    void everyDeviceConvertsAsItsCalibrationStateSays(Kind kind, Setting setting) {
        try (var warnings = new SoftcalFile.Warnings()) {
            boolean uncalibrated = setting == Setting.MISSING_FILE;
            if (kind == Kind.SAMPLING || kind == Kind.STREAMING) {
                checkInputs(kind, setting);
                uncalibrated |= setting == Setting.DEFAULT_FILE; // the position without an entry
            } else {
                checkOutputs(kind, setting);
            }
            List<String> got = warnings.messages();
            assertEquals(uncalibrated ? 1 : 0, got.size(), "warnings: " + got);
            if (uncalibrated) {
                assertTrue(got.get(0).startsWith("device " + setting.board + ": position "), got.get(0));
            }
        }
    }

    private void checkInputs(Kind kind, Setting setting) {
        double[] volts;
        List<ComediChannelRange> positions = new ArrayList<>();
        if (kind == Kind.SAMPLING) {
            try (var ai = new ComediAnalogSamplingDevice(setting.board, INPUTS.length)) {
                configure(ai, setting, positions);
                volts = ai.scan();
            }
        } else {
            try (var ai = new ComediAnalogStreamingDevice(setting.board, INPUTS.length, 1000, 4096)) {
                configure(ai, setting, positions);
                ai.setScanCount(5);
                ai.configure();
                ai.start();
                EmulatedBoard.advanceScans(setting.board, 5);
                double[] all = new double[5 * INPUTS.length];
                assertEquals(all.length, ai.read(all, all.length, Duration.ofSeconds(10)));
                volts = java.util.Arrays.copyOfRange(all, 4 * INPUTS.length, all.length);
            }
        }
        for (int p = 0; p < INPUTS.length; p++) {
            In in = INPUTS[p];
            ComediChannelRange c = positions.get(p);
            CalibrationState expected = setting == Setting.DEFAULT_FILE && p == NO_ENTRY_POSITION
                    ? CalibrationState.UNCALIBRATED_NO_ENTRY : setting.state;
            String where = "position " + p + " (AI" + in.channel + ", range " + in.range + ")";
            assertEquals(expected, c.calibration(), where);
            assertEquals(in.range, c.rangeIndex(), where);
            long raw = EmulatedBoard.expectedRaw(setting.board, in.channel, in.range, 0, 0);
            assertEquals(c.toVolts(raw), volts[p], 0.0, where + ": the record converts the code to what was delivered");
            double linear = ComediChannelRange.toPhysical(raw, in.min, in.max, 65535);
            double error = Math.abs(volts[p] - in.volts);
            if (expected == CalibrationState.CALIBRATED) {
                assertTrue(error <= in.lsb(), where + ": " + volts[p] + " V, off by " + error / in.lsb() + " steps");
            } else {
                assertEquals(linear, volts[p], 0.0, where + ": the linear map, to the bit");
                assertNull(c.polynomial(), where);
                if (setting == Setting.MULTI) {
                    assertTrue(error <= in.lsb(), where + ": " + volts[p]);
                } else {
                    assertTrue(error > 10 * in.lsb(), where + ": the board's error shows: " + volts[p]);
                }
            }
        }
    }

    private static void configure(ComediAnalogDevice d, Setting setting, List<ComediChannelRange> positions) {
        setting.apply(d);
        for (int p = 0; p < INPUTS.length; p++) {
            d.configureChannel(p, INPUTS[p].channel, INPUTS[p].min, INPUTS[p].max, AnalogReference.GROUND);
        }
        for (int p = 0; p < d.getPositionCount(); p++) {
            positions.add(d.getChannelRange(p));
            assertEquals(positions.get(p).calibration(), d.getCalibrationState(p));
        }
    }

    /**
     * Each scan goes out, then AI14 and AI15 read it back through a sampling device that uses the
     * file (on multi: needs none): within one step of the ±10 V input where the output converted
     * with its polynomial, the board's error where it converted linearly.
     */
    private void checkOutputs(Kind kind, Setting setting) {
        try (var back = new ComediAnalogSamplingDevice(setting.board, 2)) {
            back.configureChannel(0, 14, -10, 10, AnalogReference.GROUND);
            back.configureChannel(1, 15, -10, 10, AnalogReference.GROUND);
            assertEquals(setting == Setting.MULTI ? CalibrationState.NOT_NEEDED : CalibrationState.CALIBRATED,
                    back.getCalibrationState(0));
            if (kind == Kind.SW_OUT) {
                try (var ao = new ComediAnalogSWOutDevice(setting.board, 2)) {
                    configureOutputs(ao, setting);
                    for (double[] scan : AO_SCANS) {
                        ao.write(scan);
                        checkOutputScan(ao, back, setting, scan);
                    }
                }
            } else {
                try (var ao = new ComediAnalogStreamingOutDevice(setting.board, 2, 1000, 1024)) {
                    configureOutputs(ao, setting);
                    double[] all = Stream.of(AO_SCANS).flatMapToDouble(java.util.Arrays::stream).toArray();
                    if (kind == Kind.REGENERATED_OUT) {
                        ao.configure();
                        ao.startRegeneration(all, AO_SCANS.length);
                    } else {
                        ao.setScanCount(AO_SCANS.length);
                        ao.configure();
                        assertEquals(AO_SCANS.length, ao.start(all, AO_SCANS.length));
                    }
                    for (double[] scan : AO_SCANS) {
                        EmulatedBoard.advanceNs(ao.getScanPeriodNanos());
                        checkOutputScan(ao, back, setting, scan);
                    }
                }
            }
        }
    }

    private static void configureOutputs(ComediAnalogDevice ao, Setting setting) {
        setting.apply(ao);
        for (int q = 0; q < 2; q++) {
            ao.configureChannel(q, q, AO_RANGES[q][0], AO_RANGES[q][1], AnalogReference.GROUND);
            ComediChannelRange c = ao.getChannelRange(q);
            assertEquals(setting.state, c.calibration(), "AO" + q);
            assertEquals(setting.state == CalibrationState.CALIBRATED, c.polynomial() != null, "AO" + q);
        }
    }

    private static void checkOutputScan(ComediAnalogDevice ao, ComediAnalogSamplingDevice back, Setting setting,
            double[] scan) {
        double[] read = back.scan();
        for (int q = 0; q < 2; q++) {
            String where = "AO" + q + " at " + scan[q] + " V";
            long code = EmulatedBoard.aoRaw(setting.board, q);
            ComediChannelRange c = ao.getChannelRange(q);
            double error = Math.abs(read[q] - scan[q]);
            if (c.polynomial() != null) {
                assertEquals(Math.floor(c.polynomial().apply(scan[q]) + 0.5), code, 0.0, where + ": the polynomial's code");
                assertTrue(error <= LSB_10V, where + ": read back " + read[q] + " V, " + error / LSB_10V + " steps");
            } else {
                double s = (scan[q] - AO_RANGES[q][0]) / (AO_RANGES[q][1] - AO_RANGES[q][0]) * 65535;
                assertEquals(Math.floor(s + 0.5), code, 0.0, where + ": the linear map's code");
                assertTrue(setting == Setting.MULTI ? error <= LSB_10V : error > 10 * LSB_10V,
                        where + ": read back " + read[q] + " V");
            }
        }
    }

    /**
     * A position reconfigured to another range takes that range's polynomial, or none where the
     * file has no entry, never the one it had; and the calibration may be chosen again after the
     * positions were configured.
     */
    @Test
    void aPositionTakesThePolynomialOfItsCurrentRangeAndChoiceOfFile() {
        try (var warnings = new SoftcalFile.Warnings(); var ai = new ComediAnalogSamplingDevice(SOFTCAL, 1)) {
            double[][] ranges = {{-10, 10}, {-1, 1}, {0, 5}, {-5, 5}};
            CalibrationState[] states = {CalibrationState.CALIBRATED, CalibrationState.CALIBRATED,
                CalibrationState.UNCALIBRATED_NO_ENTRY, CalibrationState.CALIBRATED};
            List<ComediPolynomial> seen = new ArrayList<>();
            for (int i = 0; i < ranges.length; i++) {
                ai.configureChannel(0, 10, ranges[i][0], ranges[i][1], AnalogReference.GROUND); // +0.5 V
                ComediChannelRange c = ai.getChannelRange(0);
                assertEquals(states[i], c.calibration(), "range " + c.rangeIndex());
                double lsb = c.resolution();
                double v = ai.scan()[0];
                assertTrue(c.polynomial() == null ? Math.abs(v - 0.5) > 10 * lsb : Math.abs(v - 0.5) <= lsb,
                        "range " + c.rangeIndex() + ": " + v);
                if (c.polynomial() != null) {
                    assertTrue(!seen.contains(c.polynomial()), "each range has its own polynomial");
                    seen.add(c.polynomial());
                }
            }
            ai.setCalibration(Calibration.linear());
            assertEquals(CalibrationState.LINEAR_REQUESTED, ai.getCalibrationState(0));
            ai.setCalibrationFile(SoftcalFile.source());
            assertEquals(Calibration.file(SoftcalFile.source()), ai.getCalibration());
            assertEquals(CalibrationState.CALIBRATED, ai.getCalibrationState(0));
            assertTrue(Math.abs(ai.scan()[0] - 0.5) <= ai.getChannelRange(0).resolution());
            assertEquals(1, warnings.messages().size(), "one warning a device: " + warnings.messages());
        }
    }

    /**
     * A task on the calibrated board delivers calibrated volts and logs the raw codes with each
     * position's polynomial, from which h5py computes the very doubles delivered.
     */
    @Test
    void h5pyTurnsTheLoggedCodesIntoTheDeliveredVolts(@TempDir Path dir) throws Exception {
        Path file = dir.resolve("calibrated.h5");
        List<Double> delivered = new ArrayList<>();
        try (var ai = new ComediAnalogStreamingDevice(SOFTCAL, INPUTS.length, 1000, 4096)) {
            configure(ai, Setting.DEFAULT_FILE, new ArrayList<>());
            ai.setScanCount(200);
            ai.configure();
            AcquisitionTask task = AcquisitionTask.on(ai).everyScans(50).onBlock(b -> {
                for (int s = 0; s < b.getScanCount(); s++) {
                    for (int p = 0; p < b.getPositionCount(); p++) {
                        delivered.add(b.getVolts(s, p));
                    }
                }
            }).recordTo(new Hdf5ScanLog(file), true).build();
            task.start();
            while (task.getEnd() == null) {
                EmulatedBoard.advanceScans(SOFTCAL, 50);
                Thread.sleep(5);
            }
            assertEquals(TaskEnd.Reason.COMPLETED, task.awaitEnd(Duration.ofSeconds(30)).reason());
            task.close();
        }
        assertEquals(200 * INPUTS.length, delivered.size());
        assertEquals(1.0, delivered.get(0), INPUTS[0].lsb(), "AI1 on ±5 V, calibrated");
        double[] volts = delivered.stream().mapToDouble(Double::doubleValue).toArray();
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("dtype", "uint16");
        expect.put("positions", INPUTS.length);
        expect.put("rows", 200);
        expect.put("scans", Map.of("calibration", List.of("CALIBRATED", "CALIBRATED", "CALIBRATED", "CALIBRATED",
                "CALIBRATED", "CALIBRATED", "UNCALIBRATED_NO_ENTRY")));
        expect.put("volts_from_attrs", H5py.float64File(dir, volts, volts.length));
        expect.put("calibrated", INPUTS.length - 1);
        H5py.check(dir, expect);
    }

    /**
     * One thread scans while another switches the device between its file and the linear map: every
     * scan is wholly one or the other, never a mix or a half-written polynomial.
     */
    @Test
    void aScanIsWhollyCalibratedOrWhollyLinearWhileAnotherThreadSwitches() throws Exception {
        int rounds = Integer.getInteger("vorn.races.rounds", 2000);
        try (var warnings = new SoftcalFile.Warnings(); var ai = new ComediAnalogSamplingDevice(SOFTCAL, 2)) {
            ai.configureChannel(0, 1, -5, 5, AnalogReference.GROUND);
            ai.configureChannel(1, 8, -10, 10, AnalogReference.GROUND);
            double[] calibrated = ai.scan();
            ai.setCalibration(Calibration.linear());
            double[] linear = ai.scan();
            assertTrue(calibrated[0] != linear[0] && calibrated[1] != linear[1]);
            Thread switcher = new Thread(() -> {
                for (int i = 0; i < rounds; i++) {
                    ai.setCalibration(i % 2 == 0 ? Calibration.defaultFile() : Calibration.linear());
                }
            });
            switcher.start();
            for (int i = 0; i < rounds; i++) {
                double[] v = ai.scan();
                assertTrue(java.util.Arrays.equals(v, calibrated) || java.util.Arrays.equals(v, linear),
                        "scan " + i + ": " + java.util.Arrays.toString(v));
            }
            switcher.join();
            assertTrue(warnings.messages().isEmpty(), warnings.messages().toString());
        }
    }

    /** The description says which subdevices need calibration and whether their file was found. */
    @Test
    void theDescriptionNamesTheCalibrationFile() {
        ComediDeviceInfo softcal = ComediDeviceInfo.describe(SOFTCAL);
        assertEquals(List.of(true, true, false),
                softcal.subdevices().stream().map(ComediSubdeviceInfo::needsCalibration).toList());
        assertEquals(SoftcalFile.DEFAULT_PATH.toString(), softcal.calibrationFile());
        assertTrue(softcal.calibrationFileFound());
        ComediDeviceInfo missing = ComediDeviceInfo.describe(SOFTCAL, Path.of("/nonexistent/softcal.calibration"));
        assertEquals("/nonexistent/softcal.calibration", missing.calibrationFile());
        assertTrue(!missing.calibrationFileFound());
        ComediDeviceInfo multi = ComediDeviceInfo.describe(EmulatedBoard.MULTI);
        assertTrue(multi.subdevices().stream().noneMatch(ComediSubdeviceInfo::needsCalibration));
    }
}
