// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

/**
 * The work of each hot path written directly in C on comedilib (native/reference_loops.c),
 * prepared once by {@link #open} and timed inside C by {@link #cRun}.
 */
final class CReference {
    static {
        System.loadLibrary("vornbench");
    }

    static final int SAMPLE_SCAN = 1, ANALOG_WRITE = 2, PORT_WRITE = 3, STREAM_SCAN = 4, STREAM_SCAN_INLINE = 5;

    private CReference() {
    }

    static native long cOpen(int kind, String path, int n, int bufSize);

    /** Runs `calls` calls and returns the elapsed ns, or -1 if one failed. */
    static native long cRun(long ref, int calls);

    static native long cSamples(long ref);

    static native double cFirstValue(long ref);

    static native void cClose(long ref);

    /**
     * The conversion alone of {@code samples} 16-bit codes, {@code reps} times, linear and with the
     * calibration file's polynomials (native/calibrated_convert.cpp): ns per sample in {@code out}
     * (linear, calibrated); false if the file lacks the polynomials.
     */
    static native boolean cConvertOnly(String calibrationFile, int samples, int reps, double[] out);

    static long open(int kind, String path, int n, int bufSize) {
        long ref = cOpen(kind, path, n, bufSize);
        if (ref == 0) {
            throw new IllegalStateException("the C reference could not open " + path);
        }
        return ref;
    }
}
