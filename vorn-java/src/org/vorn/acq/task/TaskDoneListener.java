// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

/** Told once, on the task's reader thread, why an {@link AcquisitionTask} ended. */
@FunctionalInterface
public interface TaskDoneListener {
    /**
     * The task has ended: its last block was delivered and its recorder closed.
     *
     * @param end why it ended and how far it got
     */
    void done(TaskEnd end);
}
