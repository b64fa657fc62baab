// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.io.IOException;
import java.nio.ByteBuffer;

/**
 * Where an acquisition task hands the raw codes it reads, e.g. a file writer. All calls come from
 * the task's reader thread, in this order: {@link #begin} once, then {@link #record} and
 * {@link #event} as the stream goes, then {@link #close} once (also after a failed begin). An
 * exception thrown by any of them ends the task and reaches its done listener.
 */
public interface ScanRecorder extends AutoCloseable {
    /**
     * The stream has started; nothing has been recorded yet.
     *
     * @param stream what the stream is: positions and their conversions, timing, start time
     * @throws IOException if the recorder cannot begin; the task ends as a recorder failure
     */
    void begin(StreamInfo stream) throws IOException;

    /**
     * {@code scans} whole scans of raw codes, {@code firstScan} being the index of the first since
     * the start. {@code raw} holds them from its position on, in native byte order, each code
     * {@link StreamInfo#sampleBytes()} long, positions in scan order. The buffer is the task's:
     * read it before returning, do not keep it.
     *
     * @param raw       the codes, from its position on
     * @param firstScan the index since the start of the first scan
     * @param scans     the whole scans in {@code raw}
     * @throws IOException if the scans cannot be recorded; the task ends as a recorder failure
     */
    void record(ByteBuffer raw, long firstScan, int scans) throws IOException;

    /**
     * Something happened to the stream at scan {@code scanIndex} (the number of scans recorded
     * before it): {@code kind} is a short word ("stopped", "completed", "overrun", "error", "trigger"), and
     * {@code detail} says more (may be empty).
     *
     * @param kind      "stopped", "completed", "overrun", "error" or "trigger"
     * @param scanIndex the scans recorded before the event
     * @param detail    more about it, or empty
     * @throws IOException if the event cannot be recorded
     */
    void event(String kind, long scanIndex, String detail) throws IOException;

    /**
     * A trigger of the task's records ({@link AcquisitionTask.Builder#onRecord}) was taken at scan
     * {@code scanIndex}, after the recorder got that scan. By default an event "trigger" with the
     * position in its detail.
     *
     * @param scanIndex      the index since the start of the scan that fired
     * @param scanEpochNanos when that scan began, in nanoseconds since the epoch
     * @param position       the scan position the trigger watches
     * @throws IOException if the trigger cannot be recorded
     */
    default void triggered(long scanIndex, long scanEpochNanos, int position) throws IOException {
        event("trigger", scanIndex, "position " + position);
    }

    /**
     * Writes out what is pending and releases the recorder; the last call the task makes.
     *
     * @throws IOException if what is pending cannot be written
     */
    @Override
    void close() throws IOException;
}
