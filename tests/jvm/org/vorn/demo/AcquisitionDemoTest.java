// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.awt.image.BufferedImage;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import javax.imageio.ImageIO;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.vorn.testsupport.H5py;
import org.vorn.testsupport.SoftcalFile;

/**
 * Runs the demo the way a user does, through the launcher that the build generates
 * (build/vorn-java/run-demo, next to vorn.jar), as a separate process on the emulated board, with
 * -Xcheck:jni passed through JAVA_TOOL_OPTIONS.
 */
class AcquisitionDemoTest {
    /** One raw step of the emulated board's 16-bit converter on the ±5 V range the demo asks for. */
    static final double STEP_5V = 10.0 / 65535;
    /** The CSV carries six decimals. */
    static final double PRINTED = 0.5e-6;

    @TempDir
    Path tmp;

    record Run(int status, String stdout, String stderr) {
        String all() {
            return stdout + stderr;
        }
    }

    static Path launcher() {
        // The build passes the jar's path when the tests load the library from its class folder.
        String jar = System.getProperty("vorn.jar");
        for (String entry : (jar != null ? jar : System.getProperty("java.class.path")).split(File.pathSeparator)) {
            Path p = Paths.get(entry);
            if (p.getFileName() != null && p.getFileName().toString().equals("vorn.jar")) {
                Path demo = p.resolveSibling("run-demo");
                assertTrue(Files.isExecutable(demo), "no executable launcher at " + demo);
                return demo;
            }
        }
        throw new AssertionError("vorn.jar is not on the class path: " + System.getProperty("java.class.path"));
    }

    ProcessBuilder demo(String... args) {
        List<String> cmd = new ArrayList<>();
        cmd.add(launcher().toString());
        cmd.addAll(List.of(args));
        ProcessBuilder pb = new ProcessBuilder(cmd).directory(tmp.toFile());
        pb.environment().put("JAVA_TOOL_OPTIONS", "-Xcheck:jni");
        pb.redirectOutput(tmp.resolve("stdout.txt").toFile());
        pb.redirectError(tmp.resolve("stderr.txt").toFile());
        return pb;
    }

    Run finish(Process p, long seconds) throws Exception {
        if (!p.waitFor(seconds, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            fail("the demo did not end within " + seconds + " s:\n" + withoutJdkJniWarnings(read("stdout.txt"))
                    + withoutJdkJniWarnings(read("stderr.txt")));
        }
        Run r = new Run(p.exitValue(), withoutJdkJniWarnings(read("stdout.txt")),
                withoutJdkJniWarnings(withoutToolOptionsNotice(read("stderr.txt"))));
        assertCleanJvm(r);
        return r;
    }

    Run run(long seconds, String... args) throws Exception {
        return finish(demo(args).start(), seconds);
    }

    /** The JVM announces JAVA_TOOL_OPTIONS on stderr; that line is ours, not the demo's. */
    static String withoutToolOptionsNotice(String stderr) {
        return stderr.replaceFirst("^Picked up JAVA_TOOL_OPTIONS: [^\n]*\n", "");
    }

    /**
     * Drops the -Xcheck:jni warnings raised inside the JDK itself: JDK 17's FreeType font scaler
     * (sun.font.FreetypeFontScaler.initNativeScaler) calls back into Java without checking for an
     * exception, which -Xcheck:jni reports while the plot's text is drawn. A warning whose native
     * frame is one of libvorn's stays, and fails the run.
     */
    static String withoutJdkJniWarnings(String output) {
        String[] lines = output.split("\n", -1);
        StringBuilder kept = new StringBuilder();
        for (int i = 0; i < lines.length; i++) {
            if (lines[i].startsWith("WARNING in native method: ") && i + 1 < lines.length
                    && lines[i + 1].startsWith("\tat ") && !lines[i + 1].startsWith("\tat org.vorn.")) {
                i++;
                while (i + 1 < lines.length && (lines[i + 1].startsWith("\tat ") || lines[i + 1].startsWith("\t- "))) {
                    i++;
                }
                continue;
            }
            kept.append(lines[i]);
            if (i + 1 < lines.length) {
                kept.append('\n');
            }
        }
        return kept.toString();
    }

    private String read(String name) throws IOException {
        Path f = tmp.resolve(name);
        return Files.exists(f) ? Files.readString(f, StandardCharsets.UTF_8) : "";
    }

    /** No JNI complaint and no stack trace, whatever the outcome. */
    static void assertCleanJvm(Run r) {
        for (String bad : new String[] {"WARNING in native method", "FATAL ERROR", "JNI local refs", "\tat ",
            "Exception in thread"}) {
            assertFalse(r.all().contains(bad), "output contains '" + bad.strip() + "':\n" + r.all());
        }
    }

    static double[][] readCsv(Path csv, String expectedHeader) throws IOException {
        List<String> lines = Files.readAllLines(csv, StandardCharsets.US_ASCII);
        assertEquals(expectedHeader, lines.get(0));
        int cols = expectedHeader.split(",").length;
        double[][] rows = new double[lines.size() - 1][];
        for (int i = 1; i < lines.size(); i++) {
            String[] f = lines.get(i).split(",", -1);
            assertEquals(cols, f.length, "line " + (i + 1) + ": " + lines.get(i));
            rows[i - 1] = new double[cols];
            for (int c = 0; c < cols; c++) {
                rows[i - 1][c] = Double.parseDouble(f[c]);
            }
        }
        return rows;
    }

    static void assertPng(Path png) throws IOException {
        assertTrue(Files.isRegularFile(png), "no plot at " + png);
        BufferedImage image = ImageIO.read(png.toFile());
        assertNotNull(image, "the plot does not decode as an image");
        assertEquals(1200, image.getWidth());
        assertEquals(700, image.getHeight());
        // Something besides the background was drawn: the four series colours, at least the first.
        boolean blue = false;
        for (int y = 0; y < image.getHeight() && !blue; y++) {
            for (int x = 0; x < image.getWidth(); x++) {
                if ((image.getRGB(x, y) & 0xffffff) == 0x1f77b4) {
                    blue = true;
                    break;
                }
            }
        }
        assertTrue(blue, "the plot holds no pixel of the first series' colour");
    }

    /** Sign changes of x - level along the column. */
    static int crossings(double[][] rows, int col, double level) {
        int n = 0;
        for (int i = 1; i < rows.length; i++) {
            if ((rows[i - 1][col] - level) * (rows[i][col] - level) < 0) {
                n++;
            }
        }
        return n;
    }

    @Test
    void streamsExactlyRateTimesDurationScansOfTheBoardsSignals() throws Exception {
        Run r = run(120, "--rate", "1000", "--duration", "0.5", "--out", "out");
        assertEquals(0, r.status(), r.all());

        // The library's own trace, byte for byte, between the demo's lines.
        assertTrue(r.stdout().contains("Command test (printed by the library):\nTrying command ...\n"
                + "start:      now      0\nscan_begin: timer    1000000\nconvert:    timer    250000\n"
                + "scan_end:   count    4\nstop:       count    500\nFirst test returned 0 (success)\n"), r.stdout());
        assertTrue(r.stdout().contains("Accepted: 1000 Hz (scan period 1000000 ns, convert period 250000 ns), 500 scans"
                + " in 0.5 s\n"), r.stdout());
        assertTrue(r.stdout().contains("Acquiring"), r.stdout());
        assertTrue(r.stdout().contains("100.0 %"), "no finished progress line:\n" + r.stdout());

        Path csv = tmp.resolve("out/acquisition.csv").toAbsolutePath().normalize();
        Path png = tmp.resolve("out/acquisition.png").toAbsolutePath().normalize();
        assertTrue(r.stdout().contains("Samples: " + csv + " (500 rows: time_s, ai4_V, ai5_V, ai6_V, ai1_V)"),
                r.stdout());
        assertTrue(r.stdout().contains("Plot:    " + png + "\n"), r.stdout());

        double[][] rows = readCsv(csv, "time_s,ai4_V,ai5_V,ai6_V,ai1_V");
        assertEquals(500, rows.length);
        for (int i = 0; i < rows.length; i++) {
            assertEquals(i / 1000.0, rows[i][0], PRINTED, "time of row " + i);
            for (int c = 1; c <= 4; c++) {
                assertTrue(rows[i][c] >= -5 - PRINTED && rows[i][c] <= 5 + PRINTED, "row " + i + " col " + c);
            }
        }

        // AI1: +1 V DC, within one raw step.
        for (double[] row : rows) {
            assertEquals(1.0, row[4], STEP_5V + PRINTED);
        }
        // AI4: 2 V sine at 10 Hz, sampled 100 times a period: peaks within 0.2 % of the amplitude,
        // 10 zero crossings in 0.5 s (one more or less depending on the phase at the start).
        double min = Double.MAX_VALUE;
        double max = -Double.MAX_VALUE;
        for (double[] row : rows) {
            min = Math.min(min, row[1]);
            max = Math.max(max, row[1]);
        }
        assertTrue(max > 1.996 && max <= 2 + STEP_5V, "sine max " + max);
        assertTrue(min < -1.996 && min >= -2 - STEP_5V, "sine min " + min);
        int z = crossings(rows, 1, 0);
        assertTrue(z >= 9 && z <= 11, z + " zero crossings of the 10 Hz sine in 0.5 s");
        // AI5: ±3 V square at 5 Hz: every sample at one of the two levels, 5 edges (±1) in 0.5 s.
        for (double[] row : rows) {
            assertEquals(3.0, Math.abs(row[2]), STEP_5V + PRINTED, "square sample " + row[2]);
        }
        int edges = crossings(rows, 2, 0);
        assertTrue(edges >= 4 && edges <= 6, edges + " edges of the 5 Hz square in 0.5 s");
        // AI6: -4..+4 V sawtooth at 2 Hz: rises 8 V / 500 ms = 16 mV a sample, then falls back
        // by 8 V once a period (once in 0.5 s, or twice if the phase lands on a wrap).
        int wraps = 0;
        for (int i = 1; i < rows.length; i++) {
            double d = rows[i][3] - rows[i - 1][3];
            if (d < -4) {
                wraps++;
                assertEquals(-8 + 0.016, d, 2 * STEP_5V + 2 * PRINTED, "wrap at row " + i);
            } else {
                assertEquals(0.016, d, 2 * STEP_5V + 2 * PRINTED, "rise at row " + i);
            }
            assertTrue(rows[i][3] >= -4 - STEP_5V && rows[i][3] <= 4 + STEP_5V, "sawtooth " + rows[i][3]);
        }
        assertTrue(wraps == 1 || wraps == 2, wraps + " wraps of the 2 Hz sawtooth in 0.5 s");

        // The table agrees with the file, and counts no lost samples.
        String[] names = {"AI4", "AI5", "AI6", "AI1"};
        for (int c = 1; c <= 4; c++) {
            Matcher m = Pattern.compile("(?m)^" + names[c - 1]
                    + " +\\[-5, 5\\] V +(\\d+) +(\\S+) +(\\S+) +(\\S+) +(\\S+) +(\\d+)$").matcher(r.stdout());
            assertTrue(m.find(), "no table line for " + names[c - 1] + ":\n" + r.stdout());
            double lo = Double.MAX_VALUE;
            double hi = -Double.MAX_VALUE;
            double sum = 0;
            double sumSq = 0;
            for (double[] row : rows) {
                lo = Math.min(lo, row[c]);
                hi = Math.max(hi, row[c]);
                sum += row[c];
                sumSq += row[c] * row[c];
            }
            assertEquals("500", m.group(1));
            assertEquals(lo, Double.parseDouble(m.group(2)), 1e-4, names[c - 1] + " min");
            assertEquals(hi, Double.parseDouble(m.group(3)), 1e-4, names[c - 1] + " max");
            assertEquals(sum / rows.length, Double.parseDouble(m.group(4)), 1e-4, names[c - 1] + " mean");
            assertEquals(Math.sqrt(sumSq / rows.length), Double.parseDouble(m.group(5)), 1e-4, names[c - 1] + " rms");
            assertEquals("0", m.group(6), names[c - 1] + " lost");
        }

        assertPng(png);

        // The other devices: AO0 read back on AI14 (one step of ±10 V is 0.3 mV), the port patterns.
        Matcher back = Pattern.compile("AO0 <- +\\+2\\.500 V +AI14 reads +([-+0-9.]+) V").matcher(r.stdout());
        assertTrue(back.find(), r.stdout());
        assertEquals(2.5, Double.parseDouble(back.group(1)), 20.0 / 65535 + 0.5e-4);
        assertTrue(r.stdout().contains("port 0 <- 0xA5   lines 7..0 = 1010 0101   (read back by ComediDigitalPortInDevice)"),
                r.stdout());
        Matcher scan = Pattern.compile("AI8 +([-+0-9.]+) V").matcher(r.stdout());
        assertTrue(scan.find(), r.stdout());
        assertEquals(9.0, Double.parseDouble(scan.group(1)), 20.0 / 65535 + 1e-4);
    }

    /** The driver runs 3000 Hz over 3 channels at 3003.003 Hz: the rows keep that rate's times. */
    @Test
    void theCsvTimesFollowTheRateTheDriverAccepted() throws Exception {
        Run r = run(120, "--rate", "3000", "--channels", "3", "--duration", "2", "--no-outputs", "--out", "out");
        assertEquals(0, r.status(), r.all());
        assertTrue(r.stdout().contains("Accepted: 3003.003 Hz (scan period 333000 ns, convert period 111000 ns), 6000"
                + " scans in 1.998 s\n"), r.stdout());
        double[][] rows = readCsv(tmp.resolve("out/acquisition.csv"), "time_s,ai4_V,ai5_V,ai6_V");
        assertEquals(6000, rows.length, "exactly rate x duration scans");
        assertEquals(1.997667, rows[5999][0], 0.5e-6);
        assertEquals(0.000333, rows[1][0], 0.5e-6);
    }

    /**
     * --stimulus on the rig: one row per frequency of the sweep, each within 0.1 dB and 1 degree of
     * the board's documented filter 1/(1 + j 2 pi f tau), tau = 1 ms (computed here), the Bode plot
     * drawn, and the log holding the stimulus beside the response: the direct channel (position 0,
     * converted 10 us before its scan ends) reads the stimulus row one scan earlier, to half a code
     * of its +/-5 V range.
     */
    @Test
    void stimulusMeasuresTheRigsLowPassAsItsModelSays() throws Exception {
        Run r = run(180, "--device", "/dev/comedi-emu/rig", "--stimulus", "--duration", "0.2", "--no-outputs",
                "--out", "out", "--hdf5", "out/run.h5");
        assertEquals(0, r.status(), r.all());
        List<double[]> rows = new java.util.ArrayList<>();
        for (String line : r.stdout().split("\n")) {
            if (line.matches("\\s+\\d+\\.\\d{3}(\\s+-?\\d+\\.\\d{3}){4}")) {
                rows.add(java.util.Arrays.stream(line.trim().split("\\s+")).mapToDouble(Double::parseDouble).toArray());
            }
        }
        assertEquals(8, rows.size(), r.stdout());
        assertEquals(20, rows.get(0)[0], 1);
        assertEquals(2000, rows.get(rows.size() - 1)[0], 1);
        for (double[] row : rows) {
            double wtau = 2 * Math.PI * row[0] * 1e-3;
            double gain = -10 * Math.log10(1 + wtau * wtau);
            double phase = -Math.toDegrees(Math.atan(wtau));
            String what = java.util.Arrays.toString(row);
            assertEquals(gain, row[1], 0.1, what);
            assertEquals(phase, row[2], 1.0, what);
            assertEquals(gain, row[3], 0.0015, what);
            assertEquals(phase, row[4], 0.0015, what);
        }
        assertPng(tmp.resolve("out/bode.png"));
        Path h5 = tmp.resolve("out/run-stimulus.h5").toAbsolutePath().normalize();
        assertTrue(r.stdout().contains("Logged the response (/scans) and the stimulus (/stimulus) to " + h5), r.stdout());
        java.util.Map<String, Object> expect = new java.util.LinkedHashMap<>();
        expect.put("file", h5);
        expect.put("root", java.util.Map.of("board", "emu-rig", "scan_period_ns", 20_000));
        expect.put("scans", java.util.Map.of("channel", List.of(0, 1)));
        expect.put("dtype", "uint16");
        expect.put("positions", 2);
        expect.put("stimulus", java.util.Map.of("attrs", java.util.Map.of("channel", List.of(0), "range_min", List.of(-10.0)),
                "loopback_position", 0, "lag", 1, "tolerance", 10.0 / 65535 / 2 + 1e-9));
        Matcher scans = Pattern.compile("(\\d+) scans at 50000 Hz").matcher(r.stdout());
        assertTrue(scans.find(), r.stdout());
        expect.put("rows", Integer.parseInt(scans.group(1)));
        expect.put("events", List.of(List.of(Integer.parseInt(scans.group(1)), "completed", "")));
        H5py.check(tmp, expect);
    }

    /** --hdf5: the run goes through an acquisition task; h5py turns the log into the CSV's volts. */
    @Test
    void hdf5LogsTheRunAndH5pyReadsBackTheCsvsVolts() throws Exception {
        Run r = run(120, "--rate", "1000", "--duration", "0.5", "--out", "out", "--hdf5", "out/run.h5", "--no-outputs");
        assertEquals(0, r.status(), r.all());
        Path h5 = tmp.resolve("out/run.h5").toAbsolutePath().normalize();
        assertTrue(r.stdout().contains("Acquiring through an AcquisitionTask, logging every scan to " + h5), r.stdout());
        assertTrue(r.stdout().contains("Logged 500 scans to " + h5), r.stdout());
        assertTrue(r.stdout().contains("100.0 %"), "no finished progress line:\n" + r.stdout());
        java.util.Map<String, Object> expect = new java.util.LinkedHashMap<>();
        expect.put("file", h5);
        expect.put("root", java.util.Map.of("board", "emu-multi", "scans_requested", 500, "scan_period_ns", 1_000_000));
        expect.put("scans", java.util.Map.of("channel", List.of(4, 5, 6, 1), "range_min", List.of(-5.0, -5.0, -5.0, -5.0)));
        expect.put("dtype", "uint16");
        expect.put("positions", 4);
        expect.put("rows", 500);
        expect.put("csv_volts", tmp.resolve("out/acquisition.csv"));
        expect.put("events", List.of(List.of(500, "completed", "")));
        H5py.check(tmp, expect);
    }

    /**
     * --trigger on the sawtooth (position 2: -4..+4 V, 2 Hz): one record per rising zero crossing
     * the CSV shows (the first scan at or above 0 V after one below it), 500 scans apart as the
     * documented period says, each with its pretrigger scans, the last cut by the end; the CSV
     * marks exactly those scans.
     */
    @Test
    void triggerRecordsEverySawtoothCrossing() throws Exception {
        Run r = run(120, "--rate", "1000", "--duration", "3", "--out", "out", "--no-outputs", "--trigger", "2:0:rising",
                "--pretrigger", "50", "--record", "460");
        assertEquals(0, r.status(), r.all());
        double[][] rows = readCsv(tmp.resolve("out/acquisition.csv"), "time_s,ai4_V,ai5_V,ai6_V,ai1_V,trigger");
        List<String> want = new java.util.ArrayList<>();
        long previous = -1;
        for (int k = 50; k < rows.length; k++) {
            if (rows[k - 1][3] < 0 && rows[k][3] >= 0) {
                long last = Math.min(k + 409, rows.length - 1);
                want.add(String.format(java.util.Locale.ROOT, "record %d: trigger at scan %d (%.6f s), scans %d..%d%s",
                        want.size(), k, rows[k][0], k - 50, last, last < k + 409 ? " (incomplete: the acquisition ended)"
                        : ""));
                if (previous >= 0) {
                    assertEquals(500, k - previous, 1, "the sawtooth's period at 1 kHz");
                }
                previous = k;
            }
            assertEquals(rows[k][5] == 1, !want.isEmpty() && previous == k, "the CSV's trigger mark at scan " + k);
        }
        assertTrue(want.size() >= 5, want.toString());
        List<String> got = r.stdout().lines().filter(l -> l.startsWith("record ")).toList();
        assertEquals(want, got, r.stdout());
        assertTrue(r.stdout().contains(want.size() + " records of 460 scans (50 before the trigger), trigger rising"
                + " through 0.0 at position 2:\n"), r.stdout());
    }

    /**
     * --start: the demo arms, says so, brings the trigger itself about a second later (the software
     * trigger, or the emulated line's edge) and says so; the stream's start, derived by the library
     * from the trigger (from the first scans for an edge), is that second later, and the counted
     * stream still holds every scan.
     */
    @ParameterizedTest(name = "{0} {1}")
    @CsvSource(delimiter = '|', value = {
        "multi | software  | Armed: waiting for the software trigger. | Software trigger after 1.0 s.",
        "rig   | 0:rising  | Armed: waiting for the rising edge of line 0. | Raised line 0 of the emulated board after 1.0 s (rising edge).",
        "rig   | 3:falling | Armed: waiting for the falling edge of line 3. | Lowered line 3 of the emulated board after 1.0 s (falling edge)."})
    void startArmsThenTriggers(String board, String start, String armed, String fired) throws Exception {
        Run r = run(120, "--device", "/dev/comedi-emu/" + board, "--start", start, "--duration", "0.5", "--no-outputs",
                "--out", "out");
        assertEquals(0, r.status(), r.all());
        List<String> lines = r.stdout().lines().toList();
        int at = lines.indexOf("Acquiring (^C stops early and keeps what arrived):");
        assertTrue(at > 0, r.stdout());
        int first = start.equals("3:falling") ? at + 2 : at + 1;
        if (start.equals("3:falling")) {
            assertEquals("Line 3 of the emulated board set high, for the falling edge.", lines.get(at + 1));
        }
        assertEquals(armed, lines.get(first));
        // The wait is about a second: on a busy machine its tenths may say more.
        assertEquals(fired, lines.get(first + 1).replaceFirst("after \\d+\\.\\d s", "after 1.0 s"));
        Matcher started = Pattern.compile("Started (\\d+\\.\\d\\d) s after arming: time 0 is the trigger's instant\\.")
                .matcher(lines.get(first + 2));
        assertTrue(started.matches(), lines.get(first + 2));
        double after = Double.parseDouble(started.group(1));
        assertTrue(after >= 0.95 && after < 3, "scan 0 is not a second after the arming: " + after);
        assertEquals(500, readCsv(tmp.resolve("out/acquisition.csv"), "time_s,ai4_V,ai5_V,ai6_V,ai1_V").length);
    }

    @Test
    void aDeviceThatCannotBeOpenedIsReportedWithTheLibrarysMessage() throws Exception {
        Run r = run(60, "--device", "/nonexistent/comedi0", "--out", "out");
        assertEquals(1, r.status(), r.all());
        assertEquals("run-demo: Error opening comedi device /nonexistent/comedi0: No such file or directory\n",
                r.stderr());
        assertFalse(Files.exists(tmp.resolve("out")), "files written for a device that never opened");
    }

    /**
     * On the board calibrated in software the launcher puts the board's file where comedilib looks,
     * so the demo calibrates without an option; --calibration names a file instead.
     */
    @Test
    void theSoftCalibratedBoardReadsTrueVoltsThroughItsCalibrationFile() throws Exception {
        Run r = run(120, "--device", "/dev/comedi-emu/softcal", "--duration", "0.5", "--no-outputs", "--out", "out");
        assertEquals(0, r.status(), r.all());
        assertTrue(r.stdout().contains("Calibration (comedilib's default file): AI4 calibrated, AI5 calibrated, "
                + "AI6 calibrated, AI1 calibrated\n"), r.stdout());
        assertTrue(r.stdout().contains("\nAI1      [-5, 5] V           500    +1.0000    +1.0000    +1.0000"),
                r.stdout());
        assertFalse(r.stderr().contains("WARNING"), r.stderr());

        Run listed = run(60, "--list", "--device", "/dev/comedi-emu/softcal", "--calibration",
                SoftcalFile.source().toString());
        assertEquals(0, listed.status(), listed.all());
        assertTrue(listed.stdout().contains("  calibration: in software, file " + SoftcalFile.source() + " (found)\n"),
                listed.stdout());
    }

    /** The launcher's --list; what it prints on every board is DeviceListingTest's. */
    @Test
    void listPrintsTheDescriptionAndStops() throws Exception {
        Run r = run(60, "--list", "--device", "/dev/comedi-emu/comedi_test", "--out", "out");
        assertEquals(0, r.status(), r.all());
        assertEquals("", r.stderr());
        assertTrue(r.stdout().startsWith("/dev/comedi-emu/comedi_test: driver comedi_test, board comedi_test, "),
                r.stdout());
        assertTrue(r.stdout().contains("\nsubdevice 1: analog output\n"), r.stdout());
        assertFalse(r.stdout().contains("Streaming"), "--list went on to stream:\n" + r.stdout());
        assertFalse(Files.exists(tmp.resolve("out")), "files written by --list");

        Run missing = run(60, "--list", "--device", "/nonexistent/comedi0");
        assertEquals(1, missing.status(), missing.all());
        assertEquals("run-demo: Error opening comedi device /nonexistent/comedi0: No such file or directory\n",
                missing.stderr());
    }

    @Test
    void aBadOptionGetsOneLineAndTheUsage() throws Exception {
        for (String[] args : new String[][] {
            {"--rate", "fast"}, {"--frobnicate"}, {"--channels", "0"}, {"--duration"}, {"--duration", "-1"}}) {
            Run r = run(60, args);
            assertEquals(2, r.status(), String.join(" ", args) + ":\n" + r.all());
            assertEquals("", r.stdout(), String.join(" ", args));
            String[] lines = r.stderr().split("\n");
            assertTrue(lines[0].startsWith("run-demo: "), lines[0]);
            assertTrue(lines[1].startsWith("usage: run-demo "), r.stderr());
            assertFalse(r.stderr().contains("Exception"), r.stderr());
        }
        Run r = run(60, "--rate", "fast");
        assertEquals("run-demo: --rate needs a number, not 'fast'", r.stderr().split("\n")[0]);
        r = run(60, "--frobnicate");
        assertEquals("run-demo: unknown option --frobnicate", r.stderr().split("\n")[0]);

        Run help = run(60, "--help");
        assertEquals(0, help.status());
        assertTrue(help.stdout().startsWith("usage: run-demo "), help.stdout());
        for (String option : new String[] {"--device", "--channels", "--rate", "--duration", "--out"}) {
            assertTrue(help.stdout().contains("\n  " + option + " "), option + " not explained");
        }
    }

    @Test
    void aStopSignalEndsTheAcquisitionAndKeepsWhatArrived() throws Exception {
        // SIGTERM runs the same shutdown hook as ^C (SIGINT), and cannot be ignored by inheritance
        // the way a background job's SIGINT is.
        Process p = demo("--rate", "2000", "--duration", "60", "--out", "out").start();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        Pattern progress = Pattern.compile("(?m)^ +[0-9.]+ % +([0-9.]+) / 60\\.00 s");
        while (true) {
            Matcher line = progress.matcher(read("stdout.txt"));
            double latest = 0;
            while (line.find()) {
                latest = Double.parseDouble(line.group(1));
            }
            if (latest >= 1.0) {
                break;
            }
            if (!p.isAlive() || System.nanoTime() > deadline) {
                p.destroyForcibly();
                fail("the acquisition did not run for a second:\n" + withoutJdkJniWarnings(read("stdout.txt"))
                        + withoutJdkJniWarnings(read("stderr.txt")));
            }
            Thread.sleep(50);
        }
        p.destroy();
        Run r = finish(p, 60);
        assertEquals(143, r.status(), r.all());
        Matcher m = Pattern.compile("Stopped after ([0-9.]+) s: acquisition cancelled, device closed, (\\d+) "
                + "complete scans kept\\.").matcher(r.stdout());
        assertTrue(m.find(), r.stdout());
        int kept = Integer.parseInt(m.group(2));
        double seconds = Double.parseDouble(m.group(1));
        // At 2000 scans/s for about a second (the progress line showed 1 s; a scan may still have
        // been on its way), and stopped long before 60 s.
        assertTrue(kept >= 1990 && kept < 110_000, kept + " scans");
        // The seconds are printed to 0.01 s: up to 0.005 s of scans more than the printed figure.
        assertTrue(kept <= (seconds + 0.005) * 2000 + 1, kept + " scans in " + seconds + " s");

        double[][] rows = readCsv(tmp.resolve("out/acquisition.csv"), "time_s,ai4_V,ai5_V,ai6_V,ai1_V");
        assertEquals(kept, rows.length);
        assertEquals((kept - 1) / 2000.0, rows[kept - 1][0], PRINTED);
        assertEquals(1.0, rows[kept - 1][4], STEP_5V + PRINTED);
        assertPng(tmp.resolve("out/acquisition.png"));
        assertTrue(r.stdout().contains(String.format(Locale.ROOT, "AI1      [-5, 5] V     %9d", kept)), r.stdout());
    }
}
