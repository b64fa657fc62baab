package org.vorn.util;

/** Loads libvorn once per class loader, with a message that says what to fix when it is missing. */
public final class NativeLibrary {
    private static boolean loaded;

    private NativeLibrary() {
    }

    public static synchronized void load() {
        if (loaded) {
            return;
        }
        try {
            System.loadLibrary("vorn");
        } catch (UnsatisfiedLinkError e) {
            UnsatisfiedLinkError missing = new UnsatisfiedLinkError(
                    "libvorn could not be loaded (" + e.getMessage() + "); set -Djava.library.path to the folder "
                    + "that holds libvorn.so (now: " + System.getProperty("java.library.path") + ")");
            missing.initCause(e);
            throw missing;
        }
        loaded = true;
    }
}
