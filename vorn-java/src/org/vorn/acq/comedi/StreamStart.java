// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/** The natives of a stream's start ({@link StartTrigger}), shared by the input and the output device. */
final class StreamStart {
    private StreamStart() {
    }

    /**
     * Lock held, the device open: sets the command's start source and argument; with {@code check},
     * after a look at the sources the subdevice has (a refusal names them).
     */
    static native void nApply(ByteBuffer handle, int source, int argument, boolean check);

    /** The command's start argument as it stands (after the driver's test). */
    static native long nStartArgument(ByteBuffer handle);

    /** Lock held: the internal trigger of the handle's armed command. */
    static native void nTrigger(ByteBuffer handle);

    /** Lock held: bytes in the driver's buffer (read: not yet read; write: not yet output), -1 when unknown. */
    static native int nBufferedBytes(ByteBuffer handle);
}
