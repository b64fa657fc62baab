// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

/**
 * The stopped-stream exception under its 0.1 name: the library raises this class, so that a
 * program catching either name catches it.
 *
 * @deprecated catch {@link org.vorn.exception.StreamStoppedException}
 */
@Deprecated(since = "0.2", forRemoval = true)
public class StreamStoppedException extends org.vorn.exception.StreamStoppedException {
    private static final long serialVersionUID = 1L;

    /**
     * Only the library raises it.
     *
     * @param device the device path
     * @deprecated only the library creates it
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public StreamStoppedException(String device) {
        super(device);
    }
}
