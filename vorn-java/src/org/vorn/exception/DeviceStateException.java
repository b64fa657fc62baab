// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/**
 * A call that does not fit the device's state, such as a start of a running stream or a change of
 * a channel while it runs: the message says which device and what to do first. Nothing was sent
 * to the driver.
 */
public class DeviceStateException extends IllegalStateException {
    private static final long serialVersionUID = 1L;

    /** The device path. */
    private final String device;

    DeviceStateException(String device, String message) {
        super(message);
        this.device = device;
    }

    /**
     * The path of the device, as it was opened.
     *
     * @return the device path, e.g. "/dev/comedi0"
     */
    public String getDevice() {
        return device;
    }
}
