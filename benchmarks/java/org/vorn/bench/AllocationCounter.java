// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

/**
 * libvornbench's count of malloc-family calls on the benchmark thread (native/alloc_counter.c):
 * switched on around each timed batch, attributed to a hot path (libvorn, comedilib, the emulated
 * board or a C loop) or to the JVM alone by the allocating stack.
 */
final class AllocationCounter {
    static {
        System.loadLibrary("vornbench");
    }

    private AllocationCounter() {
    }

    /** Allocations made under libvorn, comedilib, the emulated board or a C loop during timed batches. */
    static native long allocCount();

    /** Allocations made by the JVM alone on this thread during timed batches. */
    static native long jvmAllocCount();

    static native void reportAllocs(boolean on);

    static native long selfCheckAllocs(int n);
}
