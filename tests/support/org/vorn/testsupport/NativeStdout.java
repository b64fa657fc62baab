// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

import java.nio.charset.StandardCharsets;

/** Captures the bytes native code writes to the C standard output stream between begin and end. */
public final class NativeStdout {
    static {
        System.loadLibrary("vorntestsupport");
    }

    private NativeStdout() {
    }

    public static native void begin();

    public static native byte[] end();

    /** Runs {@code action} and returns what native code wrote to standard output meanwhile. */
    public static String capture(Runnable action) {
        begin();
        try {
            action.run();
        } finally {
            lastCapture = new String(end(), StandardCharsets.ISO_8859_1);
        }
        return lastCapture;
    }

    /** What the last {@link #capture} saw, also when its action threw. */
    public static String lastCapture() {
        return lastCapture;
    }

    private static String lastCapture = "";
}
