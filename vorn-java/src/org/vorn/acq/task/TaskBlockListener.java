// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

/** Receives the blocks of an {@link AcquisitionTask}, on the task's reader thread. */
@FunctionalInterface
public interface TaskBlockListener {
    /**
     * {@code block} is valid during this call only. An exception thrown here stops the task; it
     * reaches the done listener as the cause of a {@link TaskEnd.Reason#LISTENER_FAILED} end.
     *
     * @param block the scans that arrived, the task's one reused block
     * @throws Exception anything: it ends the task as a listener failure
     */
    void scansArrived(TaskBlock block) throws Exception;
}
