// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;

import org.vorn.acq.comedi.ComediAnalogStreamingDevice;
import org.vorn.acq.comedi.ComediChannelRange;
import org.vorn.acq.comedi.ComediDeviceInfo;
import org.vorn.acq.comedi.StreamCommand;
import org.vorn.exception.ComediOverrunException;

/**
 * A streaming device as the task reads it: its waiting raw read, whose runs of codes may end
 * inside a scan, cut into the task's blocks. Codes read past the end of a block wait here for the
 * next one, so every code is handed on once, in order.
 */
final class DeviceScanSource implements ScanSource {
    /** How far the board's clock may lead the start time taken here. */
    static final long CLOCK_LEAD_NANOS = 1_000_000;
    private final ComediAnalogStreamingDevice device;
    private final Duration timeout;
    /** What starts the device's stream: its own start(), or a start shared with an output. */
    private final Runnable starter;
    private ByteBuffer staged;
    private int sampleBytes;
    private int positions;
    private boolean ended;
    private long startNanos;
    private long periodNanos;
    private long scanCount;
    /** Codes taken from the driver since the start (those staged here included). */
    private long valuesTaken;
    /** Codes the driver's buffer holds when full. */
    private long driverCapacityValues;
    /**
     * The most codes the driver can have stored since the start, once the clock says its buffer
     * overflowed (an overflow stops the acquisition); Long.MAX_VALUE while none is known.
     */
    private long storedCeiling = Long.MAX_VALUE;
    /** The driver's buffer is known empty: the stream ended or overran, and everything in it was read. */
    private boolean driverDrained;

    /** {@code timeoutNanos}: how long one read waits at most (the task passes the same on every read). */
    DeviceScanSource(ComediAnalogStreamingDevice device, long timeoutNanos) {
        this(device, timeoutNanos, device::start);
    }

    /** As above, the stream started by {@code starter}, which leaves the device's start time set. */
    DeviceScanSource(ComediAnalogStreamingDevice device, long timeoutNanos, Runnable starter) {
        this.device = device;
        this.timeout = Duration.ofNanos(timeoutNanos);
        this.starter = starter;
    }

    /** Reads what the task records about the stream, then starts it. */
    @Override
    public StreamInfo start() {
        positions = device.getPositionCount();
        sampleBytes = device.getBytesPerSample();
        staged = ByteBuffer.allocateDirect(device.getBufferSize() * sampleBytes).order(ByteOrder.nativeOrder());
        staged.limit(0);
        ComediDeviceInfo info = ComediDeviceInfo.describe(device.getDevice());
        List<ComediChannelRange> ranges = new ArrayList<>(positions);
        for (int p = 0; p < positions; p++) {
            ComediChannelRange range = device.getChannelRange(p);
            if (range == null) {
                throw new IllegalStateException("scan position " + p + " of " + device.getDevice()
                        + " is not configured");
            }
            ranges.add(range);
        }
        driverCapacityValues = device.getDriverBufferSize() / sampleBytes;
        long period = device.getScanPeriodNanos();
        long convert = device.getConvertPeriodNanos();
        StreamCommand command = device.getCommand();
        starter.run();
        startNanos = device.getStartNanoTime();
        periodNanos = period;
        scanCount = command.scanCount();
        Instant t = device.getStartTime();
        long startNs = t.getEpochSecond() * 1_000_000_000L + t.getNano();
        return new StreamInfo(device.getDevice(), info.driverName(), info.boardName(), command.subdevice(), sampleBytes,
                ranges, period, convert, startNs, command.scanCount(), LibraryVersion.get());
    }

    @Override
    public int read(ByteBuffer raw, int minValues, long timeoutNanos) {
        int moved = moveStaged(raw);
        if (moved >= minValues || !raw.hasRemaining()) {
            return moved;
        }
        if (ended) {
            return moved > 0 ? moved : -1;
        }
        staged.clear();
        int n;
        try {
            n = device.readRaw(staged, Math.min(minValues - moved, device.getBufferSize()), timeout);
        } catch (RuntimeException e) {
            // An overrun is raised once everything stored before it was read; any other failure
            // leaves nothing that will ever be read.
            driverDrained = true;
            staged.limit(0);
            throw e;
        }
        if (n < 0) {
            ended = true;
            driverDrained = true;
            staged.limit(0);
            return moved > 0 ? moved : -1;
        }
        noteOverflow();
        valuesTaken += n;
        if (valuesTaken > storedCeiling) {
            storedCeiling = Long.MAX_VALUE; // the read came later than the clock said: no overflow
        }
        staged.limit(n * sampleBytes);
        return moved + moveStaged(raw);
    }

    /** Moves staged codes into {@code raw}, as many as fit; returns how many. */
    private int moveStaged(ByteBuffer raw) {
        int bytes = Math.min(staged.remaining(), raw.remaining());
        if (bytes == 0) {
            return 0;
        }
        int limit = staged.limit();
        staged.limit(staged.position() + bytes);
        raw.put(staged);
        staged.limit(limit);
        return bytes / sampleBytes;
    }

    /**
     * Whole scans stored but not yet handed on: the codes read from the driver that wait here
     * (at most {@link ComediAnalogStreamingDevice#getBufferSize()}), and those in the driver's
     * buffer (at most its size). The driver's share is counted from the clock rather than asked of
     * the driver, whose buffer query would consume the report of an overrun that the next read
     * must raise: the codes the accepted timing says the board has converted by now, less those
     * read, no more than the buffer holds, and no more than it stored before it overflowed (the
     * clock says when: once it is more than a buffer ahead of the reads); none once the stream
     * ended or overran and the reads drained it.
     */
    @Override
    public long backlogScans() {
        long stagedValues = staged.remaining() / sampleBytes;
        long inDriver = 0;
        if (!driverDrained) {
            noteOverflow();
            long stored = Math.min(dueValues(System.nanoTime()), storedCeiling);
            inDriver = Math.max(0, Math.min(driverCapacityValues, stored - valuesTaken));
        }
        return (stagedValues + inDriver) / positions;
    }

    /** Codes the accepted timing says the board has converted by {@code nanoTime}. */
    private long dueValues(long nanoTime) {
        long due = periodNanos > 0 ? (nanoTime - startNanos) / periodNanos : 0;
        if (scanCount > 0) {
            due = Math.min(due, scanCount);
        }
        return due * positions;
    }

    /**
     * The driver overflows once the board runs a whole buffer ahead of the reads; it stores nothing
     * after. The start time was taken after the driver accepted the command, so the board's clock
     * leads this one a little: an overflow is assumed from {@link #CLOCK_LEAD_NANOS} before the
     * clock says so (an overflow assumed too early only counts fewer scans until a read shows that
     * the driver stored more).
     */
    private void noteOverflow() {
        long limit = valuesTaken + driverCapacityValues;
        if (dueValues(System.nanoTime() + CLOCK_LEAD_NANOS) > limit) {
            storedCeiling = Math.min(storedCeiling, limit);
        }
    }

    @Override
    public boolean isOverrun(RuntimeException e) {
        return e instanceof ComediOverrunException;
    }

    @Override
    public void stop() {
        device.stop();
    }
}
