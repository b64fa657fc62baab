// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.util;

/** Wall-clock time and CPU affinity of the calling thread. */
public final class OsUtil {
    static {
        LibraryLoader.load();
    }

    private OsUtil() {
    }

    /**
     * Restricts the calling thread to the CPUs whose bits are set (bit n is CPU n, CPUs 0 to 63).
     * On macOS this does nothing.
     *
     * @param mask the CPUs allowed, bit n for CPU n
     * @throws IllegalStateException if the system refuses the mask (for example 0, or only CPUs
     *         that are not online); the message carries the system's error text, and the thread's
     *         affinity is left as it was
     */
    public static native void setAffinity(long mask);

    /**
     * The CPUs the calling thread may run on, as a mask (bit n is CPU n, CPUs 0 to 63). On macOS
     * always 0.
     *
     * @return the mask of allowed CPUs
     * @throws IllegalStateException if the system cannot report the mask; the message carries the
     *         system's error text
     */
    public static native long getAffinity();

    /**
     * The wall clock.
     *
     * @return microseconds since 1970-01-01 00:00:00 UTC
     */
    public static native long getTimeOfDay();
}
