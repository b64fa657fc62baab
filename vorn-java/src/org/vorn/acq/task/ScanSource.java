// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.nio.ByteBuffer;

/**
 * The stream an acquisition task reads: the few calls of the streaming device it needs. Start,
 * read and backlog come from the task's reader thread only; stop from any thread.
 */
interface ScanSource {
    /** Starts the stream and says what it is (its start time included). */
    StreamInfo start();

    /**
     * Waits until {@code minValues} codes have arrived or {@code timeoutNanos} passed, and puts
     * raw codes into {@code raw} from its position up to at most its limit, advancing the
     * position; a run may end inside a scan, the next continues it. Returns the number of codes,
     * 0 on a timeout, -1 once a finite stream has delivered all of its scans.
     *
     * @throws org.vorn.acq.comedi.StreamStoppedException when stop() ended the stream
     */
    int read(ByteBuffer raw, int minValues, long timeoutNanos);

    /** Whole scans stored (in the driver's buffer, or read ahead) but not yet handed on. */
    long backlogScans();

    /** True if {@code e}, raised by {@link #read}, is the driver's buffer overflowing. */
    boolean isOverrun(RuntimeException e);

    /** Ends the stream; a waiting read wakes. Any thread, any number of times. */
    void stop();
}
