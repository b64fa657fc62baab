// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

/**
 * Why an {@link AcquisitionTask} ended, and how far it got.
 *
 * <p>A recorder that failed ({@link Reason#RECORDER_FAILED}) may say in its cause how many scans
 * reached its file (the HDF5 log's {@code ScanLogWriteException.getScansInFile()}).
 *
 * @param reason         the kind of end
 * @param scansDelivered the scans delivered to the listeners and the recorder before the end; for an
 *                       {@link OutputTask}, the scans its generator filled that the device took
 * @param cause          the exception that ended it (the overrun, the device's or a listener's
 *                       failure), null for a completed or stopped task
 * @param backlogScans   the backlog the last block reported ({@link TaskBlock#getBacklogScans()}),
 *                       -1 if no block was delivered: after an overrun, the stored scans that
 *                       still waited behind that block
 */
public record TaskEnd(Reason reason, long scansDelivered, Throwable cause, long backlogScans) {
    /** The kinds of end; exactly one ends a task. */
    public enum Reason {
        /** The finite task delivered all the scans it was asked for. */
        COMPLETED,
        /** {@code stop()} or {@code close()} ended it. */
        STOPPED,
        /** The driver's buffer overflowed (the reader fell behind): the cause says how many scans came before. */
        OVERRUN,
        /** The device failed (a ComediException or the device was closed under the task). */
        DEVICE_FAILED,
        /** A block listener threw: the cause is its exception. */
        LISTENER_FAILED,
        /** The recorder (e.g. the HDF5 log) failed: the cause is its exception. */
        RECORDER_FAILED,
        /**
         * An output ran dry (its generator fell behind the board's clock): the cause, a
         * {@code ComediUnderrunException}, says how many scans went out before.
         */
        UNDERRUN,
        /** The output's generator threw: the cause is its exception. */
        GENERATOR_FAILED
    }

    /** The word the recorder logs for this end. */
    String eventKind() {
        return switch (reason) {
            case COMPLETED -> "completed";
            case STOPPED -> "stopped";
            case OVERRUN -> "overrun";
            case UNDERRUN -> "underrun";
            case DEVICE_FAILED, LISTENER_FAILED, RECORDER_FAILED, GENERATOR_FAILED -> "error";
        };
    }

    @Override
    public String toString() {
        String behind = reason == Reason.OVERRUN && backlogScans >= 0 ? ", the last block with " + backlogScans
                + " scans waiting behind it (the reader fell behind the board)" : "";
        return reason + " after " + scansDelivered + " scans" + behind + (cause == null ? "" : ": " + cause);
    }
}
