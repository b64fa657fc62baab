// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

/** The library's version as its jar's manifest states it, for what a recorder writes down. */
final class LibraryVersion {
    private LibraryVersion() {
    }

    /** The manifest's Implementation-Version, or "unversioned" for a jar built without one. */
    static String get() {
        String v = LibraryVersion.class.getPackage().getImplementationVersion();
        return v == null || v.isBlank() ? "unversioned" : v;
    }
}
