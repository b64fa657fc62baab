// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

/** Receives the records a trigger cut out of an {@link AcquisitionTask}'s stream. */
@FunctionalInterface
public interface RecordListener {
    /**
     * One record, on the task's reader thread, after the block listeners got its last scan.
     * {@code record} is valid during this call only. An exception thrown here stops the task; it
     * reaches the done listener as the cause of a {@link TaskEnd.Reason#LISTENER_FAILED} end.
     *
     * @param record the record, the task's one reused record
     * @throws Exception anything: it ends the task as a listener failure
     */
    void recordArrived(TriggerRecord record) throws Exception;
}
