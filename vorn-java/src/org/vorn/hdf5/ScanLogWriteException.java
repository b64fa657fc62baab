// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import java.nio.file.Path;

/**
 * A write to a scan log failed (a full disk, an I/O error): the log wrote nothing after it, and
 * its file holds exactly the first {@link #getScansInFile()} scans, each as it was delivered.
 */
public final class ScanLogWriteException extends RuntimeException {
    /** The version of the serialized form. */
    private static final long serialVersionUID = 1L;

    /** The log's file. */
    private final Path file;
    /** The scans before the first failed write. */
    private final long scansInFile;

    ScanLogWriteException(Path file, String what, long scansInFile, Throwable cause) {
        super(what + " " + file + ": " + cause.getMessage() + "; the file holds the first " + scansInFile
                + " scans and nothing more is written to it", cause);
        this.file = file;
        this.scansInFile = scansInFile;
    }

    /**
     * The log's file.
     *
     * @return the path the log was made with
     */
    public Path getFile() {
        return file;
    }

    /**
     * The scans in the file: those before the first failed write.
     *
     * @return the count of scans the file holds
     */
    public long getScansInFile() {
        return scansInFile;
    }
}
