package org.vorn.acq.comedi;

import java.time.Instant;

import org.vorn.exception.ComediOverrunException;

/**
 * The bookkeeping of one run of a streaming device, from start() to the next start(): where the
 * stream stands (values delivered, a partial scan held back for the next whole-scan read), how it
 * ended, and when it began. Every field is guarded by the device's lock.
 */
final class StreamSession {
    /** The high word of a native read's result (stream_read.h). */
    static final int RUNNING = 0;
    static final int OVERRUN = 1;
    static final int ENDED = 2;
    static final int WOKEN = 3;

    private final int channels;
    /** Values handed to the caller since start, by every read form. */
    long delivered;
    /** Values the driver delivered that a whole-scan read holds back (a read came up short inside a scan). */
    final double[] held;
    int heldCount;
    /** Values of a counted stream, Long.MAX_VALUE for one that runs until stopped. */
    long total = Long.MAX_VALUE;
    boolean ended;
    /** The details of the overrun that ended the stream, kept for every later read. */
    private boolean overrunSeen;
    private long overrunAfter = -1;
    private int overrunBufferBytes;
    long startNanos;
    Instant startTime;

    StreamSession(int channels) {
        this.channels = channels;
        this.held = new double[channels];
    }

    void begin(long scanCount) {
        delivered = 0;
        heldCount = 0;
        total = scanCount == 0 ? Long.MAX_VALUE : scanCount * channels;
        ended = false;
        overrunSeen = false;
        overrunAfter = -1;
        startNanos = System.nanoTime();
        startTime = Instant.now();
    }

    /** Values a read may still ask the driver for (beyond what is held). */
    int remainingFromDriver(int limit) {
        long left = total - delivered - heldCount;
        return (int) Math.min(limit, Math.max(0, left));
    }

    boolean overrun() {
        return overrunSeen;
    }

    /**
     * The report of the overrun that ended the stream: the first one fixes what it says (the
     * values delivered by then, the driver's buffer), every later read gets the same.
     */
    ComediOverrunException overrunReport(String device, int driverBufferBytes, String driverMessage) {
        overrunSeen = true;
        if (overrunAfter < 0) {
            overrunAfter = delivered;
            overrunBufferBytes = driverBufferBytes;
        }
        return new ComediOverrunException(device, overrunAfter, channels, overrunBufferBytes, driverMessage);
    }

    /** A native read's condition: the driver ended the stream, or overran; a counted stream is also over once its last value is out. */
    void noteCondition(int condition) {
        if (condition == ENDED) {
            ended = true;
        } else if (condition == OVERRUN) {
            overrunSeen = true;
        }
        if (delivered + heldCount >= total) {
            ended = true;
        }
    }

    boolean exhausted() {
        return ended;
    }
}
