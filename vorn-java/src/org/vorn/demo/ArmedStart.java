// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.util.Locale;

import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.StartTrigger;

/**
 * {@code --start}: the stream is armed by {@code start()} and begins at its trigger, which the
 * demo brings itself after a visible wait: {@code trigger()} for a software start, or, on the
 * emulated board, the edge of the line (through the board's control class, looked up by name so
 * that neither the library nor the demo's build depends on it). On a real board the user brings
 * the edge.
 */
final class ArmedStart {
    /** The visible wait between arming and the trigger. */
    static final long WAIT_MILLIS = 1000;
    private static final String EMULATED_PREFIX = "/dev/comedi-emu/";
    private static final String CONTROL_CLASS = "org.vorn.emu.EmulatedBoard";

    private final Options opt;
    private final PrintStream out;
    /** The emulated board's dioSetInput(path, line, level), or null when the user brings the edge. */
    private final Method setLine;
    private long armedNanos;

    ArmedStart(Options opt, PrintStream out) {
        this.opt = opt;
        this.out = out;
        this.setLine = opt.start.kind() == StartTrigger.Kind.EXTERNAL_EDGE ? lineControl() : null;
    }

    /** The emulated board's line control, only on its paths; null with the reason printed otherwise. */
    private Method lineControl() {
        if (!opt.device.startsWith(EMULATED_PREFIX)) {
            return null;
        }
        try {
            return Class.forName(CONTROL_CLASS).getMethod("dioSetInput", String.class, int.class, int.class);
        } catch (ReflectiveOperationException | LinkageError e) {
            out.println("The emulated board's control class is not available (" + e + "): bring the edge yourself.");
            return null;
        }
    }

    private void setLevel(int level) {
        try {
            setLine.invoke(null, opt.device, opt.start.line(), level);
        } catch (IllegalAccessException e) {
            throw new IllegalStateException(e);
        } catch (InvocationTargetException e) {
            throw new IllegalStateException(e.getCause());
        }
    }

    /** Before start(): a falling edge needs the line high first (the emulated lines are low at power-on). */
    void beforeArming() {
        if (setLine != null && opt.start.edge() == StartTrigger.Edge.FALLING) {
            setLevel(1);
            out.printf(Locale.ROOT, "Line %d of the emulated board set high, for the falling edge.%n", opt.start.line());
        }
    }

    /**
     * After start(): says that the stream waits, then brings the trigger after WAIT_MILLIS
     * (or, on a real board, leaves the edge to the user). Returns false when ^C came first.
     */
    boolean fire(ComediAnalogStreamingDevice ai, StopSignal stop) throws InterruptedException {
        armedNanos = System.nanoTime();
        boolean software = opt.start.kind() == StartTrigger.Kind.SOFTWARE;
        out.println("Armed: waiting for the " + (software ? "software trigger" : opt.start) + ".");
        if (!software && setLine == null) {
            out.printf(Locale.ROOT, "Bring a %s edge to line %d of %s: the acquisition starts on it (^C gives up).%n",
                    opt.start.edge().name().toLowerCase(Locale.ROOT), opt.start.line(), opt.device);
            return true;
        }
        long until = armedNanos + WAIT_MILLIS * 1_000_000L;
        while (System.nanoTime() < until) {
            if (stop.requested()) {
                return false;
            }
            Thread.sleep(Math.max(1, Math.min(50, (until - System.nanoTime()) / 1_000_000L)));
        }
        double waited = (System.nanoTime() - armedNanos) / 1e9;
        if (software) {
            ai.trigger();
            out.printf(Locale.ROOT, "Software trigger after %.1f s.%n", waited);
        } else {
            boolean rising = opt.start.edge() == StartTrigger.Edge.RISING;
            setLevel(rising ? 1 : 0);
            out.printf(Locale.ROOT, "%s line %d of the emulated board after %.1f s (%s edge).%n",
                    rising ? "Raised" : "Lowered", opt.start.line(), waited, rising ? "rising" : "falling");
        }
        return true;
    }

    /** Once the stream has started: where its time origin lies. */
    void reportStart(ComediAnalogStreamingDevice ai) {
        out.printf(Locale.ROOT, "Started %.2f s after arming: time 0 is the trigger's instant.%n",
                (ai.getStartNanoTime() - armedNanos) / 1e9);
    }
}
