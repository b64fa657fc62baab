// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.util;

/**
 * The loader of libvorn under its 0.1 name. The library loads itself when a class that needs it is
 * first used; a program never has to.
 *
 * @deprecated the loading is internal to the library; nothing replaces it
 */
@Deprecated(since = "0.2", forRemoval = true)
public final class NativeLibrary {
    private NativeLibrary() {
    }

    /**
     * Loads libvorn once per class loader, as the library does by itself.
     *
     * @deprecated the library loads itself
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public static void load() {
        LibraryLoader.load();
    }

    /**
     * Loads libvorn and checks that LWJGL, which every device needs, is on the class path.
     *
     * @deprecated the library loads itself
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public static void loadForDevices() {
        LibraryLoader.loadForDevices();
    }
}
