// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.util;

import java.net.URI;
import java.net.URISyntaxException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.CodeSource;

/**
 * Loads libvorn once per class loader, with a message that says what to fix when it is missing.
 *
 * <p>An installed vorn.jar ({@code PREFIX/share/java/vorn.jar}) first takes the library installed
 * with it ({@code PREFIX/lib/jni/libvorn.so}), so that a jar and a library of different builds never
 * meet; otherwise the library comes from {@code java.library.path}, which on Debian's JVM already
 * holds {@code /usr/lib/jni} and {@code /usr/lib/<multiarch>/jni}.
 */
final class LibraryLoader {
    /** Where an install puts the JNI library, from the prefix. */
    static final String INSTALLED_JNI_DIR = "lib/jni";
    /** Where an install puts the jar, from the prefix. */
    static final String INSTALLED_JAR_DIR = "share/java";
    static final String BUFFER_FACTORY = "org.lwjgl.BufferUtils";

    private static boolean loaded;
    private static boolean bufferFactoryFound;

    private LibraryLoader() {
    }

    static synchronized void load() {
        if (loaded) {
            return;
        }
        String file = System.mapLibraryName("vorn");
        Path installed = installedBesideJar(file);
        boolean besideJar = installed != null && Files.isRegularFile(installed);
        try {
            if (besideJar) {
                System.load(installed.toString());
            } else {
                System.loadLibrary("vorn");
            }
        } catch (UnsatisfiedLinkError e) {
            // The JVM's message names java.library.path and its folders, or the file it could not load.
            String notBesideJar = installed != null && !besideJar ? "; none beside vorn.jar at " + installed : "";
            UnsatisfiedLinkError missing = new UnsatisfiedLinkError("libvorn could not be loaded (" + e.getMessage()
                    + ")" + notBesideJar + "; install the libvorn-java package, or set -Djava.library.path to the "
                    + "folder that holds " + file);
            missing.initCause(e);
            throw missing;
        }
        loaded = true;
    }

    /**
     * {@link #load()}, and a check that LWJGL is on the class path: the library creates every
     * device's handle buffer with {@code org.lwjgl.BufferUtils}, and without it a creation would
     * end in a bare NoClassDefFoundError from inside the native code.
     */
    static synchronized void loadForDevices() {
        load();
        if (bufferFactoryFound) {
            return;
        }
        try {
            Class.forName(BUFFER_FACTORY, false, LibraryLoader.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            NoClassDefFoundError missing = new NoClassDefFoundError(BUFFER_FACTORY
                    + " is not on the class path: libvorn's devices need LWJGL; add lwjgl.jar to the class path "
                    + "(on Debian /usr/share/java/lwjgl.jar, package liblwjgl-java)");
            missing.initCause(e);
            throw missing;
        }
        bufferFactoryFound = true;
    }

    /** PREFIX/lib/jni/FILE when this class comes from PREFIX/share/java/*.jar, else null. */
    private static Path installedBesideJar(String file) {
        try {
            CodeSource source = LibraryLoader.class.getProtectionDomain().getCodeSource();
            if (source == null || source.getLocation() == null) {
                return null;
            }
            // A jar nested in another jar or fetched over the network has no folder beside it, and
            // Paths.get would raise for its URI (no file system provider for it is open).
            URI location = source.getLocation().toURI();
            if (!"file".equalsIgnoreCase(location.getScheme())) {
                return null;
            }
            Path jar = Paths.get(location).toAbsolutePath().normalize();
            Path folder = jar.getParent();
            if (!jar.toString().endsWith(".jar") || folder == null || !folder.endsWith(INSTALLED_JAR_DIR)) {
                return null;
            }
            Path prefix = folder.getParent().getParent();
            return prefix == null ? null : prefix.resolve(INSTALLED_JNI_DIR).resolve(file);
        } catch (URISyntaxException | IllegalArgumentException | SecurityException e) {
            return null;   // a jar not in a plain file system: java.library.path alone
        }
    }
}
