package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

import org.vorn.exception.ComediException;

/**
 * The command and the run state of {@link ComediAnalogStreamingDevice}: the scan count, the
 * driver's test of the command and the timing it accepted, the driver buffer, start and stop. Each
 * call takes the device's lock; the state it keeps is the device's, guarded by that lock.
 */
final class StreamLifecycle {
    private StreamLifecycle() {
    }

    static void setScanCount(ComediAnalogStreamingDevice dev, long scans) {
        ByteBuffer h = dev.lockHandle();
        try {
            if (dev.configured) {
                throw new IllegalStateException("the command of " + dev.getDevice()
                        + " is already tested: set the scan count before configure()");
            }
            dev.nSetStopCount(h, scans);
            dev.scanCount = scans;
        } finally {
            dev.unlock();
        }
    }

    static void configure(ComediAnalogStreamingDevice dev) {
        ByteBuffer h = dev.lockHandle();
        try {
            // The command test closes the device, which would cancel the running command.
            if (dev.running) {
                throw new IllegalStateException("the stream of " + dev.getDevice()
                        + " is running: stop it before configure()");
            }
            dev.requireConfigured("configure()");
            try {
                dev.nConfigTask(h);
            } catch (ComediException e) {
                throw StreamMessages.explainRefusal(dev, h, e);
            }
            dev.configured = true;
            dev.command = readCommand(dev, h);
        } finally {
            dev.unlock();
        }
    }

    /** Lock held: the command as the natives hold it now. */
    static StreamCommand readCommand(ComediAnalogStreamingDevice dev, ByteBuffer h) {
        int[] fields = new int[14];
        dev.nGetCommand(h, fields);
        return StreamCommand.of(fields);
    }

    static StreamCommand command(ComediAnalogStreamingDevice dev) {
        dev.lock();
        try {
            return dev.configured ? dev.command : readCommand(dev, dev.handle());
        } finally {
            dev.unlock();
        }
    }

    static StreamCommand acceptedCommand(ComediAnalogStreamingDevice dev) {
        dev.lockHandle();
        try {
            if (!dev.configured) {
                throw new IllegalStateException("the timing of " + dev.getDevice()
                        + " is known once the driver has tested the command: call configure() first");
            }
            return dev.command;
        } finally {
            dev.unlock();
        }
    }

    static int setDriverBufferSize(ComediAnalogStreamingDevice dev, int bytes) {
        if (bytes < 1) {
            throw new IllegalArgumentException("a driver buffer needs at least 1 byte, not " + bytes);
        }
        ByteBuffer h = dev.lockHandle();
        try {
            if (dev.running) {
                throw new IllegalStateException("the stream of " + dev.getDevice()
                        + " is running: stop it before changing the driver buffer");
            }
            return dev.nDriverBufferSize(h, bytes);
        } finally {
            dev.unlock();
        }
    }

    static int driverBufferSize(ComediAnalogStreamingDevice dev) {
        ByteBuffer h = dev.lockHandle();
        try {
            return dev.nDriverBufferSize(h, 0);
        } finally {
            dev.unlock();
        }
    }

    static void start(ComediAnalogStreamingDevice dev) {
        ByteBuffer h = dev.lockHandle();
        try {
            dev.requireConfigured("start()");
            if (!dev.configured) {
                throw new ComediException("Error starting command: the command of " + dev.getDevice()
                        + " has not been tested: call configure() first");
            }
            boolean wasRunning = dev.running;
            dev.stopped = false;
            dev.stopRequested = false;
            try {
                dev.nStart(h);
            } catch (ComediException e) {
                if (!wasRunning) {
                    StreamMessages.closeAfterFailedStart(dev, h, e);
                }
                throw e;
            }
            dev.running = true;
            dev.session.begin(dev.scanCount);
        } finally {
            dev.unlock();
        }
    }

    static void stop(ComediAnalogStreamingDevice dev) {
        dev.stopRequested = true;
        dev.wakeBlockedCalls();
        ByteBuffer h = dev.lockHandle();
        try {
            if (dev.stopped) {
                return;
            }
            dev.stopped = true;
            dev.running = false;
            dev.nStop(h);
        } finally {
            dev.unlock();
        }
    }
}
