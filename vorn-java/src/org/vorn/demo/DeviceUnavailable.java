// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

/** Raised when the device cannot be opened at all: nothing else is worth trying then. */
final class DeviceUnavailable extends Exception {
    private static final long serialVersionUID = 1L;

    DeviceUnavailable(String message) {
        super(message);
    }
}
