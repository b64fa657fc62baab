// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;

import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * A log made where a piece of Debian's HDF5 binding is missing fails at once, in its constructor,
 * naming what to add; with everything there it is made. Each case in a JVM of its own, since the
 * binding's library loads once per JVM.
 */
class Hdf5BindingCheckTest {
    @TempDir
    Path dir;

    /** Makes a log and prints what happened. */
    public static final class Child {
        public static void main(String[] args) {
            try {
                new Hdf5ScanLog(Path.of(args[0])).close();
                System.out.println("made");
            } catch (Throwable e) {
                System.out.println(e.getClass().getName() + ": " + e.getMessage());
            }
        }
    }

    @ParameterizedTest(name = "without {0}")
    @CsvSource(delimiter = '|', value = {
        "nothing        | made",
        "libhdf5_java   | java.lang.UnsatisfiedLinkError: the HDF5 log needs libhdf5_java.so, the JNI library of"
                + " Debian's HDF5 Java binding (package libhdf5-jni), which is not in java.library.path (",
        // The log's class itself does not link without the binding: still before any stream starts.
        "jarhdf5.jar    | java.lang.NoClassDefFoundError: hdf/hdf5lib/",
        "slf4j-api.jar  | java.lang.NoClassDefFoundError: the HDF5 log needs SLF4J, which the HDF5 binding logs"
                + " through: add /usr/share/java/slf4j-api.jar and /usr/share/java/slf4j-nop.jar"})
    void aMissingPieceStopsTheConstructorWithWhatToAdd(String missing, String expected) throws Exception {
        String libraryFile = System.mapLibraryName("hdf5_java");
        List<String> libraryPath = Arrays.stream(System.getProperty("java.library.path").split(File.pathSeparator))
                .filter(d -> !missing.equals("libhdf5_java") || !Files.exists(Path.of(d, libraryFile)))
                .collect(Collectors.toList());
        List<String> classPath = Arrays.stream(System.getProperty("java.class.path").split(File.pathSeparator))
                .filter(j -> !Path.of(j).getFileName().toString().equals(missing))
                .collect(Collectors.toList());
        assertTrue(missing.equals("nothing") || missing.equals("libhdf5_java")
                || classPath.size() < System.getProperty("java.class.path").split(File.pathSeparator).length,
                missing + " is not on this test's class path");
        Path file = dir.resolve("log.h5");
        Process child = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-Djava.library.path=" + String.join(File.pathSeparator, libraryPath),
                "-cp", String.join(File.pathSeparator, classPath), Child.class.getName(), file.toString())
                .redirectError(ProcessBuilder.Redirect.DISCARD).start();
        String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
        assertEquals(0, child.waitFor());
        assertTrue(out.startsWith(expected), out);
        if (missing.equals("libhdf5_java")) {
            // The folder the message names is the one Debian put the library in.
            String debianDir = Arrays.stream(System.getProperty("java.library.path").split(File.pathSeparator))
                    .filter(d -> d.startsWith("/usr/lib/") && Files.exists(Path.of(d, libraryFile)))
                    .findFirst().orElseThrow();
            assertTrue(out.endsWith("): set -Djava.library.path to the JNI folder that holds it, " + debianDir
                    + " on Debian"), out);
        }
    }
}
