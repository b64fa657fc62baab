// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/** Every call of a device after its {@code close()}, from any thread: "device PATH is closed". */
public class DeviceClosedException extends DeviceStateException {
    private static final long serialVersionUID = 1L;

    DeviceClosedException(String device) {
        super(device, "device " + device + " is closed");
    }
}
