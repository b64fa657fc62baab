// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;
import java.util.TreeMap;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.NativeMemory;
import org.vorn.testsupport.NativeStdout;

/**
 * Ten thousand create/use/destroy cycles and ten thousand failed creations of each device leave
 * the process's file descriptors and resident memory where they started (after a warm-up).
 *
 * <p>Two measures of memory, both after the dropped handle buffers have been collected (every 250
 * cycles, and until their cleaner has caught up at the end):
 * <ul>
 * <li>What the C heap holds (malloc's bytes in use, all arenas), measured after each quarter of the
 * run: growth of 512 KB in every quarter fails. The JVM's own allocations come and go in steps of
 * a megabyte or two (a compiler's arena chunks, pooled for a while, later on a loaded machine); a
 * leak grows with every cycle, and any native allocation the cycles make adds up to more than that
 * per quarter: a comedi_t
 * with its subdevice and range tables per open (kilobytes each), the raw sample buffer of a
 * streaming device (8 KiB here), or the copy of the device name on a failed creation (a 3000-byte
 * name on every third one here, 2.5 MB per quarter).
 * <li>The resident memory outside the Java heap's committed size, within
 * {@value #RSS_TOLERANCE_MB} MB. It also moves with what malloc keeps for reuse rather than
 * returning it to the system: 2 MiB driver buffers of the emulated board, freed in between, left
 * up to 10 MB resident on a loaded machine. The tolerance still catches the larger leaks above.
 * </ul>
 * Under ASan neither is compared (its quarantine holds freed memory on purpose, and it answers
 * malloc statistics itself); descriptors always are.
 */
class DeviceLeakTest {
    private static final int CYCLES = Integer.getInteger("vorn.leak.cycles", 10_000);
    private static final int WARM_UP = 500;
    private static final long RSS_TOLERANCE_MB = 24;
    /** The run is measured in parts; a leak must grow the C heap by this much in each (512 KB). */
    private static final int PARTS = 4;
    private static final long PART_MALLOC_TOLERANCE = 512 << 10;
    private static final String MULTI = EmulatedBoard.MULTI;
    /** Long so that a leaked copy of it would show; open() fails on it (ENAMETOOLONG). */
    private static final String LONG_BAD_PATH = "/dev/comedi-emu/" + "n".repeat(3000);

    private static final boolean UNDER_ASAN = String.valueOf(System.getenv("LD_PRELOAD")).contains("libasan");

    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    /** Each device: its create/use/destroy cycle, then its creations that fail. */
    static Stream<Arguments> devices() {
        return Stream.of(
                Arguments.of("sampling", (Cycle) DeviceLeakTest::samplingCycle, "failed sampling creations",
                        (Creation) p -> new ComediAnalogSamplingDevice(p, 2), EmulatedBoard.DO_ONLY),
                Arguments.of("streaming", (Cycle) DeviceLeakTest::streamingCycle, "failed streaming creations",
                        (Creation) p -> new ComediAnalogStreamingDevice(p, 2, 1000, 4096), EmulatedBoard.DO_ONLY),
                Arguments.of("analog output", (Cycle) DeviceLeakTest::analogOutputCycle,
                        "failed analog output creations", (Creation) p -> new ComediAnalogSWOutDevice(p, 2),
                        EmulatedBoard.DIO64),
                Arguments.of("digital ports", (Cycle) DeviceLeakTest::portCycle, "failed port creations",
                        (Creation) p -> new ComediDigitalPortOutDevice(p, new int[] {0, 1}, 8), EmulatedBoard.DO_ONLY),
                Arguments.of("digital input ports", (Cycle) DeviceLeakTest::portInputCycle,
                        "failed port input creations",
                        (Creation) p -> new ComediDigitalPortInDevice(p, new int[] {0, 1}, 8), EmulatedBoard.DO_ONLY));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("devices")
    void cyclesAndFailedCreations(String what, Cycle cycle, String failedWhat, Creation creation,
            String boardWithoutSubdevice) {
        assertNoLeak(what, cycle);
        assertNoLeak(failedWhat, i -> failedCreation(i, creation, boardWithoutSubdevice));
    }

    /** A description allocates its whole answer in C and in Java: all of it must go again. */
    @Test
    void descriptionsAndFailedDescriptions() {
        assertNoLeak("descriptions", i -> assertEquals(3, ComediDeviceInfo.describe(MULTI).subdevices().size()));
        // Every board can be described, so the long bad path stands in for the board that lacks something.
        assertNoLeak("failed descriptions", i -> failedCreation(i, p -> {
            ComediDeviceInfo.describe(p);
            return () -> { };
        }, LONG_BAD_PATH));
    }

    /**
     * A streaming handle destroyed by another class's native must not keep its raw sample buffer:
     * 200 buffers of 8 MiB would add 1.6 GB of address space.
     */
    @Test
    void foreignDestroyReleasesTheRawSampleBuffer() {
        var caller = new ComediAnalogStreamingDevice(MULTI, 1, 1000, 16);
        caller.close();
        var sampling = new ComediAnalogSamplingDevice(MULTI, 1);
        sampling.close();
        for (int i = 0; i < 20; i++) {
            sampling.nDestroy(caller.nCreateTask(MULTI, 1, 1000, 4 << 20));
        }
        ByteBuffer out = ByteBuffer.allocateDirect(8);
        long before = statm(0);
        for (int i = 0; i < 200; i++) {
            ByteBuffer h = caller.nCreateTask(MULTI, 1, 1000, 4 << 20);
            sampling.nDestroy(h);
            // The record stays usable as a destroyed handle, whichever class destroyed it.
            var closed = assertThrows(ComediException.class, () -> caller.nScan(h, out));
            assertEquals("Error polling device: device is closed", closed.getMessage());
        }
        long grownMb = (statm(0) - before) * pageSize() >> 20;
        assertTrue(grownMb < 400, "address space grew by " + grownMb + " MB over 200 foreign destroys");
    }

    // ---- cycles -------------------------------------------------------------------------------

    private static void samplingCycle(int i) {
        try (var ai = new ComediAnalogSamplingDevice(MULTI, 2)) {
            ai.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 3, -5, 5, AnalogReference.COMMON);
            double[] v = ai.scan();
            assertEquals(1.0, v[0], 0.01);
        }
    }

    private static void streamingCycle(int i) {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 2, 10_000, 4096)) {
            ai.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            ai.configureChannel(1, 7, -10, 10, AnalogReference.GROUND);
            ai.configure();
            ai.start();
            EmulatedBoard.advanceScans(MULTI, 10);
            double[] v = new double[4096];
            assertEquals(20, ai.read(v));
            ai.stop();
        }
    }

    private static void analogOutputCycle(int i) {
        try (var ao = new ComediAnalogSWOutDevice(MULTI, 2)) {
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(1, 1, 0, 10, AnalogReference.GROUND);
            ao.write(1.0, (i % 10));
        }
    }

    private static void portCycle(int i) {
        try (var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0, 1}, 8)) {
            dio.write(i & 0xff, ~i & 0xff);
        }
    }

    private static void portInputCycle(int i) {
        try (var in = new ComediDigitalPortInDevice(MULTI, new int[] {0, 1}, 8)) {
            assertEquals(2, in.read().length);
            in.readLine(1, i & 7);
        }
    }

    private interface Creation {
        AutoCloseable create(String path) throws Exception;
    }

    /** Fails in turn on the path, on a board without the subdevice, and on an injected fault. */
    private static void failedCreation(int i, Creation creation, String boardWithoutSubdevice) {
        String path;
        switch (i % 3) {
            case 0:
                path = LONG_BAD_PATH;
                break;
            case 1:
                path = boardWithoutSubdevice;
                break;
            default:
                path = MULTI;
                EmulatedBoard.failNext(i % 2 == 0 ? EmulatedBoard.OP_OPEN : EmulatedBoard.OP_SUBDINFO, 5);
        }
        assertThrows(ComediException.class, () -> creation.create(path).close());
        EmulatedBoard.clearFaults();
    }

    // ---- measuring --------------------------------------------------------------------------

    private interface Cycle {
        void run(int i);
    }

    private final StringBuilder report = new StringBuilder();

    private void assertNoLeak(String what, Cycle cycle) {
        // The streaming trace goes to a file for the whole run; its descriptor is counted on both sides.
        NativeStdout.begin();
        try {
            for (int i = 0; i < WARM_UP; i++) {
                cycle.run(i);
            }
            settle();
            Map<String, String> fdsBefore = openFds();
            long rssBefore = nonHeapResidentBytes();
            // A leak grows the C heap in every part of the run; the JVM's own allocations (a compiler
            // arena that its chunk pool keeps for a while, compilations that a loaded machine delays)
            // come in steps that miss some parts.
            long[] mallocMarks = new long[PARTS + 1];
            mallocMarks[0] = settledMallocInUse();
            for (int part = 0; part < PARTS; part++) {
                runCycles(cycle, CYCLES * part / PARTS, CYCLES * (part + 1) / PARTS);
                mallocMarks[part + 1] = settledMallocInUse();
            }
            Map<String, String> fdsAfter = openFds();
            long rssAfter = nonHeapResidentBytes();
            // Under load the cleaner thread can lag behind the collector: give it more time before
            // calling growth a leak. A real leak stays however long one waits.
            for (int retry = 0; retry < 5 && (rssAfter - rssBefore >= RSS_TOLERANCE_MB << 20
                    || leastGrowth(mallocMarks) >= PART_MALLOC_TOLERANCE); retry++) {
                settle();
                rssAfter = Math.min(rssAfter, nonHeapResidentBytes());
                mallocMarks[PARTS] = Math.min(mallocMarks[PARTS], NativeMemory.mallocInUseBytes());
            }
            long mallocBefore = mallocMarks[0];
            long mallocAfter = mallocMarks[PARTS];
            report.append(String.format("%s: %d cycles, descriptors %d -> %d, resident memory outside the Java"
                    + " heap %.1f -> %.1f MB, C heap in use %.2f -> %.2f MB%n", what, CYCLES, fdsBefore.size(),
                    fdsAfter.size(), rssBefore / 1048576.0, rssAfter / 1048576.0, mallocBefore / 1048576.0,
                    mallocAfter / 1048576.0));
            assertEquals(fdsBefore, fdsAfter, what + ": open file descriptors");
            if (UNDER_ASAN) {
                // ASan keeps freed memory in quarantine (256 MB) to catch late uses: resident memory
                // grows by design there; the build without it checks this.
                report.append(what).append(": resident memory not compared under ASan\n");
            } else {
                assertTrue(leastGrowth(mallocMarks) < PART_MALLOC_TOLERANCE, what + ": the C heap grew in every"
                        + " part of the run: " + growthsInKb(mallocMarks));
                assertTrue(rssAfter - rssBefore < RSS_TOLERANCE_MB << 20, what + ": resident memory grew by "
                        + ((rssAfter - rssBefore) >> 20) + " MB");
            }
            assertEquals(fixture.openBefore(), EmulatedBoard.openCount(), what + ": emulated devices left open");
        } finally {
            NativeStdout.end();
            // Only now: System.out shares the captured descriptor.
            System.out.print(report);
            report.setLength(0);
        }
    }

    private static void runCycles(Cycle cycle, int from, int to) {
        for (int i = from; i < to; i++) {
            cycle.run(i);
            // Handle and scratch buffers are freed when the collector finds them: collected now and
            // then, malloc reuses their memory instead of growing past what a cycle needs.
            if (i % 250 == 249) {
                System.gc();
            }
        }
        settle();
    }

    private static long leastGrowth(long[] marks) {
        long least = Long.MAX_VALUE;
        for (int i = 1; i < marks.length; i++) {
            least = Math.min(least, marks[i] - marks[i - 1]);
        }
        return least;
    }

    private static String growthsInKb(long[] marks) {
        StringBuilder text = new StringBuilder();
        for (int i = 1; i < marks.length; i++) {
            text.append(i > 1 ? ", " : "").append((marks[i] - marks[i - 1]) >> 10).append(" KB");
        }
        return text.toString();
    }

    /**
     * The C heap in use once the cleaners of dropped buffers have caught up: measured again after
     * each collection for as long as it still falls by more than 64 KB.
     */
    private static long settledMallocInUse() {
        long inUse = NativeMemory.mallocInUseBytes();
        for (int k = 0; k < 10; k++) {
            settle();
            long now = NativeMemory.mallocInUseBytes();
            if (inUse - now < 64 << 10) {
                return Math.min(inUse, now);
            }
            inUse = now;
        }
        return inUse;
    }

    /** Lets the collector run the cleaners of the dropped handle buffers. */
    private static void settle() {
        for (int i = 0; i < 3; i++) {
            System.gc();
            try {
                Thread.sleep(50);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /** Descriptor number to what it refers to, so that a difference names the file. */
    private static Map<String, String> openFds() {
        Map<String, String> fds = new TreeMap<>();
        String[] entries = new File("/proc/self/fd").list();
        assertTrue(entries != null);
        for (String fd : entries) {
            try {
                String target = Files.readSymbolicLink(Path.of("/proc/self/fd", fd)).toString();
                // The JVM opens sockets and reads /proc and cgroup files of its own now and then
                // (container metrics); neither libvorn, comedilib nor the emulated board ever does.
                if (!target.startsWith("socket:") && !target.startsWith("/sys/") && !target.startsWith("/proc/")) {
                    fds.put(fd, target);
                }
            } catch (IOException e) {
                // The descriptor that listed the directory is gone by now.
            }
        }
        return fds;
    }

    private static long nonHeapResidentBytes() {
        return statm(1) * pageSize() - Runtime.getRuntime().totalMemory();
    }

    /** Field k of /proc/self/statm, in pages (0: size, 1: resident). */
    private static long statm(int k) {
        try {
            return Long.parseLong(Files.readString(Path.of("/proc/self/statm")).trim().split(" ")[k]);
        } catch (IOException e) {
            throw new AssertionError(e);
        }
    }

    /** The page size of x86-64 and of the other Linux targets the project builds for. */
    private static long pageSize() {
        return 4096;
    }
}
