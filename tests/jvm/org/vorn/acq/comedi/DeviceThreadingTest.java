// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.File;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CyclicBarrier;
import java.util.function.Consumer;
import java.util.function.Function;
import java.util.jar.JarFile;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.DirectBuffers;
import org.vorn.testsupport.NativeStdout;

/**
 * Real threads against one device: readers, stoppers and closers at random moments, close against
 * close, an output write against close-and-reopen, two readers of one stream, dropped devices, and
 * handle buffers that the library did not create. A race shows as a crash, an ASan report, a
 * ComediException where the outcome must be "stopped" or "closed", a sample lost or delivered
 * twice, a value converted with the wrong range, or a device left open.
 *
 * <p>{@code -Dvorn.races.rounds=N} sets the rounds of each race (default below; README, Robustness).
 */
class DeviceThreadingTest {
    private static final int ROUNDS = Integer.getInteger("vorn.races.rounds", 2000);
    private static final String MULTI = EmulatedBoard.MULTI;
    private static final String AI18 = EmulatedBoard.AI18;
    private static final int COUNTER = 7;

    private final Random rnd = new Random(13);
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_INSTANT);

    @BeforeEach
    void setUp() {
        NativeStdout.begin(); // the command traces of configure()
    }

    @AfterEach
    void tearDown() {
        NativeStdout.end();
        assertEquals(0, EmulatedBoard.subdeviceBusy(MULTI, 0), "analog input left busy");
    }

    /** Runs the actions on threads of their own, released together; the first failure is rethrown. */
    private static void race(Runnable... actions) {
        CyclicBarrier go = new CyclicBarrier(actions.length);
        ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
        List<Thread> threads = new ArrayList<>();
        for (Runnable action : actions) {
            Thread t = new Thread(() -> {
                try {
                    go.await();
                    action.run();
                } catch (Throwable e) {
                    failures.add(e);
                }
            });
            t.start();
            threads.add(t);
        }
        for (Thread t : threads) {
            try {
                t.join(20_000);
            } catch (InterruptedException e) {
                throw new AssertionError(e);
            }
            assertFalse(t.isAlive(), "a racing call hangs");
        }
        if (!failures.isEmpty()) {
            AssertionError e = new AssertionError("a racing call failed", failures.peek());
            failures.stream().skip(1).forEach(e::addSuppressed);
            throw e;
        }
    }

    /** Spins for a random short while, so that the other side is caught at every stage of its call. */
    private static void jitter(int maxSpins) {
        int n = java.util.concurrent.ThreadLocalRandom.current().nextInt(maxSpins);
        for (int i = 0; i < n; i++) {
            Thread.onSpinWait();
        }
    }

    /** Repeats {@code call} until it raises one of the outcomes a concurrent stop or close may give. */
    private static void untilEnded(Runnable call, Class<?>... allowed) {
        for (;;) {
            try {
                call.run();
            } catch (RuntimeException e) {
                for (Class<?> c : allowed) {
                    if (c.isInstance(e)) {
                        if (e instanceof IllegalStateException && !(e instanceof org.vorn.exception.StreamStoppedException)) {
                            assertTrue(e.getMessage().matches("device .* is closed"), e.getMessage());
                        }
                        return;
                    }
                }
                throw e;
            }
        }
    }

    private static ComediAnalogStreamingDevice startedStream(String board, int bufSize) {
        var ai = new ComediAnalogStreamingDevice(board, 2, 10_000, bufSize);
        ai.configureChannel(0, COUNTER, -10, 10, AnalogReference.GROUND);
        ai.configureChannel(1, COUNTER, -5, 5, AnalogReference.GROUND);
        ai.configure();
        ai.start();
        return ai;
    }

    // ---- readers, stoppers, closers -----------------------------------------------------------

    @Test
    void readersAgainstStopAndCloseEndWithStoppedOrClosedOnly() {
        for (int round = 0; round < ROUNDS; round++) {
            var ai = startedStream(MULTI, 256);
            double[] array = new double[256];
            ByteBuffer direct = StreamingTestSupport.doubles(256);
            boolean stopFirst = rnd.nextBoolean();
            race(() -> untilEnded(() -> ai.read(array), org.vorn.exception.StreamStoppedException.class, IllegalStateException.class),
                    () -> untilEnded(() -> ai.read(direct), org.vorn.exception.StreamStoppedException.class, IllegalStateException.class),
                    () -> {
                        jitter(20_000);
                        if (stopFirst) {
                            stopUnlessClosed(ai);
                        }
                        ai.close();
                    },
                    () -> {
                        jitter(20_000);
                        stopUnlessClosed(ai); // a second Stop button, or a shutdown hook
                    });
            assertTrue(ai.isClosed());
            assertThrows(IllegalStateException.class, () -> ai.read(array));
        }
    }

    /** stop() succeeds, or finds the device closed by another thread. */
    private static void stopUnlessClosed(ComediAnalogStreamingDevice ai) {
        try {
            ai.stop();
        } catch (IllegalStateException closed) {
            assertTrue(ai.isClosed());
            assertEquals("device " + MULTI + " is closed", closed.getMessage());
        }
    }

    /**
     * A read after stop() on another thread raises the stopped outcome until start() runs again;
     * a program of 0.1 that catches the old class name still catches it.
     */
    @Test
    @SuppressWarnings("removal")
    void aReadAfterAnotherThreadsStopSaysStoppedAndStartResumes() {
        try (var ai = startedStream(MULTI, 64)) {
            race(ai::stop);
            var e = assertThrows(StreamStoppedException.class, () -> ai.read(new double[64]));
            assertInstanceOf(org.vorn.exception.StreamStoppedException.class, e);
            assertEquals(MULTI, e.getDevice());
            assertEquals("the stream of " + MULTI + " is stopped", e.getMessage());
            ai.stop();
            ai.start();
            assertEquals(64, ai.read(new double[64]));
            ai.stop();
        }
    }

    private enum Kind { SAMPLING, STREAMING, SWOUT, PORT, PORT_IN }

    private static ComediDevice open(Kind kind, String board) {
        switch (kind) {
            case SAMPLING: {
                var ai = new ComediAnalogSamplingDevice(board, 2);
                ai.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
                ai.configureChannel(1, 3, -5, 5, AnalogReference.GROUND);
                return ai;
            }
            case STREAMING:
                return startedStream(board, 64);
            case SWOUT: {
                var ao = new ComediAnalogSWOutDevice(board, 1);
                ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
                return ao;
            }
            case PORT_IN:
                return new ComediDigitalPortInDevice(board, new int[] {2}, 8);
            default:
                return new ComediDigitalPortOutDevice(board, new int[] {0, 1}, 8);
        }
    }

    /** The device's own hot call, as a user's loop would make it (both forms where there are two). */
    private static Runnable hotCall(ComediDevice d) {
        if (d instanceof ComediAnalogSamplingDevice) {
            ByteBuffer volts = DirectBuffers.direct(16);
            return () -> {
                ((ComediAnalogSamplingDevice) d).scan();
                ((ComediAnalogSamplingDevice) d).scan(volts);
            };
        }
        if (d instanceof ComediAnalogStreamingDevice) {
            double[] volts = new double[64];
            return () -> ((ComediAnalogStreamingDevice) d).read(volts);
        }
        if (d instanceof ComediAnalogSWOutDevice) {
            return () -> ((ComediAnalogSWOutDevice) d).write(1.5);
        }
        if (d instanceof ComediDigitalPortInDevice) {
            long[] values = new long[1];
            return () -> ((ComediDigitalPortInDevice) d).read(values);
        }
        ByteBuffer values = DirectBuffers.ofLongs(0x5A, 0xA5);
        return () -> {
            ((ComediDigitalPortOutDevice) d).write(0x5A, 0xA5);
            ((ComediDigitalPortOutDevice) d).write(values);
        };
    }

    /** Close against close against the device's hot call, for every kind of device. */
    @ParameterizedTest
    @EnumSource(Kind.class)
    void closeAgainstCloseAgainstCallsOfEveryKind(Kind kind) {
        for (int round = 0; round < ROUNDS / 2; round++) {
            ComediDevice d = open(kind, MULTI);
            Runnable call = hotCall(d);
            race(() -> untilEnded(call, IllegalStateException.class),
                    () -> untilEnded(call, IllegalStateException.class),
                    () -> {
                        jitter(20_000);
                        d.close();
                    },
                    () -> {
                        jitter(20_000);
                        d.close();
                    });
            assertTrue(d.isClosed());
        }
    }

    /**
     * A write that loses the race against close() must not reach the board that the next open gets:
     * once, that was +5 V on the other board's AO0.
     */
    @Test
    void anOutputWriteAgainstCloseAndReopenNeverReachesTheOtherBoard() {
        for (int round = 0; round < ROUNDS; round++) {
            var ao = new ComediAnalogSWOutDevice(MULTI, 1);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            List<ComediAnalogSWOutDevice> reopened = new ArrayList<>();
            race(() -> untilEnded(() -> ao.write(5.0), IllegalStateException.class), () -> {
                jitter(20_000);
                ao.close();
                var other = new ComediAnalogSWOutDevice(AI18, 1);
                other.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
                other.write(0.0);
                reopened.add(other);
            });
            assertEquals(32768, EmulatedBoard.aoRaw(AI18, 0), "round " + round + ": AO0 of the other board");
            reopened.get(0).close();
        }
    }

    // ---- two readers of one stream ------------------------------------------------------------

    /**
     * Two threads drain one stream of the counter channel at two ranges: every sample arrives
     * exactly once, each read is a contiguous run of the stream, and each value is converted with
     * its own position's range.
     */
    @Test
    void twoReadersOfTheCounterGetContiguousRunsAndEverySampleOnce() {
        final int bufSize = 50;
        final int readsPerThread = 40;
        int[][] ranges = {StreamingTestSupport.AI_RANGES_UV[0], StreamingTestSupport.AI_RANGES_UV[1]};
        for (int round = 0; round < ROUNDS / 10; round++) {
            try (var ai = startedStream(MULTI, bufSize)) {
                ConcurrentLinkedQueue<long[]> runs = new ConcurrentLinkedQueue<>();
                Function<double[], long[]> decode = volts -> decodeCounter(volts, ranges);
                Runnable reader = () -> {
                    double[] array = new double[bufSize];
                    ByteBuffer direct = StreamingTestSupport.doubles(bufSize);
                    for (int r = 0; r < readsPerThread; r++) {
                        int n = r % 2 == 0 ? ai.read(array) : ai.read(direct);
                        double[] got = new double[n];
                        if (r % 2 == 0) {
                            System.arraycopy(array, 0, got, 0, n);
                        } else {
                            direct.asDoubleBuffer().get(got);
                        }
                        runs.add(decode.apply(got));
                    }
                };
                race(reader, reader);
                ai.stop();
                boolean[] seen = new boolean[2 * readsPerThread * bufSize];
                int total = 0;
                for (long[] run : runs) {
                    for (long k : run) {
                        assertTrue(k < seen.length && !seen[(int) k], "sample " + k + " delivered twice or invented");
                        seen[(int) k] = true;
                    }
                    total += run.length;
                }
                for (int k = 0; k < total; k++) {
                    assertTrue(seen[k], "sample " + k + " of " + total + " lost");
                }
                assertEquals(2 * readsPerThread * bufSize, total, "INSTANT clock: every read is full");
            }
        }
    }

    /**
     * The sample numbers of one read; fails unless they are consecutive and every value is exactly
     * the counter at its position's range (position = sample number mod 2).
     */
    private static long[] decodeCounter(double[] volts, int[][] ranges) {
        long[] numbers = new long[volts.length];
        if (volts.length == 0) {
            return numbers;
        }
        long first = -1;
        for (int p = 0; p < 2 && first < 0; p++) {
            long raw = Math.round((volts[0] - ranges[p][0] * 1e-6) / ((ranges[p][1] - ranges[p][0]) * 1e-6) * 65535);
            if (raw % 2 == p && StreamingTestSupport.toPhys(raw, ranges[p], 65535) == volts[0]) {
                first = raw;
            }
        }
        assertTrue(first >= 0, "value " + volts[0] + " is no counter value at either range");
        for (int j = 0; j < volts.length; j++) {
            long k = first + j;
            assertEquals(StreamingTestSupport.toPhys(k % 65536, ranges[(int) (k % 2)], 65535), volts[j],
                    "value " + j + " of a read starting at sample " + first);
            numbers[j] = k;
        }
        return numbers;
    }

    // ---- dropped devices ----------------------------------------------------------------------

    /**
     * A thousand devices of every kind dropped without close(), one stream in twenty started:
     * once collected, the board's open count and busy flags are what they were. A start that finds
     * the subdevice still busy with a dropped stream waits for the collector to release it.
     */
    @Test
    void droppedDevicesOfEveryKindAreReleasedOnceCollected() throws InterruptedException {
        int streamsWaitingForTheCollector = 0;
        for (int i = 0; i < 1000; i++) {
            for (Kind kind : Kind.values()) {
                if (kind != Kind.STREAMING) {
                    // Instruction reads of a subdevice that a dropped stream keeps busy would fail.
                    hotCall(open(kind, kind == Kind.SAMPLING ? AI18 : MULTI)).run();
                    continue;
                }
                if (i % 20 != 0) {
                    new ComediAnalogStreamingDevice(MULTI, 2, 10_000, 4096).configureChannel(0, 1, -10, 10,
                            AnalogReference.GROUND); // its raw buffer goes too
                    continue;
                }
                for (int attempt = 0;; attempt++) {
                    try {
                        hotCall(open(kind, MULTI)).run();
                        break;
                    } catch (ComediException busy) {
                        assertEquals("Error starting command: Device or resource busy (device /dev/comedi-emu/multi)", busy.getMessage());
                        assertTrue(attempt < 200, "a dropped stream keeps the subdevice busy");
                        streamsWaitingForTheCollector++;
                        System.gc();
                        Thread.sleep(2);
                    }
                }
            }
        }
        awaitReleased();
        System.err.println("dropped 1000 devices of each kind; " + streamsWaitingForTheCollector
                + " starts waited for the collector");
    }

    private void awaitReleased() throws InterruptedException {
        for (int i = 0; i < 600 && (EmulatedBoard.openCount() != fixture.openBefore()
                || EmulatedBoard.subdeviceBusy(MULTI, 0) != 0); i++) {
            System.gc();
            Thread.sleep(20);
        }
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount(), "dropped devices still open once collected");
        assertEquals(0, EmulatedBoard.subdeviceBusy(MULTI, 0), "a dropped stream keeps the subdevice busy");
    }

    // ---- handle buffers the library did not create ----------------------------------------------

    private enum Foreign {
        TOO_SMALL, SLICE_OF_A_HANDLE, GARBAGE_OF_THE_RIGHT_SIZE, COPY_OF_A_HANDLE, READ_ONLY_VIEW, DUPLICATE
    }

    private static ByteBuffer foreign(Foreign kind, ByteBuffer real) {
        switch (kind) {
            case TOO_SMALL:
                return ByteBuffer.allocateDirect(8);
            case SLICE_OF_A_HANDLE:
                return real.slice(8, real.capacity() - 8);
            case GARBAGE_OF_THE_RIGHT_SIZE: {
                ByteBuffer b = ByteBuffer.allocateDirect(real.capacity());
                new Random(1).ints(real.capacity()).forEach(v -> b.put((byte) v));
                return b;
            }
            case COPY_OF_A_HANDLE: {
                ByteBuffer b = ByteBuffer.allocateDirect(real.capacity());
                b.put(real.duplicate().clear());
                return b;
            }
            case READ_ONLY_VIEW:
                return real.asReadOnlyBuffer();
            default:
                return real.duplicate();
        }
    }

    /** Every native of every class, on a foreign buffer: a ComediException, and the real device works on. */
    @ParameterizedTest
    @EnumSource(Foreign.class)
    void foreignHandleBuffersAreRefusedByEveryNative(Foreign kind) {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000, 16);
                var sampling = new ComediAnalogSamplingDevice(MULTI, 1);
                var ao = new ComediAnalogSWOutDevice(MULTI, 1);
                var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0}, 8);
                var din = new ComediDigitalPortInDevice(MULTI, new int[] {1}, 8)) {
            ByteBuffer out = StreamingTestSupport.doubles(256);
            List<Consumer<ByteBuffer>> natives = List.of(
                    h -> ai.nCreateChannels(h, 0, (short) 1, -10, 10, "ground"), ai::nConfigTask, ai::nStart,
                    h -> ai.nScan(h, out), ai::nStop, ai::nDestroy,
                    h -> sampling.nCreateChannels(h, 0, (short) 1, -10, 10, "ground"), h -> sampling.nScan(h, out),
                    sampling::nDestroy, h -> ao.nCreateChannels(h, 0, (short) 0, -10, 10, "ground"),
                    h -> ao.nWrite(h, out), ao::nDestroy, h -> dio.nWrite(h, out), dio::nDestroy,
                    h -> ComediDigitalPortInDevice.nRead(h, out), h -> ComediDigitalPortInDevice.nReadLine(h, 0, 0),
                    h -> ComediAnalogDevice.nChannelRange(h, 0, new double[7]),
                    h -> ComediAnalogDevice.nCalibration(h, 0, new double[7]),
                    h -> ComediAnalogDevice.nSetCalibration(h, 2, null), ComediDevice::nRelease);
            for (ComediDevice owner : List.of(ai, sampling, ao, dio, din)) {
                owner.lock();
                ByteBuffer real = owner.handle();
                owner.unlock();
                byte[] before = bytes(real);
                ByteBuffer bad = foreign(kind, real);
                for (Consumer<ByteBuffer> call : natives) {
                    var e = assertThrows(ComediException.class, () -> call.accept(bad));
                    assertTrue(e.getMessage().startsWith("The device handle "), e.getMessage());
                }
                assertArrayEquals(before, bytes(real), "the real record is untouched");
            }
            sampling.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            assertEquals(1.0, sampling.scan()[0], 1e-3);
            dio.write(0x81);
        }
        assertEquals(fixture.openBefore(), EmulatedBoard.openCount());
    }

    /** Released by nDestroy, a handle stays one of ours: "device is closed" on every call, also through a view. */
    @Test
    void aReleasedHandleStaysValidButClosedAndIsNeverWrittenAgain() {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000, 16)) {
            ByteBuffer h = ai.nCreateTask(MULTI, 1, 1000, 16);
            ai.nDestroy(h);
            ByteBuffer view = h.asReadOnlyBuffer();
            byte[] before = bytes(h);
            for (ByteBuffer b : List.of(h, view)) {
                assertEquals("Error opening comedi device (none): device is closed",
                        assertThrows(ComediException.class, () -> ai.nStart(b)).getMessage());
                assertEquals("Error polling device: device is closed",
                        assertThrows(ComediException.class, () -> ai.nScan(b, StreamingTestSupport.doubles(16)))
                                .getMessage());
                ai.nDestroy(b);
                ComediDevice.nRelease(b);
            }
            assertArrayEquals(before, bytes(h), "nothing written into a released record");
        }
    }

    private static byte[] bytes(ByteBuffer b) {
        byte[] copy = new byte[b.capacity()];
        b.duplicate().clear().get(copy);
        return copy;
    }

    /** The jar seals its packages: a class of the package from any other place is refused. */
    @Test
    void theLibraryJarIsSealed() throws Exception {
        String jar = System.getProperty("vorn.jar");
        assertTrue(jar != null && new File(jar).isFile(), "-Dvorn.jar names the library's jar");
        try (var file = new JarFile(jar)) {
            assertEquals("true", file.getManifest().getMainAttributes().getValue("Sealed"));
        }
        URL tests = DeviceThreadingTest.class.getProtectionDomain().getCodeSource().getLocation();
        try (var loader = new URLClassLoader(new URL[] {new File(jar).toURI().toURL(), tests}, null)) {
            loader.loadClass(ComediDevice.class.getName());
            var e = assertThrows(SecurityException.class, () -> loader.loadClass(DeviceThreadingTest.class.getName()));
            assertTrue(e.getMessage().contains("sealing violation"), e.getMessage());
        }
    }
}
