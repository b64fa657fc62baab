// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * An acquisition that runs itself: {@link org.vorn.acq.task.AcquisitionTask} drains a configured
 * streaming device on a reader thread of its own, hands every N whole scans to block listeners as a
 * {@link org.vorn.acq.task.TaskBlock}, records the raw codes through a
 * {@link org.vorn.acq.task.ScanRecorder} (such as {@code org.vorn.hdf5.Hdf5ScanLog}) described by a
 * {@link org.vorn.acq.task.StreamInfo}, and tells a done listener once why it ended
 * ({@link org.vorn.acq.task.TaskEnd}). A {@link org.vorn.acq.task.Trigger} evaluated on every scan
 * cuts {@link org.vorn.acq.task.TriggerRecord}s with pretrigger scans out of the stream for a
 * {@link org.vorn.acq.task.RecordListener}. Its output twin, {@link org.vorn.acq.task.OutputTask},
 * feeds a streaming output from a {@link org.vorn.acq.task.ScanGenerator} on a writer thread of its
 * own; {@link org.vorn.acq.task.StimulusResponseTask} runs one of each on one board, started
 * together, the generator on the writer thread and the listeners on the reader thread.
 *
 * <p>Threads: listeners (block and record listeners), the recorder and the done listener all run on the task's reader thread,
 * one call at a time, every scan exactly once and in order; a block and its arrays are valid
 * during the listener call only. {@code stop()} and {@code close()} may be called from any thread,
 * a listener included. A {@code StreamInfo} is an immutable value.
 *
 * <pre>
 * var task = AcquisitionTask.on(ai).everyScans(1000)                    // ai: a configured streaming device
 *         .onBlock(block -&gt; plot(block.getFirstScan(), block.copyVolts()))
 *         .onDone(end -&gt; System.out.println(end))
 *         .build();
 * task.start();
 * task.awaitEnd(Duration.ofMinutes(1));
 * </pre>
 */
package org.vorn.acq.task;
