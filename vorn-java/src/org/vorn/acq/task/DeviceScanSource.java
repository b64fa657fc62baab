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
    private final ComediAnalogStreamingDevice device;
    private final Duration timeout;
    private ByteBuffer staged;
    private int sampleBytes;
    private int positions;
    private boolean ended;
    private long startNanos;
    private long periodNanos;
    private long scanCount;
    /** Codes taken from the driver since the start (those staged here included). */
    private long valuesTaken;

    /** {@code timeoutNanos}: how long one read waits at most (the task passes the same on every read). */
    DeviceScanSource(ComediAnalogStreamingDevice device, long timeoutNanos) {
        this.device = device;
        this.timeout = Duration.ofNanos(timeoutNanos);
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
        long period = device.getScanPeriodNanos();
        long convert = device.getConvertPeriodNanos();
        StreamCommand command = device.getCommand();
        device.start();
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
        int n = device.readRaw(staged, Math.min(minValues - moved, device.getBufferSize()), timeout);
        if (n < 0) {
            ended = true;
            staged.limit(0);
            return moved > 0 ? moved : -1;
        }
        valuesTaken += n;
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
     * The scans that the accepted timing says the board has taken by now, less those handed on:
     * what waits in the driver's buffer (and on hardware in the board's FIFO). Counted from the
     * clock rather than asked of the driver, whose buffer query would consume the report of an
     * overrun that the next read must raise.
     */
    @Override
    public long backlogScans() {
        long due = periodNanos > 0 ? (System.nanoTime() - startNanos) / periodNanos : 0;
        if (scanCount > 0) {
            due = Math.min(due, scanCount);
        }
        long handedOn = (valuesTaken - staged.remaining() / sampleBytes) / positions;
        return Math.max(0, due - handedOn);
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
