// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.exception;

/**
 * The driver or the board refused a setting: a command it cannot run as asked, a range that does
 * not cover the request, a channel, port or subdevice that the device lacks, a buffer size. The
 * message says what was refused and, where the driver told, what it would accept.
 */
public class SettingRefusedException extends ComediException {
    private static final long serialVersionUID = 1L;

    SettingRefusedException(String message, int errorNumber, Throwable cause) {
        super(message, errorNumber, cause);
    }
}
