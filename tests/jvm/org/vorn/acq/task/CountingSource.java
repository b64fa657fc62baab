// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.nio.ByteBuffer;
import java.util.List;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediChannelRange;
import org.vorn.acq.comedi.ComediRange;

/**
 * A stream with no device behind it, for the task's own rules: sample k has code k mod 65536,
 * scans come as fast as they are read, and it can end, overrun or fail after a given scan.
 */
final class CountingSource implements ScanSource {
    static final class Overrun extends RuntimeException {
        private static final long serialVersionUID = 1L;

        Overrun(long scans) {
            super("overrun after " + scans + " scans");
        }
    }

    final int positions;
    final long endAfter;      // a finite stream's length, 0 for none
    final long overrunAfter;  // 0 for never
    long next; // codes handed out
    volatile boolean stopped;

    CountingSource(int positions, long endAfter, long overrunAfter) {
        this.positions = positions;
        this.endAfter = endAfter;
        this.overrunAfter = overrunAfter;
    }

    @Override
    public StreamInfo start() {
        ComediChannelRange counter = new ComediChannelRange(7, -1,
                new ComediRange(-10, 10, ComediRange.Unit.VOLT, false), 65535, AnalogReference.GROUND);
        return new StreamInfo("fake", "none", "none", 0, 2, java.util.Collections.nCopies(positions, counter), 1000,
                0, 0, endAfter, "test");
    }

    /** Codes up to the buffer's limit, ending a run inside a scan when the buffer does. */
    @Override
    public int read(ByteBuffer raw, int minValues, long timeoutNanos) {
        if (stopped) {
            throw new IllegalStateException("the stream of fake is stopped");
        }
        long end = endAfter > 0 ? endAfter * positions : Long.MAX_VALUE;
        long overrun = overrunAfter > 0 ? overrunAfter * positions : Long.MAX_VALUE;
        if (next == end) {
            return -1;
        }
        if (next == overrun) {
            throw new Overrun(next / positions);
        }
        // Runs of 7 codes at most: most of them end inside a scan.
        int n = (int) Math.min(Math.min(raw.remaining() / 2, 7), Math.min(end, overrun) - next);
        for (int i = 0; i < n; i++) {
            raw.putShort((short) next++);
        }
        return n;
    }

    @Override
    public long backlogScans() {
        return 0;
    }

    @Override
    public boolean isOverrun(RuntimeException e) {
        return e instanceof Overrun;
    }

    @Override
    public void stop() {
        stopped = true;
    }

    static List<Long> codes(TaskBlock b) {
        ByteBuffer raw = b.getRaw();
        List<Long> out = new java.util.ArrayList<>();
        while (raw.remaining() >= 2) {
            out.add(raw.getShort() & 0xFFFFL);
        }
        return out;
    }
}
