// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;

import org.vorn.exception.ComediException;
import org.vorn.exception.ComediOverrunException;
import org.vorn.exception.DeviceClosedException;
import org.vorn.exception.DeviceStateException;
import org.vorn.exception.ReadInterruptedException;
import org.vorn.exception.SettingRefusedException;
import org.vorn.exception.ComediUnderrunException;

/**
 * The one place that creates the exceptions of {@code org.vorn.exception}. Their constructors are
 * not public, so that no program raises a "driver failure" of its own; the library reaches them
 * through method handles on their package (the classes share one class loader and module).
 */
final class Failures {
    private Failures() {
    }

    private static final MethodHandle DRIVER;
    private static final MethodHandle REFUSED;
    private static final MethodHandle OVERRUN;
    private static final MethodHandle STATE;
    private static final MethodHandle CLOSED;
    private static final MethodHandle INTERRUPTED;
    private static final MethodHandle UNDERRUN;

    static {
        try {
            MethodHandles.Lookup here = MethodHandles.lookup();
            DRIVER = MethodHandles.privateLookupIn(ComediException.class, here).findConstructor(ComediException.class,
                    MethodType.methodType(void.class, String.class, int.class, Throwable.class));
            REFUSED = MethodHandles.privateLookupIn(SettingRefusedException.class, here).findConstructor(
                    SettingRefusedException.class,
                    MethodType.methodType(void.class, String.class, int.class, Throwable.class));
            OVERRUN = MethodHandles.privateLookupIn(ComediOverrunException.class, here).findConstructor(
                    ComediOverrunException.class,
                    MethodType.methodType(void.class, String.class, String.class, long.class, int.class, int.class));
            STATE = MethodHandles.privateLookupIn(DeviceStateException.class, here).findConstructor(
                    DeviceStateException.class, MethodType.methodType(void.class, String.class, String.class));
            CLOSED = MethodHandles.privateLookupIn(DeviceClosedException.class, here).findConstructor(
                    DeviceClosedException.class, MethodType.methodType(void.class, String.class));
            INTERRUPTED = MethodHandles.privateLookupIn(ReadInterruptedException.class, here).findConstructor(
                    ReadInterruptedException.class, MethodType.methodType(void.class, String.class));
            UNDERRUN = MethodHandles.privateLookupIn(ComediUnderrunException.class, here).findConstructor(
                    ComediUnderrunException.class,
                    MethodType.methodType(void.class, String.class, long.class, int.class, int.class));
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    private static RuntimeException create(MethodHandle constructor, Object... arguments) {
        try {
            return (RuntimeException) constructor.invokeWithArguments(arguments);
        } catch (Throwable impossible) {
            throw new AssertionError("the library's exception constructors raise nothing", impossible);
        }
    }

    /** A failure of the driver or comedilib; {@code message} names the device. */
    static ComediException driver(String message, int errorNumber, Throwable cause) {
        return (ComediException) create(DRIVER, message, errorNumber, cause);
    }

    /** A setting the driver refused; {@code message} names the device. */
    static SettingRefusedException refused(String message, int errorNumber, Throwable cause) {
        return (SettingRefusedException) create(REFUSED, message, errorNumber, cause);
    }

    /** A native failure that does not name the device, with the device after the native text. */
    static ComediException named(String device, ComediException nativeFailure) {
        return driver(withDevice(device, nativeFailure.getMessage()), nativeFailure.getErrorNumber(), nativeFailure);
    }

    /** As {@link #named}, as a refused setting. */
    static SettingRefusedException namedRefusal(String device, ComediException nativeFailure) {
        return refused(withDevice(device, nativeFailure.getMessage()), nativeFailure.getErrorNumber(), nativeFailure);
    }

    /**
     * The native text as it is, then the device: "TEXT (device PATH)", unless the text names the
     * device already (as "Error opening comedi device PATH: ..." does). The one look at a native
     * text in the library, and it decides only whether the name is added.
     */
    static String withDevice(String device, String nativeText) {
        if (nativeText != null && device != null && nativeText.contains(device)) {
            return nativeText;
        }
        return nativeText + " (device " + device + ")";
    }

    /** The overrun that ended the stream; {@code lostSample} says what a split sample lost, or is null. */
    static ComediOverrunException overrun(String device, long samplesDelivered, int channels, int driverBufferBytes,
            String lostSample) {
        return (ComediOverrunException) create(OVERRUN, device, lostSample, samplesDelivered, channels,
                driverBufferBytes);
    }

    /** A call that does not fit the state of {@code device}; {@code message} names it. */
    static DeviceStateException state(String device, String message) {
        return (DeviceStateException) create(STATE, device, message);
    }

    static DeviceClosedException closed(String device) {
        return (DeviceClosedException) create(CLOSED, device);
    }

    static ReadInterruptedException interrupted(String device) {
        return (ReadInterruptedException) create(INTERRUPTED, device);
    }

    /** The stopped-stream exception, of the deprecated class so that 0.1 programs still catch it. */
    @SuppressWarnings("removal")
    static org.vorn.exception.StreamStoppedException stopped(String device) {
        return new StreamStoppedException(device);
    }

    /** An output whose buffer ran dry after {@code scansDelivered} scans. */
    static ComediUnderrunException underrun(String device, long scansDelivered, int positions, int driverBufferBytes) {
        return (ComediUnderrunException) create(UNDERRUN, device, scansDelivered, positions, driverBufferBytes);
    }
}
