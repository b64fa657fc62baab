// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.util;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.security.CodeSigner;
import java.security.CodeSource;
import java.security.SecureClassLoader;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Loading libvorn when vorn.jar does not sit in a plain file system: a jar nested in an application's
 * own jar, or one a class loader fetched from a web server. There is no installed library beside
 * such a jar to prefer, so the library must come from java.library.path as for any other jar.
 *
 * <p>Nothing in this JVM loads libvorn through the application class loader: a JVM loads a native
 * library into one class loader only, and here it goes to a loader the test builds.
 */
class NativeLibraryTest {

    /** Defines the classes of vorn.jar as coming from {@code location}, as a fat-jar or network loader does. */
    private static final class RelocatedJarLoader extends SecureClassLoader {
        private final JarFile jar;
        private final CodeSource source;

        RelocatedJarLoader(JarFile jar, URL location) {
            super(ClassLoader.getPlatformClassLoader());
            this.jar = jar;
            this.source = new CodeSource(location, (CodeSigner[]) null);
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            JarEntry entry = jar.getJarEntry(name.replace('.', '/') + ".class");
            if (entry == null) {
                throw new ClassNotFoundException(name);
            }
            try {
                byte[] bytes = jar.getInputStream(entry).readAllBytes();
                return defineClass(name, bytes, 0, bytes.length, source);
            } catch (IOException e) {
                throw new ClassNotFoundException(name, e);
            }
        }
    }

    /** The classes of vorn.jar as a loader that got them from {@code location} defines them. */
    private static Class<?> nativeLibraryFrom(JarFile jar, String location) throws Exception {
        Class<?> nativeLibrary = Class.forName("org.vorn.util.NativeLibrary", true,
                new RelocatedJarLoader(jar, new URL(location)));
        assertEquals(location, nativeLibrary.getProtectionDomain().getCodeSource().getLocation().toString());
        return nativeLibrary;
    }

    private static JarFile vornJar() throws IOException {
        String jarPath = System.getProperty("vorn.jar");
        assertTrue(jarPath != null && new File(jarPath).isFile(), "-Dvorn.jar names the library's jar");
        return new JarFile(jarPath);
    }

    /** The case of an application packed as one jar with its libraries inside (BOOT-INF/lib and the like). */
    @Test
    void aJarInsideAnApplicationJarLoadsTheLibraryFromTheLibraryPath() throws Exception {
        String location = "jar:file:/opt/lab/acquisition.jar!/BOOT-INF/lib/vorn.jar!/";
        try (JarFile jar = vornJar()) {
            Class<?> nativeLibrary = nativeLibraryFrom(jar, location);
            try {
                nativeLibrary.getMethod("load").invoke(null);
            } catch (InvocationTargetException e) {
                throw new AssertionError("NativeLibrary.load() for a jar at " + location + " raised " + e.getCause(),
                        e.getCause());
            }
            // The library is bound to that loader: a native of a class it defines answers.
            Class<?> osUtil = Class.forName("org.vorn.util.OsUtil", true, nativeLibrary.getClassLoader());
            long micros = (long) osUtil.getMethod("getTimeOfDay").invoke(null);
            long now = System.currentTimeMillis() * 1000;
            assertTrue(Math.abs(micros - now) < 60_000_000L, "time of day " + micros + " µs, the JVM says " + now);
        }
    }

    /**
     * No installed library is looked for beside a jar that is not a file: the search answers "none"
     * (java.library.path alone) instead of failing. A JVM gives a native library to one class loader
     * only, so these loaders do not load it.
     */
    @ParameterizedTest
    @ValueSource(strings = {"jar:file:/opt/lab/acquisition.jar!/BOOT-INF/lib/vorn.jar!/",
            "http://lab.example/share/java/vorn.jar"})
    void noLibraryBesideAJarOutsideThePlainFileSystem(String location) throws Exception {
        try (JarFile jar = vornJar()) {
            // The loader behind the deprecated public NativeLibrary, from the same relocated jar.
            Class<?> loader = Class.forName("org.vorn.util.LibraryLoader", true,
                    nativeLibraryFrom(jar, location).getClassLoader());
            Method besideJar = loader.getDeclaredMethod("installedBesideJar", String.class);
            besideJar.setAccessible(true);
            Object found;
            try {
                found = besideJar.invoke(null, "libvorn.so");
            } catch (InvocationTargetException e) {
                throw new AssertionError("the search beside a jar at " + location + " raised " + e.getCause(),
                        e.getCause());
            }
            assertNull(found, "an installed library beside a jar at " + location);
        }
    }
}
