// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

/** What the C heap holds: bytes malloc has handed out and not yet taken back (all arenas). */
public final class NativeMemory {
    static {
        System.loadLibrary("vorntestsupport");
    }

    private NativeMemory() {
    }

    public static native long mallocInUseBytes();
}
