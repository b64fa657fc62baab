// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;

/**
 * Loads libvorn for the classes of this package through the library's internal loader in
 * {@code org.vorn.util}, which is not public: reached through a method handle on its package
 * (the classes share one class loader and module).
 */
final class NativeLoading {
    private NativeLoading() {
    }

    private static final MethodHandle LOAD;
    private static final MethodHandle LOAD_FOR_DEVICES;

    static {
        try {
            Class<?> loader = Class.forName("org.vorn.util.LibraryLoader", true, NativeLoading.class.getClassLoader());
            MethodHandles.Lookup lookup = MethodHandles.privateLookupIn(loader, MethodHandles.lookup());
            LOAD = lookup.findStatic(loader, "load", MethodType.methodType(void.class));
            LOAD_FOR_DEVICES = lookup.findStatic(loader, "loadForDevices", MethodType.methodType(void.class));
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    /** Loads libvorn once per class loader. */
    static void load() {
        invoke(LOAD);
    }

    /** {@link #load()}, and the check that LWJGL, which creates every handle buffer, is on the class path. */
    static void loadForDevices() {
        invoke(LOAD_FOR_DEVICES);
    }

    private static void invoke(MethodHandle loading) {
        try {
            loading.invokeExact();
        } catch (RuntimeException | Error e) {
            throw e; // UnsatisfiedLinkError, NoClassDefFoundError: what the loader says to fix
        } catch (Throwable impossible) {
            throw new AssertionError(impossible);
        }
    }
}
