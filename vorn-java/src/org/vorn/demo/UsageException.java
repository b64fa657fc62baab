// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

/** A command line the demo cannot run: one line for the user, then the usage. */
final class UsageException extends Exception {
    private static final long serialVersionUID = 1L;

    UsageException(String message) {
        super(message);
    }
}
