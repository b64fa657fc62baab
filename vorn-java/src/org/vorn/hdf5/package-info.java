// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * An HDF5 log of an acquisition task's scans ({@link org.vorn.hdf5.Hdf5ScanLog}), in its own jar
 * ({@code vorn-hdf5.jar}) so that only a program that logs needs the HDF5 Java binding. The file
 * holds the raw codes, with per-position attributes that convert them exactly as the library does,
 * and stays readable after a crash at any moment.
 *
 * <p>Threads: a log is a {@link org.vorn.acq.task.ScanRecorder}; the task calls it from its reader
 * thread only, and a program reads its state ({@code getScansFlushed()}) from the done listener or
 * after the task ended.
 *
 * <pre>
 * var task = AcquisitionTask.on(ai).everyScans(1000)
 *         .recordTo(new Hdf5ScanLog(Path.of("run.h5")), false)   // log only, deliver no volts
 *         .build();
 * </pre>
 */
package org.vorn.hdf5;
