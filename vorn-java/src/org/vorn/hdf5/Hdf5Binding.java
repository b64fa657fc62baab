// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

/**
 * Whether Debian's HDF5 Java binding can run here: the SLF4J facade it logs through and its JNI
 * library. Checked when a log is made, so that a missing piece stops the program before
 * any stream starts, with a message that says what to add, instead of failing the acquisition
 * with a bare UnsatisfiedLinkError at its first write.
 */
final class Hdf5Binding {
    private static volatile boolean usable;

    private Hdf5Binding() {
    }

    /**
     * @throws NoClassDefFoundError naming the jar to put on the class path
     * @throws UnsatisfiedLinkError naming the JNI library and the folder for java.library.path
     */
    static void check() {
        if (usable) {
            return;
        }
        // Without jarhdf5.jar the log's own class does not link (NoClassDefFoundError naming a class
        // of hdf.hdf5lib), so that case never reaches this check.
        requireClass(Hdf5Binding.class.getClassLoader(), "org.slf4j.LoggerFactory", "SLF4J, which the HDF5 binding logs through: add"
                + " /usr/share/java/slf4j-api.jar and /usr/share/java/slf4j-nop.jar (package libslf4j-java) to the"
                + " class path");
        try {
            // The binding loads its library when H5 initialises; a failure there is only printed,
            // and every call raises UnsatisfiedLinkError after it.
            Probe.call();
        } catch (UnsatisfiedLinkError e) {
            String name = System.getProperty("hdf.hdf5lib.H5.loadLibraryName", "hdf5_java");
            UnsatisfiedLinkError missing = new UnsatisfiedLinkError("the HDF5 log needs "
                    + System.mapLibraryName(name) + ", the JNI library of Debian's HDF5 Java binding (package"
                    + " libhdf5-jni), which is not in java.library.path (" + System.getProperty("java.library.path")
                    + "): set -Djava.library.path to the JNI folder that holds it, /usr/lib/"
                    + debianMultiarch() + "/jni on Debian");
            missing.initCause(e);
            throw missing;
        } catch (Exception e) {
            // The library is there and answered: the version query itself is not the log's concern.
        }
        usable = true;
    }

    /** The one reference to the binding, in a class that loads only once its jar is known to be there. */
    private static final class Probe {
        static void call() throws Exception {
            hdf.hdf5lib.H5.H5get_libversion(new int[3]);
        }
    }

    private static void requireClass(ClassLoader loader, String className, String what) {
        try {
            Class.forName(className, false, loader);
        } catch (ClassNotFoundException e) {
            NoClassDefFoundError missing = new NoClassDefFoundError("the HDF5 log needs " + what + " (" + className
                    + " was not found)");
            missing.initCause(e);
            throw missing;
        }
    }

    /** Debian's name of this machine's multiarch folder (x86_64-linux-gnu, aarch64-linux-gnu, ...). */
    private static String debianMultiarch() {
        String arch = System.getProperty("os.arch");
        switch (arch) {
            case "amd64":
                return "x86_64-linux-gnu";
            case "aarch64":
                return "aarch64-linux-gnu";
            case "arm":
                return "arm-linux-gnueabihf";
            case "ppc64le":
                return "powerpc64le-linux-gnu";
            case "s390x":
                return "s390x-linux-gnu";
            case "riscv64":
                return "riscv64-linux-gnu";
            case "x86":
            case "i386":
                return "i386-linux-gnu";
            default:
                return "<multiarch triplet>";
        }
    }
}
