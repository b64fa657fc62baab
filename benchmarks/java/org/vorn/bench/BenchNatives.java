// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

/** The benchmark's own natives (native/bench_natives.c): the JNI crossing alone, and a quiet stdout. */
final class BenchNatives {
    static {
        System.loadLibrary("vornbench");
    }

    private BenchNatives() {
    }

    static native void noop(java.nio.ByteBuffer a, java.nio.ByteBuffer b);

    static native long noopAddresses(java.nio.ByteBuffer a, java.nio.ByteBuffer b);

    static native void muteStdout(boolean mute);
}
