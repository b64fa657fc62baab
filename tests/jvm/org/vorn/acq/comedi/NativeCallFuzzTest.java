// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.TreeMap;
import java.util.function.Consumer;
import java.util.function.IntSupplier;

import org.junit.jupiter.api.Test;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.NativeStdout;

/**
 * Random call sequences over every native of every device class, straight and through the public
 * API, with hostile arguments and the emulated board's faults switched on and off: the JVM must
 * survive, every failure must be a Java exception with a message, no output buffer may be written
 * outside the bytes it was given, and nothing may stay open once everything is closed.
 *
 * <p>The natives trust the size of a data buffer (the public API checks it), so a buffer handed
 * straight to a native is always large enough for the handle it goes with; too small buffers go
 * through the API. Null, heap-backed and read-only buffers, destroyed handles and handles of
 * another class go straight to the natives.
 *
 * <p>Reproduce or extend a run with {@code -Dvorn.fuzz.seed=N -Dvorn.fuzz.calls=N} (defaults
 * below); the seed and the counts are printed at the end, and a failure names the seed and the
 * call count that reproduce it.
 *
 * <p>The buffers the test makes itself are sized from the heap: a device may ask for 2^30 values,
 * which the library must cope with, but the test's own array of them would run the JVM out of
 * memory and fail the test for no fault of the library. Beyond {@link #OWN_VALUES} the test hands
 * a smaller buffer, which the API must refuse.
 */
class NativeCallFuzzTest {
    private static final long SEED = Long.getLong("vorn.fuzz.seed", 0x5EEDL);
    private static final int CALLS = Integer.getInteger("vorn.fuzz.calls", 100_000);
    /** The most values (8 bytes each) in one buffer of the test's own: a sixty-fourth of the heap. */
    private static final long OWN_VALUES = Runtime.getRuntime().maxMemory() / 64;

    /** Guard bytes on both sides of every output buffer, and the pattern they hold. */
    private static final int GUARD = 32;
    private static final byte FILL = (byte) 0xA5;

    /** The natives assume at most this many channels or ports per handle. */
    private static final int MAX_CHANNELS = 256;

    private static final String[] BOARDS = {
        EmulatedBoard.MULTI, EmulatedBoard.AI18, EmulatedBoard.NOCMD, EmulatedBoard.DO_ONLY,
        EmulatedBoard.DIO64, EmulatedBoard.COMEDI_TEST, EmulatedBoard.SOFTCAL,
    };
    private static final String[] BAD_PATHS = {
        "/dev/comedi-emu/nothing", "", "/nonexistent/comedi0", "/dev/null", "/dev/comedi-emu/m\u00fclti\u00ff",
        "/dev/\uD800comedi", "/dev/\uD83D\uDE00", "x".repeat(5000) + "\u00e9",
    };
    private static final String[] REFERENCES = {
        "ground", "common", "diff", "other", "", "GROUND", "gr\u00f6und", "\u0000ground", "\uD83D", "\uD83D\uDE00",
        "diff".repeat(1000), null,
    };
    private static final double[] DOUBLES = {
        Double.NaN, Double.POSITIVE_INFINITY, Double.NEGATIVE_INFINITY, 0.0, -0.0, Double.MIN_VALUE,
        -Double.MIN_VALUE, Double.MAX_VALUE, -Double.MAX_VALUE, 1e300, -1e300, -10, 10, -5, 5, -1, 1, 0.5, 3.3,
    };
    private static final double[] FREQUENCIES = {
        0, -0.0, -1, -1e9, Double.NaN, Double.POSITIVE_INFINITY, Double.NEGATIVE_INFINITY, Double.MIN_VALUE,
        0.2, 0.2328306436, 0.2328306437, 0.25, 1, 100, 1000, 20000, 1e6, 1e9, 1e12, Double.MAX_VALUE,
    };
    private static final int[] ERRNOS = {1, 5, 11, 12, 14, 16, 19, 22, 25, 32, 95, 110, 0};

    private enum Kind { SAMPLING, STREAMING, SWOUT, PORT, PORT_IN }

    /** A handle made by a native, and what it was made for. */
    private static final class Raw {
        final Kind kind;
        final ByteBuffer handle;
        final int channels;
        final int ports;
        boolean destroyed;

        Raw(Kind kind, ByteBuffer handle, int channels, int ports) {
            this.kind = kind;
            this.handle = handle;
            this.channels = channels;
            this.ports = ports;
        }
    }

    private Random rnd;
    private final List<Raw> raws = new ArrayList<>();
    private final List<ComediDevice> devices = new ArrayList<>();
    private final Map<String, Integer> failures = new TreeMap<>();
    private final Map<String, int[]> outcomes = new TreeMap<>();
    private long calls;
    private long succeeded;
    private long faults;
    private long guardChecks;

    // Objects to call the natives on: the natives never look at them, and their own handles are closed.
    private ComediAnalogSamplingDevice sampling;
    private ComediAnalogStreamingDevice streaming;
    private ComediAnalogSWOutDevice swout;
    private ComediDigitalPortOutDevice port;

    @Test
    void randomCallSequencesNeverCrashLeakOrOverrun() {
        EmulatedBoard.reset();
        EmulatedBoard.setClock(EmulatedBoard.CLOCK_MANUAL);
        int openBefore = EmulatedBoard.openCount();
        rnd = new Random(SEED);
        sampling = new ComediAnalogSamplingDevice(EmulatedBoard.MULTI, 1);
        streaming = new ComediAnalogStreamingDevice(EmulatedBoard.MULTI, 1, 1000, 16);
        swout = new ComediAnalogSWOutDevice(EmulatedBoard.MULTI, 1);
        port = new ComediDigitalPortOutDevice(EmulatedBoard.MULTI, new int[] {0}, 8);
        sampling.close();
        streaming.close();
        swout.close();
        port.close();

        long started = System.nanoTime();
        // The command traces of nConfigTask would flood the test log.
        NativeStdout.begin();
        try {
            while (calls < CALLS) {
                step();
            }
        } catch (Throwable e) {
            throw new AssertionError("seed " + SEED + ", call " + calls + " (rerun with -Dvorn.fuzz.seed=" + SEED
                    + " -Dvorn.fuzz.calls=" + calls + "): " + e, e);
        } finally {
            EmulatedBoard.clearFaults();
            for (Raw r : raws) {
                destroyOwn(r);
            }
            raws.clear();
            for (ComediDevice d : devices) {
                d.close();
            }
            devices.clear();
            NativeStdout.end();
        }
        double seconds = (System.nanoTime() - started) / 1e9;
        System.out.printf("seed %d: %d native calls (%d returned normally), %d faults injected, %d guard checks,"
                + " %.1f s%nfailures by exception: %s%n", SEED, calls, succeeded, faults, guardChecks, seconds,
                failures);
        outcomes.forEach((what, o) -> System.out.printf("  %-28s %6d of %6d returned normally%n", what, o[0], o[1]));
        assertEquals(openBefore, EmulatedBoard.openCount(), "devices left open after everything was closed");
        assertTrue(succeeded > calls / 20, "too few calls got past the argument checks to mean anything");
        EmulatedBoard.reset();
    }

    /** What one step does, and its share of the steps in percent (the shares add up to 100). */
    private static final class Step {
        final int percent;
        final Runnable action;

        Step(int percent, Runnable action) {
            this.percent = percent;
            this.action = action;
        }
    }

    private final Step[] steps = {
        new Step(10, this::rawCreate),
        new Step(12, this::rawCreateChannels),
        new Step(10, this::rawSamplingScan),
        new Step(14, this::rawStreaming),
        new Step(8, this::rawSwoutWrite),
        new Step(4, this::rawPortWrite),
        new Step(4, this::rawPortReadOrRange),
        new Step(5, this::rawDestroy),
        new Step(23, this::apiCall),
        new Step(10, this::board),
    };

    private void step() {
        int op = rnd.nextInt(100);
        for (Step s : steps) {
            if (op < s.percent) {
                s.action.run();
                return;
            }
            op -= s.percent;
        }
        fail("the step shares add up to less than 100");
    }

    // ---- arguments --------------------------------------------------------------------------

    private String path() {
        int k = rnd.nextInt(24);
        if (k == 0) {
            return null;
        }
        if (k < 4) {
            return BAD_PATHS[rnd.nextInt(BAD_PATHS.length)];
        }
        return BOARDS[rnd.nextInt(BOARDS.length)];
    }

    private int count() {
        switch (rnd.nextInt(18)) {
            case 0: return Integer.MIN_VALUE;
            case 1: return -1;
            case 2: return 0;
            case 3: return MAX_CHANNELS;
            case 4: return MAX_CHANNELS + 1;
            case 5: return Integer.MAX_VALUE;
            case 6: return 1 + rnd.nextInt(MAX_CHANNELS);
            default: return 1 + rnd.nextInt(4);
        }
    }

    private int index(int channels) {
        switch (rnd.nextInt(10)) {
            case 0: return Integer.MIN_VALUE;
            case 1: return -1;
            case 2: return MAX_CHANNELS - 1;
            case 3: return MAX_CHANNELS;
            case 4: return Integer.MAX_VALUE;
            case 5: return channels;
            default: return rnd.nextInt(Math.max(1, channels));
        }
    }

    private short hardwareChannel() {
        switch (rnd.nextInt(10)) {
            case 0: return Short.MIN_VALUE;
            case 1: return -1;
            case 2: return Short.MAX_VALUE;
            case 3: return (short) (16 + rnd.nextInt(64));
            default: return (short) rnd.nextInt(16);
        }
    }

    private double volts() {
        return rnd.nextInt(3) == 0 ? DOUBLES[rnd.nextInt(DOUBLES.length)] : -12 + 24 * rnd.nextDouble();
    }

    private String reference() {
        return REFERENCES[rnd.nextInt(REFERENCES.length)];
    }

    private int bufSize() {
        switch (rnd.nextInt(40)) {
            case 0: return Integer.MIN_VALUE;
            case 1: return -1;
            case 2: return 0;
            case 3: return Integer.MAX_VALUE;
            case 4: return Integer.MAX_VALUE / 2 + 1;
            case 5: return Integer.MAX_VALUE / 4 + 1;
            case 6: return 1 << 20;
            default: return 1 + rnd.nextInt(8192);
        }
    }

    /** Any handle: a live or destroyed one of any class, or no usable buffer at all. */
    private Raw anyRaw() {
        if (raws.isEmpty() || rnd.nextInt(12) == 0) {
            return null;
        }
        return raws.get(rnd.nextInt(raws.size()));
    }

    /** Half of the time a live handle of the class that the native belongs to, else any. */
    private Raw rawFor(Kind... kinds) {
        if (rnd.nextBoolean()) {
            List<Raw> own = new ArrayList<>();
            for (Raw r : raws) {
                if (!r.destroyed && List.of(kinds).contains(r.kind)) {
                    own.add(r);
                }
            }
            if (!own.isEmpty()) {
                return own.get(rnd.nextInt(own.size()));
            }
        }
        return anyRaw();
    }

    private ByteBuffer handleOf(Raw r) {
        if (r == null) {
            switch (rnd.nextInt(3)) {
                case 0: return null;
                case 1: return ByteBuffer.allocate(64 * 1024);
                default: return ByteBuffer.allocate(0);
            }
        }
        if (rnd.nextInt(10) == 0) {
            return r.handle.asReadOnlyBuffer(); // same memory, seen through a read-only view
        }
        return r.handle;
    }

    /** A direct buffer of {@code bytes} with guard bytes around it, or an unusable one. */
    private Guarded output(int bytes) {
        switch (rnd.nextInt(12)) {
            case 0: return new Guarded(null);
            case 1: return new Guarded(ByteBuffer.allocate(bytes).order(ByteOrder.nativeOrder()));
            case 2: return new Guarded(ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder())
                    .asReadOnlyBuffer());
            case 3: return Guarded.exact(bytes); // no guard: an overrun reaches the allocator's red zone under ASan
            default: return Guarded.guarded(bytes);
        }
    }

    /** A slice of a larger direct buffer, or an exact allocation; keeps the whole to check the guards. */
    private static final class Guarded {
        final ByteBuffer whole;
        final ByteBuffer buf;
        final int offset;

        private Guarded(ByteBuffer buf) {
            this(null, buf, 0);
        }

        private Guarded(ByteBuffer whole, ByteBuffer buf, int offset) {
            this.whole = whole;
            this.buf = buf;
            this.offset = offset;
        }

        static Guarded guarded(int bytes) {
            ByteBuffer whole = ByteBuffer.allocateDirect(bytes + 2 * GUARD);
            for (int i = 0; i < whole.capacity(); i++) {
                whole.put(i, FILL);
            }
            ByteBuffer mid = whole.slice(GUARD, bytes).order(ByteOrder.nativeOrder());
            return new Guarded(whole, mid, GUARD);
        }

        static Guarded exact(int bytes) {
            ByteBuffer b = ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
            return new Guarded(null, b, 0);
        }

        /** Every byte outside [offset + 0, offset + written) still holds the fill. */
        void check(int written, String what) {
            if (whole == null) {
                return;
            }
            for (int i = 0; i < whole.capacity(); i++) {
                if (i >= offset && i < offset + written) {
                    continue;
                }
                if (whole.get(i) != FILL) {
                    fail(what + " wrote byte " + (i - offset) + " of a buffer where it may write only bytes 0.."
                            + (written - 1) + " (seed " + SEED + ")");
                }
            }
        }
    }

    // ---- calling ------------------------------------------------------------------------------

    /** Runs one native or API call; a failure must be an expected exception with a message. */
    private boolean call(String what, Runnable action) {
        calls++;
        int[] outcome = outcomes.computeIfAbsent(what, k -> new int[2]);
        outcome[1]++;
        try {
            action.run();
            succeeded++;
            outcome[0]++;
            return true;
        } catch (ComediException | IllegalArgumentException | IllegalStateException | NullPointerException
                | OutOfMemoryError e) {
            String message = e.getMessage();
            if (message == null || message.isEmpty()) {
                fail(what + " raised " + e.getClass().getName() + " without a message (seed " + SEED + ")", e);
            }
            failures.merge(e.getClass().getSimpleName(), 1, Integer::sum);
            return false;
        } catch (RuntimeException | Error e) {
            fail(what + " raised " + e + " (seed " + SEED + ")", e);
            return false;
        }
    }

    private int callInt(String what, IntSupplier action) {
        int[] result = {-1};
        call(what, () -> result[0] = action.getAsInt());
        return result[0];
    }

    // ---- natives called directly --------------------------------------------------------------

    private void rawCreate() {
        // Too many live handles only slow the run down; keep the pool small.
        if (raws.size() > 24) {
            Raw old = raws.remove(rnd.nextInt(raws.size()));
            destroyOwn(old);
        }
        Kind kind = Kind.values()[rnd.nextInt(Kind.values().length)];
        String path = path();
        ByteBuffer[] made = new ByteBuffer[1];
        int channels = 0;
        int ports = 0;
        switch (kind) {
            case SAMPLING: {
                int n = count();
                channels = n;
                call("sampling nCreateTask", () -> made[0] = sampling.nCreateTask(path, n));
                break;
            }
            case SWOUT: {
                int n = count();
                channels = n;
                call("swout nCreateTask", () -> made[0] = swout.nCreateTask(path, n));
                break;
            }
            case STREAMING: {
                int n = count();
                double f = rnd.nextBoolean() ? FREQUENCIES[rnd.nextInt(FREQUENCIES.length)] : 1000;
                int size = bufSize();
                channels = n;
                call("streaming nCreateTask", () -> made[0] = streaming.nCreateTask(path, n, f, size));
                break;
            }
            case PORT: {
                ByteBuffer list = portList();
                int lines = rnd.nextInt(8) == 0 ? (rnd.nextBoolean() ? -1 : Integer.MAX_VALUE) : rnd.nextInt(10);
                ports = list != null && list.isDirect() ? list.capacity() >>> 2 : 0;
                call("port nCreateTask", () -> made[0] = port.nCreateTask(path, list, lines));
                break;
            }
            case PORT_IN: {
                ByteBuffer list = portList();
                int k = rnd.nextInt(8);
                int lines = k == 0 ? (rnd.nextBoolean() ? -1 : 65) : k == 1 ? rnd.nextInt(66) : 1 + rnd.nextInt(8);
                int[] subdevices = {-1, -1, -1, 0, 2, 3, Integer.MIN_VALUE, Integer.MAX_VALUE};
                int subdev = subdevices[rnd.nextInt(subdevices.length)];
                ports = list != null && list.isDirect() ? list.capacity() >>> 2 : 0;
                call("port-in nCreateTask",
                        () -> made[0] = ComediDigitalPortInDevice.nCreateTask(path, subdev, list, lines));
                break;
            }
            default:
                throw new AssertionError(kind);
        }
        if (made[0] != null) {
            raws.add(new Raw(kind, made[0], channels, ports));
        }
    }

    private ByteBuffer portList() {
        int k = rnd.nextInt(12);
        if (k == 0) {
            return null;
        }
        if (k == 1) {
            return ByteBuffer.allocate(8);
        }
        int n;
        switch (k) {
            case 2: n = 0; break;
            case 3: n = MAX_CHANNELS + 1 + rnd.nextInt(100); break;
            case 4: n = MAX_CHANNELS; break;
            default: n = 1 + rnd.nextInt(4);
        }
        // A capacity that is not a multiple of four: the last bytes are no port.
        int extra = rnd.nextInt(8) == 0 ? 1 + rnd.nextInt(3) : 0;
        ByteBuffer b = ByteBuffer.allocateDirect(4 * n + extra).order(ByteOrder.nativeOrder());
        for (int i = 0; i < n; i++) {
            int p;
            switch (rnd.nextInt(8)) {
                case 0: p = -1 - rnd.nextInt(4); break;
                case 1: p = Integer.MIN_VALUE; break;
                case 2: p = Integer.MAX_VALUE; break;
                default: p = rnd.nextInt(4);
            }
            b.putInt(4 * i, p);
        }
        return b;
    }

    private void rawCreateChannels() {
        int cls = rnd.nextInt(3);
        Raw r = rawFor(cls == 0 ? Kind.SAMPLING : cls == 1 ? Kind.STREAMING : Kind.SWOUT);
        ByteBuffer h = handleOf(r);
        boolean sane = rnd.nextBoolean();
        int channels = r == null ? 1 : Math.max(1, r.channels);
        int i = sane ? rnd.nextInt(channels) : index(channels);
        short chan = sane ? (short) rnd.nextInt(16) : hardwareChannel();
        double min = sane ? -10 : volts();
        double max = sane ? 10 : rnd.nextInt(4) == 0 ? volts() : min + Math.abs(volts());
        String ref = sane ? "ground" : reference();
        switch (cls) {
            case 0: call("sampling nCreateChannels", () -> sampling.nCreateChannels(h, i, chan, min, max, ref)); break;
            case 1: call("streaming nCreateChannels", () -> streaming.nCreateChannels(h, i, chan, min, max, ref));
                break;
            default: call("swout nCreateChannels", () -> swout.nCreateChannels(h, i, chan, min, max, ref));
        }
    }

    /** What a scan of the sampling native may write with this handle: one double per channel of its list. */
    private static int scanBytes(Raw r) {
        if (r == null || r.kind == Kind.PORT || r.kind == Kind.PORT_IN) {
            return 0;
        }
        return 8 * Math.max(0, Math.min(r.channels, MAX_CHANNELS));
    }

    private void rawSamplingScan() {
        Raw r = rawFor(Kind.SAMPLING, Kind.SWOUT);
        ByteBuffer h = handleOf(r);
        int bytes = 8 * MAX_CHANNELS;
        Guarded out = output(bytes);
        call("sampling nScan", () -> sampling.nScan(h, out.buf));
        guardChecks++;
        out.check(scanBytes(r), "sampling nScan");
    }

    private void rawStreaming() {
        Raw r = rawFor(Kind.STREAMING);
        ByteBuffer h = handleOf(r);
        switch (rnd.nextInt(8)) {
            case 0:
                call("streaming nConfigTask", () -> streaming.nConfigTask(h));
                break;
            case 6: {
                int[] sources = {StreamCommand.TRIG_NOW, StreamCommand.TRIG_INT, StreamCommand.TRIG_EXT, 0, rnd.nextInt()};
                int source = sources[rnd.nextInt(sources.length)];
                int argument = rnd.nextBoolean() ? 0 : rnd.nextInt();
                boolean check = rnd.nextBoolean();
                call("start nApply", () -> StreamStart.nApply(h, source, argument, check));
                break;
            }
            case 7:
                switch (rnd.nextInt(3)) {
                    case 0: call("start nTrigger", () -> StreamStart.nTrigger(h)); break;
                    case 1: callInt("start nBufferedBytes", () -> StreamStart.nBufferedBytes(h)); break;
                    default: call("start nStartArgument", () -> StreamStart.nStartArgument(h));
                }
                break;
            case 1:
                call("streaming nStart", () -> streaming.nStart(h));
                break;
            case 2:
                call("streaming nStop", () -> streaming.nStop(h));
                break;
            default: {
                // The native checks this buffer's size itself: any length may go straight in.
                int bytes;
                switch (rnd.nextInt(4)) {
                    case 0: bytes = rnd.nextInt(64); break;
                    case 1: bytes = 8 * rnd.nextInt(20000); break;
                    default: bytes = 8 * 8192 + rnd.nextInt(9);
                }
                Guarded out = output(bytes);
                int n = callInt("streaming nScan", () -> streaming.nScan(h, out.buf));
                guardChecks++;
                if (n < -1 || 8L * n > bytes) {
                    fail("streaming nScan returned " + n + " for a buffer of " + bytes + " bytes (seed " + SEED + ")");
                }
                out.check(8 * Math.max(n, 0), "streaming nScan");
                if (rnd.nextInt(4) == 0) {
                    EmulatedBoard.advanceScans(EmulatedBoard.MULTI, rnd.nextInt(2000));
                }
            }
        }
    }

    private ByteBuffer input(int bytes) {
        switch (rnd.nextInt(10)) {
            case 0: return null;
            case 1: return ByteBuffer.allocate(bytes).order(ByteOrder.nativeOrder());
            case 2: return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder()).asReadOnlyBuffer();
            default: {
                ByteBuffer b = ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
                for (int i = 0; i + 8 <= bytes; i += 8) {
                    if (rnd.nextBoolean()) {
                        b.putDouble(i, volts());
                    } else {
                        b.putLong(i, rnd.nextLong());
                    }
                }
                return b;
            }
        }
    }

    private void rawSwoutWrite() {
        Raw r = rawFor(Kind.SWOUT);
        ByteBuffer h = handleOf(r);
        ByteBuffer in = input(8 * MAX_CHANNELS);
        call("swout nWrite", () -> swout.nWrite(h, in));
    }

    private void rawPortWrite() {
        Raw r = rawFor(Kind.PORT);
        ByteBuffer h = handleOf(r);
        ByteBuffer in = input(8 * MAX_CHANNELS);
        call("port nWrite", () -> port.nWrite(h, in));
    }

    /** The digital input natives on any handle, and the range read-back of the analog devices. */
    private void rawPortReadOrRange() {
        Raw r = rawFor(Kind.PORT_IN, Kind.PORT);
        ByteBuffer h = handleOf(r);
        switch (rnd.nextInt(3)) {
            case 0: {
                Guarded out = output(8 * MAX_CHANNELS);
                call("port-in nRead", () -> ComediDigitalPortInDevice.nRead(h, out.buf));
                guardChecks++;
                // Only a handle with ports reads any: one 64-bit value per port.
                boolean reads = r != null && (r.kind == Kind.PORT || r.kind == Kind.PORT_IN);
                out.check(reads ? 8 * Math.min(r.ports, MAX_CHANNELS) : 0, "port-in nRead");
                break;
            }
            case 1: {
                int position = rnd.nextBoolean() ? rnd.nextInt(4) : index(4);
                int line = rnd.nextBoolean() ? rnd.nextInt(66) : index(64);
                call("port-in nReadLine", () -> ComediDigitalPortInDevice.nReadLine(h, position, line));
                break;
            }
            default: {
                int i = rnd.nextBoolean() ? rnd.nextInt(4) : index(MAX_CHANNELS);
                double[] out = rnd.nextInt(6) == 0 ? (rnd.nextBoolean() ? null : new double[3]) : new double[7];
                switch (rnd.nextInt(3)) {
                    case 0 -> call("nChannelRange", () -> ComediAnalogDevice.nChannelRange(h, i, out));
                    case 1 -> call("nCalibration", () -> ComediAnalogDevice.nCalibration(h, i, out));
                    default -> {
                        int mode = rnd.nextInt(5) - 1; // -1 and 3 are no mode
                        String file = rnd.nextBoolean() ? null : path();
                        call("nSetCalibration", () -> ComediAnalogDevice.nSetCalibration(h, mode, file));
                    }
                }
            }
        }
    }

    /** Destroys with the native of a random class, so destroyed handles and foreign destroys both occur. */
    private void rawDestroy() {
        Raw r = anyRaw();
        ByteBuffer h = handleOf(r);
        switch (rnd.nextInt(4)) {
            case 0: call("sampling nDestroy", () -> sampling.nDestroy(h)); break;
            case 1: call("streaming nDestroy", () -> streaming.nDestroy(h)); break;
            case 2: call("swout nDestroy", () -> swout.nDestroy(h)); break;
            default: call("port nDestroy", () -> port.nDestroy(h));
        }
        if (r != null) {
            r.destroyed = true;
            // A destroyed handle stays around a while to be used again; then it is let go.
            if (rnd.nextInt(3) == 0) {
                raws.remove(r);
                destroyOwn(r);
            }
        }
    }

    /** The handle's own class destroys it: whatever a foreign destroy left behind goes too. */
    private void destroyOwn(Raw r) {
        switch (r.kind) {
            case SAMPLING: call("sampling nDestroy", () -> sampling.nDestroy(r.handle)); break;
            case STREAMING: call("streaming nDestroy", () -> streaming.nDestroy(r.handle)); break;
            case SWOUT: call("swout nDestroy", () -> swout.nDestroy(r.handle)); break;
            default: call("port nDestroy", () -> port.nDestroy(r.handle));
        }
        r.destroyed = true;
    }

    // ---- the public API -----------------------------------------------------------------------

    private void apiCall() {
        if (devices.isEmpty() || rnd.nextInt(8) == 0) {
            if (devices.size() > 12) {
                ComediDevice d = devices.remove(rnd.nextInt(devices.size()));
                call("close", d::close);
            }
            apiCreate();
            return;
        }
        ComediDevice d = devices.get(rnd.nextInt(devices.size()));
        int k = rnd.nextInt(20);
        if (k == 0) {
            call("close", d::close);
            if (rnd.nextBoolean()) {
                devices.remove(d);
            }
            return;
        }
        if (d instanceof ComediAnalogDevice && k == 19) {
            call("channelRange", () -> ((ComediAnalogDevice) d).getChannelRange(index(MAX_CHANNELS)));
            return;
        }
        if (d instanceof ComediDigitalPortInDevice) {
            var in = (ComediDigitalPortInDevice) d;
            if (k < 8) {
                callGuarded("read(ByteBuffer)", 8 * in.getPortCount(), in::read);
            } else if (k < 14) {
                long[] v = new long[Math.max(0, apiBytes(in.getPortCount()))];
                call("read(long[])", () -> in.read(v));
            } else {
                call("readLine", () -> in.readLine(rnd.nextInt(in.getPortCount() + 2) - 1,
                        rnd.nextInt(in.getLinesPerPort() + 2) - 1));
            }
            return;
        }
        if (d instanceof ComediAnalogSamplingDevice) {
            var ai = (ComediAnalogSamplingDevice) d;
            if (k < 6) {
                configureAny(ai);
            } else if (k < 12) {
                callGuarded("scan(ByteBuffer)", 8 * ai.getPositionCount(), ai::scan);
            } else {
                double[] v = new double[Math.max(0, apiBytes(ai.getPositionCount()))];
                call("scan(double[])", () -> ai.scan(v));
            }
        } else if (d instanceof ComediAnalogSWOutDevice) {
            var ao = (ComediAnalogSWOutDevice) d;
            if (k < 6) {
                configureAny(ao);
            } else if (k < 12) {
                ByteBuffer in = input(Math.max(0, apiBytes(8 * ao.getPositionCount())));
                call("write(ByteBuffer)", () -> ao.write(in));
            } else {
                double[] v = new double[Math.max(0, apiBytes(ao.getPositionCount()))];
                for (int i = 0; i < v.length; i++) {
                    v[i] = volts();
                }
                call("write(double...)", () -> ao.write(v));
            }
        } else if (d instanceof ComediDigitalPortOutDevice) {
            var dio = (ComediDigitalPortOutDevice) d;
            if (k < 10) {
                ByteBuffer in = input(Math.max(0, apiBytes(8 * dio.getPortCount())));
                call("write(ByteBuffer)", () -> dio.write(in));
            } else {
                long[] v = new long[Math.max(0, apiBytes(dio.getPortCount()))];
                for (int i = 0; i < v.length; i++) {
                    v[i] = rnd.nextLong();
                }
                call("write(long...)", () -> dio.write(v));
            }
        } else {
            var ai = (ComediAnalogStreamingDevice) d;
            if (k < 5) {
                configureAny(ai);
            } else if (k < 7) {
                call("configure", ai::configure);
            } else if (k < 9) {
                call("start", ai::start);
            } else if (k < 10) {
                call("stop", ai::stop);
            } else if (k < 17) {
                int bytes = apiBytes(8L * ai.getBufferSize());
                Guarded out = output(bytes);
                int n = callInt("read(ByteBuffer)", () -> ai.read(out.buf));
                guardChecks++;
                out.check(8 * Math.max(n, 0), "read(ByteBuffer)");
                EmulatedBoard.advanceScans(EmulatedBoard.MULTI, rnd.nextInt(500));
            } else {
                double[] v = new double[Math.max(0, apiBytes(ai.getBufferSize()))];
                call("read(double[])", () -> ai.read(v));
            }
        }
    }

    /** configureChannel with any position, channel, range and reference. */
    private void configureAny(ComediAnalogDevice d) {
        call("configureChannel", () -> d.configureChannel(index(d.getPositionCount()), anyChannel(), volts(), volts(),
                reference()));
    }

    /**
     * An API call that fills a buffer of mostly the {@code needed} bytes it asks for, with guards
     * around it: nothing beyond {@code needed} (or beyond the buffer) may be written.
     */
    private void callGuarded(String what, int needed, Consumer<ByteBuffer> fill) {
        int bytes = apiBytes(needed);
        Guarded out = output(bytes);
        call(what, () -> fill.accept(out.buf));
        guardChecks++;
        out.check(Math.min(bytes, needed), what);
    }

    /**
     * Mostly the size a call needs, sometimes less (the API must refuse it), sometimes more; never
     * more than {@link #OWN_VALUES}, so that the test's own buffer fits the heap.
     */
    private int apiBytes(long needed) {
        long size;
        switch (rnd.nextInt(6)) {
            case 0: size = (long) (rnd.nextDouble() * needed); break;
            case 1: size = needed + 1 + rnd.nextInt(16); break;
            default: size = needed;
        }
        return (int) Math.min(size, OWN_VALUES);
    }

    private int anyChannel() {
        return rnd.nextInt(10) == 0 ? (rnd.nextBoolean() ? -1 - rnd.nextInt(100) : 40000) : hardwareChannel() & 0x7fff;
    }

    private void apiCreate() {
        String path = path();
        ComediDevice[] made = new ComediDevice[1];
        switch (rnd.nextInt(6)) {
            case 4: {
                int[] ports = new int[rnd.nextInt(4)];
                for (int i = 0; i < ports.length; i++) {
                    ports[i] = rnd.nextInt(8) == 0 ? -1 : rnd.nextInt(3);
                }
                int lines = rnd.nextInt(8) == 0 ? 65 : rnd.nextInt(33);
                call("new port-in", () -> made[0] = new ComediDigitalPortInDevice(path, ports, lines));
                break;
            }
            case 5:
                call("describe", () -> ComediDeviceInfo.describe(path));
                return;
            case 0: {
                int n = rnd.nextInt(4) == 0 ? count() : 1 + rnd.nextInt(4);
                call("new sampling", () -> made[0] = new ComediAnalogSamplingDevice(path, n));
                break;
            }
            case 1: {
                int n = rnd.nextInt(4) == 0 ? count() : 1 + rnd.nextInt(3);
                call("new swout", () -> made[0] = new ComediAnalogSWOutDevice(path, n));
                break;
            }
            case 2: {
                int[] ports = new int[rnd.nextInt(4)];
                for (int i = 0; i < ports.length; i++) {
                    ports[i] = rnd.nextInt(8) == 0 ? -1 : rnd.nextInt(3);
                }
                int lines = rnd.nextInt(10);
                call("new port", () -> made[0] = new ComediDigitalPortOutDevice(path, ports, lines));
                break;
            }
            default: {
                int n = rnd.nextInt(4) == 0 ? count() : 1 + rnd.nextInt(4);
                double f = rnd.nextInt(4) == 0 ? FREQUENCIES[rnd.nextInt(FREQUENCIES.length)] : 1000 * (1 + rnd.nextInt(10));
                int size = rnd.nextInt(8) == 0 ? bufSize() : 1 + rnd.nextInt(4096);
                call("new streaming", () -> made[0] = new ComediAnalogStreamingDevice(path, n, f, size));
            }
        }
        if (made[0] != null) {
            devices.add(made[0]);
            if (rnd.nextInt(10) < 7) {
                setUp(made[0]);
            }
        }
    }

    /** Configures every channel properly (and starts a streaming device), so that later calls go deep. */
    private void setUp(ComediDevice d) {
        if (d instanceof ComediAnalogSamplingDevice) {
            var ai = (ComediAnalogSamplingDevice) d;
            for (int i = 0; i < ai.getPositionCount(); i++) {
                int c = i;
                call("configureChannel", () -> ai.configureChannel(c, rnd.nextInt(16), -10, 10, "ground"));
            }
        } else if (d instanceof ComediAnalogSWOutDevice) {
            var ao = (ComediAnalogSWOutDevice) d;
            for (int i = 0; i < ao.getPositionCount(); i++) {
                int c = i;
                call("configureChannel", () -> ao.configureChannel(c, rnd.nextInt(2), -10, 10, "ground"));
            }
        } else if (d instanceof ComediAnalogStreamingDevice) {
            var ai = (ComediAnalogStreamingDevice) d;
            for (int i = 0; i < ai.getPositionCount(); i++) {
                int c = i;
                call("configureChannel", () -> ai.configureChannel(c, rnd.nextInt(16), -10, 10, "ground"));
            }
            call("configure", ai::configure);
            call("start", ai::start);
        }
    }

    // ---- the board ----------------------------------------------------------------------------

    private void board() {
        String path = BOARDS[rnd.nextInt(BOARDS.length)];
        int errno = ERRNOS[rnd.nextInt(ERRNOS.length)];
        switch (rnd.nextInt(9)) {
            case 0:
                EmulatedBoard.failNext(rnd.nextInt(EmulatedBoard.OP_READ + 1), errno);
                faults++;
                break;
            case 1:
                if (rnd.nextInt(3) == 0) {
                    EmulatedBoard.failAlways(rnd.nextInt(EmulatedBoard.OP_READ + 1), errno);
                    faults++;
                }
                break;
            case 2:
                EmulatedBoard.failInsnlistAfter(rnd.nextInt(4), errno);
                faults++;
                break;
            case 3:
                EmulatedBoard.shortReadNext(rnd.nextInt(8));
                faults++;
                break;
            case 4:
                EmulatedBoard.forceCmdtestStage(1 + rnd.nextInt(2), rnd.nextInt(6));
                faults++;
                break;
            case 5:
                if (EmulatedBoard.overrunNow(path) == 0) {
                    faults++;
                }
                break;
            case 6:
            case 7:
                EmulatedBoard.clearFaults();
                break;
            default:
                EmulatedBoard.advanceNs(rnd.nextInt(50_000_000));
        }
    }
}
