// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

/**
 * The emulated softcal board's calibration file (emulated-board/softcal.calibration, system
 * property {@code vorn.softcal.file}) and where comedilib looks for it by default, and the
 * warnings the library logs meanwhile.
 */
public final class SoftcalFile {
    /** comedi_get_default_calibration_path of /dev/comedi-emu/softcal (driver, board, minor 8). */
    public static final Path DEFAULT_PATH = Path.of("/var/lib/comedi/calibrations/vorn_emu_emu-softcal_comedi8");

    private SoftcalFile() {
    }

    /** The repository's file. */
    public static Path source() {
        return Path.of(System.getProperty("vorn.softcal.file"));
    }

    /**
     * Puts the repository's file at the default path, whatever was there: a test never depends on
     * what an earlier run left. Replaced in one rename, so a process reading it meanwhile (another
     * test JVM) sees the old or the new file, never half of one.
     */
    public static void installAtDefaultPath() {
        try {
            Files.createDirectories(DEFAULT_PATH.getParent());
            Path tmp = Files.createTempFile(DEFAULT_PATH.getParent(), ".softcal", ".tmp");
            Files.copy(source(), tmp, StandardCopyOption.REPLACE_EXISTING);
            Files.move(tmp, DEFAULT_PATH, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
        } catch (IOException e) {
            throw new UncheckedIOException("cannot put the softcal calibration file at " + DEFAULT_PATH, e);
        }
    }

    /** The warnings logged to "org.vorn" while it is attached; {@link #close()} detaches it. */
    public static final class Warnings extends Handler implements AutoCloseable {
        private final List<String> messages = new ArrayList<>();
        private final Logger logger = Logger.getLogger("org.vorn");

        public Warnings() {
            logger.addHandler(this);
        }

        public synchronized List<String> messages() {
            return List.copyOf(messages);
        }

        @Override
        public synchronized void publish(LogRecord record) {
            if (record.getLevel().intValue() >= Level.WARNING.intValue()) {
                messages.add(record.getMessage());
            }
        }

        @Override
        public void flush() {
        }

        @Override
        public void close() {
            logger.removeHandler(this);
        }
    }
}
