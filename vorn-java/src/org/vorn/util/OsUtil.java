package org.vorn.util;

/** Wall-clock time and CPU affinity of the calling thread. */
public final class OsUtil {
    static {
        NativeLibrary.load();
    }

    private OsUtil() {
    }

    /** Restricts the calling thread to the CPUs whose bits are set (bit n is CPU n, CPUs 0 to 63). */
    public static native void setAffinity(long mask);

    /** The CPUs the calling thread may run on, as a mask (bit n is CPU n, CPUs 0 to 63). */
    public static native long getAffinity();

    /** Microseconds since 1970-01-01 00:00:00 UTC, from the system's wall clock. */
    public static native long getTimeOfDay();
}
