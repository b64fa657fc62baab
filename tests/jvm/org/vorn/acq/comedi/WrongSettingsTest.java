// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.vorn.acq.comedi.StreamingTestSupport.doubles;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.function.IntFunction;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.EnumSource;
import org.vorn.emu.EmulatedBoard;
import org.vorn.exception.ComediException;
import org.vorn.testsupport.BoardFixture;
import org.vorn.testsupport.NativeStdout;

/**
 * Settings the natives accept but that cannot work are refused by the public API at the first call
 * that can know, with the device, the value and what is allowed; nothing reaches the board.
 */
class WrongSettingsTest {
    private static final String MULTI = EmulatedBoard.MULTI;
    @RegisterExtension
    final BoardFixture fixture = new BoardFixture(EmulatedBoard.CLOCK_MANUAL);

    @BeforeEach
    void setUp() {
        NativeStdout.begin();
    }

    @AfterEach
    void tearDown() {
        NativeStdout.end();
    }

    private enum Analog {
        SAMPLING(n -> new ComediAnalogSamplingDevice(MULTI, n)),
        STREAMING(n -> new ComediAnalogStreamingDevice(MULTI, n, 1000, 64)),
        OUTPUT(n -> new ComediAnalogSWOutDevice(MULTI, n));

        final IntFunction<ComediAnalogDevice> open;

        Analog(IntFunction<ComediAnalogDevice> open) {
            this.open = open;
        }
    }

    /** Multi's subdevices: 0 AI, 1 AO, 2 DIO. Each overload opens its own kind and names a wrong one. */
    private enum Chosen {
        SAMPLING(s -> new ComediAnalogSamplingDevice(MULTI, s, 1), 0, "analog input"),
        STREAMING(s -> new ComediAnalogStreamingDevice(MULTI, s, 1, 1000, 64), 0, "analog input"),
        OUTPUT(s -> new ComediAnalogSWOutDevice(MULTI, s, 1), 1, "analog input"),
        PORT_OUTPUT(s -> new ComediDigitalPortOutDevice(MULTI, s, new int[] {0}, 8), 2, "digital output");

        final IntFunction<ComediDevice> open;
        final int own;
        final String kind;

        Chosen(IntFunction<ComediDevice> open, int own, String kind) {
            this.open = open;
            this.own = own;
            this.kind = kind;
        }
    }

    @ParameterizedTest
    @EnumSource(Chosen.class)
    void aChosenSubdeviceIsOpenedAndOneOfAnotherKindIsRefused(Chosen c) {
        c.open.apply(c.own).close();
        int other = (c.own + 1) % 3;
        assertRefused(ComediException.class, "Error finding " + c.kind + " subdevice for " + MULTI + ": subdevice "
                + other + " is not one of this kind (the device has 3 subdevices)", () -> c.open.apply(other));
        assertRefused(IllegalArgumentException.class, "device " + MULTI + ": subdevice -2 does not exist; a subdevice"
                + " is 0 or more, or -1 for the first of its kind", () -> c.open.apply(-2));
        c.open.apply(-1).close();
    }

    private static void assertRefused(Class<? extends RuntimeException> type, String message, Executable call) {
        assertEquals(message, assertThrows(type, call).getMessage());
    }

    @ParameterizedTest
    @EnumSource(Analog.class)
    void positionsOutsideTheChannelCountAndEmptyRangesAreRefused(Analog kind) {
        try (var d = kind.open.apply(4)) {
            for (int index : new int[] {4, 255, -1}) {
                assertRefused(IllegalArgumentException.class, "device " + MULTI + ": position " + index
                        + " is outside 0..3 (the device was opened for 4 channels)",
                        () -> d.configureChannel(index, 0, -10, 10, AnalogReference.GROUND));
            }
            double[][] empty = {{5, -5}, {1, 1}, {Double.NaN, 1}, {0, Double.NaN}};
            for (double[] r : empty) {
                assertRefused(IllegalArgumentException.class, "device " + MULTI + ", position 2: the range [" + r[0]
                        + ", " + r[1] + "] V is empty; minVolts must be a number below maxVolts",
                        () -> d.configureChannel(2, 1, r[0], r[1], AnalogReference.GROUND));
            }
            d.configureChannel(3, 1, -5, 5, AnalogReference.GROUND);
        }
    }

    /** Positions never configured are named where the device would first use them. */
    @ParameterizedTest
    @EnumSource(Analog.class)
    void positionsNeverConfiguredAreNamedBeforeUse(Analog kind) {
        try (var d = kind.open.apply(4)) {
            d.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            d.configureChannel(2, 1, -10, 10, AnalogReference.GROUND);
            Executable[] uses;
            String call;
            if (d instanceof ComediAnalogStreamingDevice) {
                var ai = (ComediAnalogStreamingDevice) d;
                uses = new Executable[] {ai::configure, ai::start};
                call = null;
            } else if (d instanceof ComediAnalogSamplingDevice) {
                var ai = (ComediAnalogSamplingDevice) d;
                uses = new Executable[] {ai::scan, () -> ai.scan(doubles(4))};
                call = "scan()";
            } else {
                var ao = (ComediAnalogSWOutDevice) d;
                uses = new Executable[] {() -> ao.write(1, 2, 3, 4), () -> ao.write(doubles(4))};
                call = "write()";
            }
            String[] calls = call == null ? new String[] {"configure()", "start()"} : new String[] {call, call};
            for (int k = 0; k < uses.length; k++) {
                assertRefused(IllegalStateException.class, "device " + MULTI + ": positions 1, 3 of 0..3 are not"
                        + " configured; call configureChannel for every position before " + calls[k], uses[k]);
            }
            long insns = EmulatedBoard.insnCount(MULTI);
            d.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
            assertRefused(IllegalStateException.class, "device " + MULTI + ": position 3 of 0..3 is not configured;"
                    + " call configureChannel for every position before " + calls[0], uses[0]);
            d.configureChannel(3, 1, -10, 10, AnalogReference.GROUND);
            assertEquals(insns, EmulatedBoard.insnCount(MULTI), "nothing reached the board");
            if (d instanceof ComediAnalogStreamingDevice) {
                uses[0].execute();
            } else {
                for (Executable use : uses) {
                    use.execute();
                }
            }
        } catch (Throwable e) {
            throw new AssertionError(e);
        }
    }

    /**
     * The board keeps the running command's channel: a new range would convert its values wrongly;
     * and a new command test would close the device under the running command.
     */
    @Test
    void configuringWhileTheStreamRunsIsRefused() {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000, 64)) {
            ai.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            ai.configure();
            ai.start();
            assertRefused(IllegalStateException.class, "device " + MULTI + ": position 0 cannot be configured while"
                    + " the stream runs (the board keeps the running command's channels); stop() it first",
                    () -> ai.configureChannel(0, 1, -1, 1, AnalogReference.GROUND));
            // configure() would close the device under the running command.
            assertRefused(IllegalStateException.class, "the stream of " + MULTI
                    + " is running: stop it before configure()", ai::configure);
            EmulatedBoard.advanceScans(MULTI, 2);
            double[] v = new double[64];
            assertEquals(2, ai.read(v));
            assertEquals(1.0, v[0], 1e-3, "+1 V read with the range the board runs");
            ai.stop();
        }
    }

    /** A buffer in the other byte order would read +1 V as 1.72e159 and write 2.5 V as 0 V. */
    @Test
    void buffersInTheOtherByteOrderAreRefused() {
        ByteOrder other = ByteOrder.nativeOrder() == ByteOrder.LITTLE_ENDIAN ? ByteOrder.BIG_ENDIAN
                : ByteOrder.LITTLE_ENDIAN;
        ByteBuffer wrong = ByteBuffer.allocateDirect(8 * 64).order(other);
        String tail = " buffer is in " + other + " byte order; the device reads and writes " + ByteOrder.nativeOrder()
                + " (ByteBuffer.order(ByteOrder.nativeOrder()))";
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000, 64);
                var sampling = new ComediAnalogSamplingDevice(MULTI, 1);
                var ao = new ComediAnalogSWOutDevice(MULTI, 1);
                var dio = new ComediDigitalPortOutDevice(MULTI, new int[] {0}, 8)) {
            ai.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            sampling.configureChannel(0, 1, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ai.configure();
            ai.start();
            assertRefused(IllegalArgumentException.class, "device " + MULTI + ": the sample" + tail, () -> ai.read(wrong));
            ai.stop();
            assertRefused(IllegalArgumentException.class, "device " + MULTI + ": the scan" + tail,
                    () -> sampling.scan(wrong));
            assertRefused(IllegalArgumentException.class, "device " + MULTI + ": the value" + tail, () -> ao.write(wrong));
            assertRefused(IllegalArgumentException.class, "device " + MULTI + ": the port value" + tail,
                    () -> dio.write(wrong));
            assertRefused(IllegalArgumentException.class, "device " + MULTI + ": the port" + tail,
                    () -> new ComediDigitalPortOutDevice(MULTI, ByteBuffer.allocateDirect(4).order(other), 8));
        }
    }

    /** 8 × 2^28 bytes overflow the int size of the array form's buffer. */
    @Test
    void anArrayReadOfTwoToThe28ValuesIsRefused() {
        try (var ai = new ComediAnalogStreamingDevice(MULTI, 1, 1000, 1 << 28)) {
            assertRefused(IllegalArgumentException.class, "device " + MULTI + ": read(double[]) takes a bufSize of at"
                    + " most 268435455 values (its buffer of 8 bytes a value must fit a direct buffer), this stream"
                    + " has 268435456; read fewer values at a time", () -> ai.read(new double[16]));
        }
    }

    /** A C string would end at the NUL: "/dev/comedi-emu/multi\0x" used to open multi. */
    @ParameterizedTest
    @CsvSource({"0", "1", "2", "3"})
    void aDevicePathWithANulIsRefusedByEveryConstructor(int kind) {
        String path = MULTI + "\0x";
        Executable[] constructors = {
            () -> new ComediAnalogSamplingDevice(path, 1), () -> new ComediAnalogStreamingDevice(path, 1, 1000, 64),
            () -> new ComediAnalogSWOutDevice(path, 1), () -> new ComediDigitalPortOutDevice(path, new int[] {0}, 8),
        };
        assertRefused(IllegalArgumentException.class, "device path \"" + MULTI + "\\0x\" contains a NUL character at"
                + " index " + MULTI.length() + "; a device path is a C string without NUL", constructors[kind]);
    }
}
