// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.nio.ByteBuffer;
import java.time.Duration;
import java.time.Instant;

/**
 * Hardware-timed analog input. The board scans the configured channels at a fixed rate into the
 * driver's buffer; the reads drain what has arrived, converted to volts (or as raw codes). Values
 * come in arrival order, cycling through the scan positions, and every read form continues where
 * the last one ended.
 *
 * <pre>
 * try (var ai = new ComediAnalogStreamingDevice("/dev/comedi0", 2, 1000.0, 4096)) {
 *     ai.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
 *     ai.configureChannel(1, 1, -10, 10, AnalogReference.GROUND);
 *     ai.setScanCount(5000);       // optional: exactly 5000 scans, then the stream ends by itself
 *     ai.configure();              // the driver corrects the timing (trace: System.Logger "org.vorn")
 *     double hz = ai.getScanRateHz(); // the rate the board runs at, e.g. 1000.0
 *     ai.start();
 *     ScanBlock block = ScanBlock.interleaved(2, 100);
 *     while (ai.readScans(block, 100, Duration.ofSeconds(1)) &gt;= 0) {
 *         long first = block.firstScan(); // scan first + i began at (first + i) x getScanPeriodNanos()
 *     }
 *     ai.stop();
 * }
 * </pre>
 *
 * <p>Reads: {@link #read(double[])} and {@link #readRaw(ByteBuffer)} return at once with what has
 * arrived; {@link #read(double[], int, Duration)} and {@link #readScans} wait, asleep in the kernel
 * (poll on the Comedi file), until enough has arrived or the timeout passes, and return what came
 * (a timeout is no error). The waiting read wakes when the accepted timing says the missing values
 * are due, or earlier when the driver reports data after an empty buffer; a driver that delivers
 * in blocks later than that is looked at again at most every millisecond.
 *
 * <p>Time: scan {@code k} (counted from 0 at the start, {@link ScanBlock#firstScan()}) began
 * {@code k x getScanPeriodNanos()} after the first, which began at about {@link #getStartNanoTime()}.
 * The start is {@link #start()} itself, or a trigger it arms for ({@link #setStartTrigger}).
 *
 * <p>The driver's buffer must be drained often enough that it never fills: an overrun ends the
 * stream, and once the samples before it have been delivered, every read raises a
 * {@link org.vorn.exception.ComediOverrunException} that says how many were delivered and how large
 * the driver's buffer is ({@link #setDriverBufferSize} asks for a larger one).
 *
 * <p>Threads: every method may be called from any thread. Calls on one device run one at a time
 * (see {@link #close()}); two threads reading one stream each get contiguous runs of it, every
 * sample exactly once. A waiting read holds the device while it sleeps, so other calls wait for it
 * (at most its timeout), except {@link #stop()}, {@link #trigger()} and {@link #close()}: they may
 * come from any thread at any moment, and wake a sleeping read at once, then act. A read on a
 * stream that {@link #stop()} ended, on this thread or another, raises {@link org.vorn.exception.StreamStoppedException}
 * (never a ComediException, so "stopped" is told apart from a fault) until {@link #start()} runs it
 * again; after close every call raises {@link org.vorn.exception.DeviceClosedException} "device PATH is closed".
 */
public final class ComediAnalogStreamingDevice extends ComediAnalogDevice {
    private final int bufSize;
    /** The stream: its command, run state and accounting, all changed there only. */
    final DeviceStream stream;

    /**
     * Opens the first analog input subdevice of {@code device} and builds a command that scans
     * {@code nChannels} channels {@code scanRateHz} times a second; one read returns at most
     * {@code bufSize} values.
     *
     * @param device     the device path, e.g. "/dev/comedi0"
     * @param nChannels  scan positions, 1 to 256
     * @param scanRateHz scans a second asked for (the driver may correct it, see {@link #configure()})
     * @param bufSize    the most values one read returns
     */
    public ComediAnalogStreamingDevice(String device, int nChannels, double scanRateHz, int bufSize) {
        this(device, FIRST_ANALOG_INPUT, nChannels, scanRateHz, bufSize);
    }

    /**
     * As above, on analog input subdevice {@code subdevice} (see {@link ComediDeviceInfo}), or the
     * first one with {@link #FIRST_ANALOG_INPUT}: for a board with two that stream.
     *
     * @param device     the device path
     * @param subdevice  the subdevice index, or {@link #FIRST_ANALOG_INPUT}
     * @param nChannels  scan positions, 1 to 256
     * @param scanRateHz scans a second asked for
     * @param bufSize    the most values one read returns
     */
    public ComediAnalogStreamingDevice(String device, int subdevice, int nChannels, double scanRateHz, int bufSize) {
        super(device, nChannels);
        requireSubdeviceChoice(subdevice);
        this.bufSize = bufSize;
        ByteBuffer h = created(() -> subdevice == FIRST_ANALOG_INPUT
                ? nCreateTask(device, nChannels, scanRateHz, bufSize) // refuses a count outside 1..256
                : nCreateTaskOn(device, subdevice, nChannels, scanRateHz, bufSize));
        attach(h);
        this.stream = new DeviceStream(this, h, nChannels);
    }

    /** The first analog input subdevice of the device: the subdevice choice of the shorter constructor. */
    public static final int FIRST_ANALOG_INPUT = -1;

    /**
     * The most values one read returns.
     *
     * @return the buffer size the device was created with
     */
    public int getBufferSize() {
        return bufSize;
    }

    /**
     * Makes the stream a finite one of exactly {@code scans} scans (1 to 4294967295; 0: until
     * stopped, the default). The driver tests the count with the rest of the command: call
     * {@link #configure()} after it. The stream then ends by itself; the waiting reads return -1
     * once the last scan has been delivered. Refused while the stream runs.
     *
     * @param scans the scan count, or 0
     */
    public void setScanCount(long scans) {
        stream.setScanCount(scans);
    }

    /**
     * Asks for {@code nanos} between two conversions of a scan (0, the default: the library
     * chooses the one that brings the scan rate closest to the request). The driver corrects it
     * in {@link #configure()}; {@link #getConvertPeriodNanos()} then says what it accepted.
     * Refused while the stream runs.
     *
     * @param nanos the convert period in nanoseconds, 0 to 4294967295
     */
    public void setConvertPeriodNanos(long nanos) {
        stream.setConvertPeriodNanos(nanos);
    }

    /**
     * Has the driver test the command (correcting its timing to what the board can do) and closes
     * the device until {@link #start()}. The test's trace goes to the library's
     * {@link System.Logger} "org.vorn" at level DEBUG (so a program sees it only when it asks for
     * it, and routes it where it wants), one message per test run. When the
     * driver's correction moved the scan period away from the request and no convert period was
     * asked for, the library tries shorter convert periods and keeps the one whose scan period
     * comes closest (logged at TRACE). Call after every position is configured, and again after a change
     * of channel, scan count or convert period; {@link #getCommand()} then tells what the driver
     * accepted. A refusal ({@link org.vorn.exception.SettingRefusedException}) says what the driver
     * answered and what it would accept. Refused while the stream runs.
     */
    public void configure() {
        stream.configure();
    }

    /**
     * The command as the driver's test left it (as built, before {@link #configure()}).
     *
     * @return the command
     */
    public StreamCommand getCommand() {
        return stream.command();
    }

    /**
     * The accepted scan rate under its 0.1 name.
     *
     * @return the accepted scan rate in Hz
     * @deprecated use {@link #getScanRateHz()}: a rate's name ends in {@code Hz}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    public double getScanRate() {
        return getScanRateHz();
    }

    /**
     * Nanoseconds from one scan's start to the next, as accepted.
     *
     * @return the scan period
     */
    public long getScanPeriodNanos() {
        return stream.acceptedCommand().scanPeriodNanos();
    }

    /**
     * Nanoseconds between two conversions of one scan, as accepted; 0 when the board converts at once.
     *
     * @return the convert period
     */
    public long getConvertPeriodNanos() {
        return stream.acceptedCommand().convertPeriodNanos();
    }

    /**
     * Asks the driver for a buffer of {@code bytes} for the stream (comedilib rounds it, usually to
     * whole pages) and returns the size the driver reports; call while the stream does not run.
     * The size stays with the subdevice.
     *
     * @param bytes the size asked for, at least 1
     * @return the size the driver has now
     */
    public int setDriverBufferSize(int bytes) {
        return stream.setDriverBufferSize(bytes);
    }

    /**
     * The size of the driver's buffer for the stream, in bytes.
     *
     * @return the size
     */
    public int getDriverBufferSize() {
        return stream.driverBufferSize();
    }

    /**
     * Chooses what starts the stream (default {@link StartTrigger#now()}); {@link #configure()}
     * puts it into the command and refuses, with a
     * {@link org.vorn.exception.SettingRefusedException} naming the start sources the board has, a
     * start the board lacks (or a trigger line it does not have). Refused while the stream runs.
     *
     * @param trigger the start: now, software or an external edge
     */
    public void setStartTrigger(StartTrigger trigger) {
        stream.setStartTrigger(trigger);
    }

    /**
     * What starts the stream, as {@link #setStartTrigger} chose it.
     *
     * @return the start
     */
    public StartTrigger getStartTrigger() {
        return stream.getStartTrigger();
    }

    /**
     * Opens the device and submits the command, from scan 0: with a start {@link StartTrigger#now()}
     * the acquisition starts at once; with a software or an external start the command is armed and
     * waits for {@link #trigger()} or its edge (reads meanwhile find nothing: a waiting read waits,
     * {@link #stop()} and close() end the wait as always). A start that fails leaves the device
     * closed, ready for another start. Refused (a {@link org.vorn.exception.DeviceStateException})
     * while the stream runs or has ended by itself without {@link #stop()}, and before
     * {@link #configure()}.
     */
    public void start() {
        stream.start();
    }

    /**
     * Starts a stream armed by {@link #start()} with a {@link StartTrigger#software()} start: scan 0
     * is the first scan after this call, and {@link #getStartNanoTime()} the instant of the trigger.
     * Like stop() and close(), it does not wait out a waiting read on another thread: that read
     * lets the trigger through and goes on waiting, now for the values the trigger brings.
     *
     * @throws org.vorn.exception.DeviceStateException when the stream is not armed, has another
     *         start, or was triggered already
     */
    public void trigger() {
        stream.trigger();
    }

    /**
     * Whether the stream waits for its trigger: {@link #start()} ran, the trigger (software or
     * edge) has not come yet.
     *
     * @return true while armed
     */
    public boolean isArmed() {
        return stream.isArmed();
    }

    /**
     * Whether the acquisition runs: its trigger has come (at once for a start now) and no
     * {@link #stop()} ran since. An external start is seen by the values it brings, so this turns
     * true once the driver holds the first of them.
     *
     * @return true from the trigger until stop()
     */
    public boolean isStarted() {
        return stream.isStarted();
    }

    /**
     * When scan 0 began, by {@link System#nanoTime()}: the trigger's instant, not the arming's.
     * For a start now, taken as the driver accepted the command; for a software start, just before
     * the trigger; for an external start, derived from the first values once they are seen (their
     * scans at the accepted scan period, back from the moment the library found them), so it is as
     * close as the driver's delivery of data.
     *
     * @return the start in nanoTime, 0 before the first start and while armed
     */
    public long getStartNanoTime() {
        return stream.getStartNanoTime();
    }

    /**
     * When scan 0 began, by the wall clock, as {@link #getStartNanoTime()} tells it.
     *
     * @return the start, null before the first start and while armed
     */
    public Instant getStartTime() {
        return stream.getStartTime();
    }

    /**
     * Values delivered since start, by every read form.
     *
     * @return the count
     */
    public long getSamplesDelivered() {
        return stream.getSamplesDelivered();
    }

    /**
     * True once a counted stream has delivered its last scan, or the driver ended it.
     *
     * @return whether the stream has ended
     */
    public boolean hasEnded() {
        return stream.hasEnded();
    }

    /**
     * Converts what has arrived into {@code volts} (a direct, native-order buffer with room for
     * {@link #getBufferSize()} doubles) and returns how many values it wrote, 0 when none.
     *
     * @param volts the buffer to fill from its start
     * @return the values written
     * @throws org.vorn.exception.StreamStoppedException when {@link #stop()} ended the stream
     * @throws org.vorn.exception.ComediOverrunException once the values before an overrun are out
     */
    public int read(ByteBuffer volts) {
        return stream.readNow(volts);
    }

    /**
     * Converts what has arrived into {@code volts} (at least {@link #getBufferSize()} long) and returns the count.
     *
     * @param volts the array to fill from its start
     * @return the values written
     * @throws org.vorn.exception.StreamStoppedException when {@link #stop()} ended the stream
     * @throws org.vorn.exception.ComediOverrunException once the values before an overrun are out
     */
    public int read(double[] volts) {
        return stream.readNow(volts);
    }

    /**
     * Waits until at least {@code minValues} values have arrived (or the timeout passes), converts
     * up to {@code min(volts.length, getBufferSize())} of what has arrived into {@code volts} and
     * returns how many; fewer than {@code minValues} (0 included) after a timeout, -1 once a counted
     * stream has delivered everything. A {@link Duration#ZERO} timeout does not wait; a duration
     * beyond what nanoseconds count waits without limit.
     *
     * <p>An interrupt of the reading thread ({@link Thread#interrupt()}, before or during the wait)
     * ends the wait within about 50 ms: the read returns the values of a partial scan it held, if
     * any, and otherwise raises {@link org.vorn.exception.ReadInterruptedException}; it takes
     * nothing from the driver, the stream runs on, and the interrupt status stays set.
     *
     * @param volts     the array to fill from its start
     * @param minValues the values to wait for
     * @param timeout   the longest wait
     * @return the values written, or -1 at the end of a counted stream
     * @throws org.vorn.exception.StreamStoppedException when {@link #stop()} ended the stream, also while this waited
     */
    public int read(double[] volts, int minValues, Duration timeout) {
        return stream.readWaiting(volts, minValues, timeout);
    }

    /**
     * As {@link #read(double[], int, Duration)}, into a direct, native-order buffer of at least
     * {@code 8 x getBufferSize()} bytes, from its start.
     *
     * @param volts     the buffer to fill from its start
     * @param minValues the values to wait for
     * @param timeout   the longest wait
     * @return the values written, or -1 at the end of a counted stream
     */
    public int read(ByteBuffer volts, int minValues, Duration timeout) {
        return stream.readWaiting(volts, minValues, timeout);
    }

    /**
     * Whole scans only: waits until at least {@code minScans} whole scans have arrived (or the
     * timeout passes) and puts up to {@code min(block.capacity(), getBufferSize() / channels)} of
     * them into {@code block}, with the index of the first. Returns the scans delivered (also in
     * {@link ScanBlock#scans()}), or -1 once a counted stream has delivered everything. A scan the
     * driver has delivered only in part stays for the next read. The stream must be at a scan
     * boundary: after a {@link #read} that ended inside a scan, read the rest of that scan first.
     * An interrupt ends the wait as {@link #read(double[], int, Duration)} says.
     *
     * @param block    the block to fill
     * @param minScans the whole scans to wait for
     * @param timeout  the longest wait
     * @return the scans delivered, or -1 at the end of a counted stream
     * @throws org.vorn.exception.StreamStoppedException when {@link #stop()} ended the stream, also while this waited
     */
    public int readScans(ScanBlock block, int minScans, Duration timeout) {
        return stream.readScans(block, minScans, timeout);
    }

    /**
     * Cancels the acquisition and closes the device; {@link #start()} may run it again, and the
     * channels, scan count and convert period may be changed before (then {@link #configure()}
     * again). From any thread, at any time: a read in flight finishes (a waiting one is woken) and
     * the reads after it raise {@link org.vorn.exception.StreamStoppedException}. Stopping a stream
     * that stop() already ended does nothing.
     */
    public void stop() {
        stream.stop();
    }

    /** Wakes a read that sleeps in poll; safe without the lock, concurrently, and after release. */
    @Override
    void wakeBlockedCalls() {
        ByteBuffer h = wakeHandle();
        if (h != null) {
            nWake(h);
        }
    }

    @Override
    boolean isRunning() {
        return stream.isRunning();
    }

    @Override
    void beforeChannelChange(ByteBuffer h, int position) {
        stream.beforeChannelChange(h, position);
    }

    // ---- raw codes, and what converts them ------------------------------------------------------

    /**
     * Bytes of one raw code in {@link #readRaw}: 2, or 4 on a subdevice with 32-bit samples.
     *
     * @return 2 or 4
     */
    public int getBytesPerSample() {
        ByteBuffer h = lockHandle();
        try {
            return nGetBytesPerSample(h);
        } finally {
            unlock();
        }
    }

    /**
     * Moves what has arrived into {@code raw} as the driver's codes ({@link #getBytesPerSample()}
     * bytes each, native order, unsigned), without waiting, and returns how many codes it wrote.
     * It shares the stream's position with the converting reads: the forms may be mixed, and each
     * code belongs to position (values delivered so far, all forms) mod {@link #getChannelCount()}.
     * {@code raw} is a direct buffer with room for {@link #getBufferSize()} codes.
     *
     * @param raw the buffer to fill from its start
     * @return the codes written
     */
    public int readRaw(ByteBuffer raw) {
        return Math.max(0, stream.readRaw(raw, 0, 0));
    }

    /**
     * As {@link #readRaw(ByteBuffer)}, waiting as {@link #read(double[], int, Duration)} does
     * (an interrupt included); -1 at the end of a counted stream.
     *
     * @param raw       the buffer to fill from its start
     * @param minValues the codes to wait for
     * @param timeout   the longest wait
     * @return the codes written, or -1 at the end of a counted stream
     */
    public int readRaw(ByteBuffer raw, int minValues, Duration timeout) {
        return stream.readRaw(raw, minValues, DeviceStream.timeoutNanos(timeout, minValues));
    }

    /**
     * What turns the codes of scan position {@code position} into volts, as configureChannel chose it.
     *
     * @param position a scan position
     * @return the range's ends, unit word and largest code; all 0 for a position never configured
     * @deprecated {@code getChannelRange(position)} answers for every analog device, with
     *             {@link ComediChannelRange#toVolts(long)}
     */
    @Deprecated(since = "0.2", forRemoval = true)
    @SuppressWarnings("removal")
    public RawConversion getRawConversion(int position) {
        if (position < 0 || position >= nChannels) {
            throw new IllegalArgumentException("scan position " + position + " is outside 0.." + (nChannels - 1));
        }
        double[] range = new double[3];
        ByteBuffer h = lockHandle();
        try {
            long maxdata = nGetConversion(h, position, range);
            return new RawConversion(range[0], range[1], (int) range[2], maxdata);
        } finally {
            unlock();
        }
    }

    native ByteBuffer nCreateTask(String devString, int nChannels, double freq, int bufSize);

    @Override
    native void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);

    native void nConfigTask(ByteBuffer handle);

    native void nStart(ByteBuffer handle);

    native int nScan(ByteBuffer handle, ByteBuffer buf);

    native long nScanNow(ByteBuffer handle, ByteBuffer buf);

    native void nConfigTaskTraced(ByteBuffer handle, String[] trace);

    native void nOpenForSetup(ByteBuffer handle);

    native void nCloseIdle(ByteBuffer handle);

    native void nSetTimers(ByteBuffer handle, long scanBeginNanos, long convertNanos);

    native int nTestTimers(ByteBuffer handle, long scanBeginNanos, long convertNanos, int[] fields);

    native ByteBuffer nCreateTaskOn(String devString, int subdevice, int nChannels, double freq, int bufSize);

    native void nStop(ByteBuffer handle);

    native void nDestroy(ByteBuffer handle);

    native long nScanRaw(ByteBuffer handle, ByteBuffer buf);

    native long nGetConversion(ByteBuffer handle, int position, double[] range);

    native int nGetBytesPerSample(ByteBuffer handle);

    /**
     * The waiting read on the record at {@code handle} into the memory at {@code buf}, which holds
     * the stream's bufSize values (raw codes or doubles); lock held, device open.
     */
    static native long nReadWaitAt(long handle, long buf, int offset, int maxValues, int minValues,
            long timeoutNanos, boolean raw, boolean wholeScans);

    static native void nWake(ByteBuffer handle);

    native void nGetCommand(ByteBuffer handle, int[] fields);

    native void nSetStopCount(ByteBuffer handle, long scans);

    native int nTestCommandCopy(ByteBuffer handle, int[] fields);

    native int nDriverBufferSize(ByteBuffer handle, int bytes);

    /**
     * Scans a second as the board runs them, after the driver's corrections (e.g. 3003.003 for
     * 3000 Hz over 3 channels).
     *
     * @return the accepted scan rate in Hz
     */
    public double getScanRateHz() {
        return stream.acceptedCommand().scanRateHz();
    }
}
