// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

/**
 * The streaming loop written directly in C on comedilib (native/wait_loop.c): ppoll on the device
 * or the timer until a wake-up threshold of values is due, the buffer contents, read, and
 * comedi_to_phys per sample; the reference of the streaming benchmark's waiting-read rows.
 */
final class CWaitLoop {
    private CWaitLoop() {
    }

    static {
        System.loadLibrary("vornbench");
    }

    /** Opens {@code path} and starts a command of {@code positions} reads of {@code channel} at ±10 V; 0 on failure. */
    static native long cOpen(String path, double scanHz, int positions, int channel, int bufValues);

    static native long cScanPeriodNs(long loop);

    /** Runs the loop on the calling thread until {@code stopNs}; see wait_loop.c. 0, or -1 if the device failed. */
    static native int cRun(long loop, long fromNs, long toNs, long stopNs, long firstScanEndNs, long scanPeriodNs,
            int minValues, long[] delayUs, long[] stats);

    static native void cClose(long loop);
}
