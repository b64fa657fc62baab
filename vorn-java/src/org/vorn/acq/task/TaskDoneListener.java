package org.vorn.acq.task;

/** Told once, on the task's reader thread, why an {@link AcquisitionTask} ended. */
@FunctionalInterface
public interface TaskDoneListener {
    void done(TaskEnd end);
}
