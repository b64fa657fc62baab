// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

/** The Linux errno values that the tests expect in ComediException's errno and inject as faults. */
public final class Errno {
    public static final int EINTR = 4;
    public static final int EIO = 5;
    public static final int EACCES = 13;
    public static final int EBUSY = 16;
    public static final int EINVAL = 22;
    public static final int EPIPE = 32;

    private Errno() {
    }
}
