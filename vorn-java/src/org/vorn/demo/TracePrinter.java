// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.util.logging.Handler;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

/**
 * The command-test trace, which the library hands to its logger "org.vorn", printed as it is on
 * the demo's output while configure() runs (the JDK's default logging backend).
 */
final class TracePrinter extends Handler {
    private final PrintStream out;

    private TracePrinter(PrintStream out) {
        this.out = out;
    }

    static void during(PrintStream out, Runnable configure) {
        Logger library = Logger.getLogger("org.vorn");
        TracePrinter printer = new TracePrinter(out);
        boolean parents = library.getUseParentHandlers();
        java.util.logging.Level level = library.getLevel();
        library.setLevel(java.util.logging.Level.FINE); // the trace's level (System.Logger's DEBUG)
        library.addHandler(printer);
        library.setUseParentHandlers(false);
        try {
            configure.run();
        } finally {
            library.removeHandler(printer);
            library.setUseParentHandlers(parents);
            library.setLevel(level);
            out.flush();
        }
    }

    @Override
    public void publish(LogRecord record) {
        if (record.getLevel().intValue() >= java.util.logging.Level.FINE.intValue()) {
            out.println(record.getMessage());
        }
    }

    @Override
    public void flush() {
        out.flush();
    }

    @Override
    public void close() {
        flush();
    }
}
