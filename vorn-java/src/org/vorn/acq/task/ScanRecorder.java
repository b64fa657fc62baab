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
    /** The stream has started; nothing has been recorded yet. */
    void begin(StreamInfo stream) throws IOException;

    /**
     * {@code scans} whole scans of raw codes, {@code firstScan} being the index of the first since
     * the start. {@code raw} holds them from its position on, in native byte order, each code
     * {@link StreamInfo#sampleBytes()} long, positions in scan order. The buffer is the task's:
     * read it before returning, do not keep it.
     */
    void record(ByteBuffer raw, long firstScan, int scans) throws IOException;

    /**
     * Something happened to the stream at scan {@code scanIndex} (the number of scans recorded
     * before it): {@code kind} is a short word ("stopped", "completed", "overrun", "error"), and
     * {@code detail} says more (may be empty).
     */
    void event(String kind, long scanIndex, String detail) throws IOException;

    /** Writes out what is pending and releases the recorder; the last call the task makes. */
    @Override
    void close() throws IOException;
}
