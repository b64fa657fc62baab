// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import java.nio.file.Path;
import java.time.Duration;

import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.task.AcquisitionTask;

/**
 * The child of {@link KilledLogTest}: logs the emulated board's counter channel on every position
 * (code of sample k = k mod 65536) through an acquisition task, flushing every 20 ms, and prints
 * "flushed N" whenever the log has made N scans durable, until it is killed.
 */
public final class KilledLogChild {
    static final int POSITIONS = 3;

    private KilledLogChild() {
    }

    public static void main(String[] args) throws Exception {
        try (var ai = new ComediAnalogStreamingDevice("/dev/comedi-emu/multi", POSITIONS, 100_000, 8192)) {
            for (int p = 0; p < POSITIONS; p++) {
                ai.configureChannel(p, 7, -10, 10, AnalogReference.GROUND);
            }
            ai.configure();
            Hdf5ScanLog log = new Hdf5ScanLog(Path.of(args[0]), Duration.ofMillis(20), false);
            long[] reported = {0};
            // The listener runs on the reader thread right after the log took the block.
            AcquisitionTask task = AcquisitionTask.on(ai).everyScans(500).recordTo(log, false).onBlock(b -> {
                if (log.getScansFlushed() != reported[0]) {
                    reported[0] = log.getScansFlushed();
                    System.out.println("flushed " + reported[0]);
                    System.out.flush();
                }
            }).onDone(end -> System.out.println("ended " + end)).build();
            task.start();
            task.awaitEnd(Duration.ofMinutes(5));
        }
    }
}
