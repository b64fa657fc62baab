// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

/**
 * The command-test trace as a program receives it: the DEBUG messages (JDK logging's FINE) of the
 * library's logger "org.vorn", one line each, while nothing reaches the C standard output.
 */
public final class CommandTrace {
    private CommandTrace() {
    }

    private static String lastCapture = "";

    /** Runs {@code action} and returns what it logged to "org.vorn" at DEBUG (FINE) or above. */
    public static String capture(Runnable action) {
        Logger library = Logger.getLogger("org.vorn");
        StringBuilder text = new StringBuilder();
        Handler handler = new Handler() {
            @Override
            public void publish(LogRecord r) {
                if (r.getLevel().intValue() >= Level.FINE.intValue()) {
                    text.append(r.getMessage()).append('\n');
                }
            }

            @Override
            public void flush() {
            }

            @Override
            public void close() {
            }
        };
        Level level = library.getLevel();
        library.setLevel(Level.FINE);
        library.addHandler(handler);
        library.setUseParentHandlers(false);
        String stdout = "";
        try {
            stdout = NativeStdout.capture(action);
        } finally {
            library.removeHandler(handler);
            library.setUseParentHandlers(true);
            library.setLevel(level);
            lastCapture = text.toString();
        }
        if (!stdout.isEmpty()) {
            throw new AssertionError("configure() wrote to the C standard output: " + stdout);
        }
        return lastCapture;
    }

    /** What the last {@link #capture} logged, also when its action threw. */
    public static String lastCapture() {
        return lastCapture;
    }
}
