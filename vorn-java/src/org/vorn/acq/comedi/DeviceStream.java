// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.comedi;

import java.lang.System.Logger.Level;
import java.nio.ByteBuffer;
import java.time.Duration;
import java.time.Instant;
import java.util.Locale;

import org.vorn.exception.ComediException;

/**
 * The stream of one {@link ComediAnalogStreamingDevice}: its command (scan count, timers, the
 * driver's test), its run state (started, stopped, ended, overrun) and its accounting (values
 * delivered, a partial scan held back). Every field is private and changed only here, each method
 * with the device's lock held; the device's public methods delegate to these.
 *
 * <p>The position of the stream: the natives keep the place of the next value in the scan
 * ({@code channelIndex}) and the bytes of a split sample; this class keeps the values it has taken
 * from the natives, as {@code delivered + heldCount}. The two cannot disagree: every native read
 * advances {@code channelIndex} by exactly the whole values it returns, and the method that called
 * it adds exactly those to {@code delivered} or to the held scan before it gives the lock back, so
 * {@code channelIndex == (delivered + heldCount) mod channels} holds whenever the lock is free
 * (both are 0 after a start). The held values are already converted volts that the natives cannot
 * give back, which is why they live here.
 */
final class DeviceStream {
    /** The high word of a native read's result (stream_read.h). */
    private static final int RUNNING = 0;
    private static final int OVERRUN = 1;
    private static final int ENDED = 2;
    private static final int WOKEN = 3;
    private static final int INTERRUPTED = 4;

    /** The library's logger: the command-test trace goes there, for the program to route. */
    static final System.Logger LOG = System.getLogger("org.vorn");

    private final ComediAnalogStreamingDevice dev;
    private final int channels;

    // The command.
    /** The timers as the creation built them from the requested rate, before any test corrected them. */
    private final long requestedScanNanos;
    private final long builtConvertNanos;
    /** The convert period asked for; 0: the library chooses. */
    private long convertRequest;
    private long scanCount;
    /** The driver has tested the command as it stands. */
    private boolean tested;
    /** The command as the driver's test left it. */
    private StreamCommand command;
    /** What starts the command; configure() puts it into the command. */
    private StartTrigger startTrigger = StartTrigger.now();

    // The run state.
    /** The device file is open for setting the stream up (creation, a change after a test or stop). */
    private boolean openForSetup = true;
    /** start() succeeded and no stop() has run since. */
    private boolean running;
    /** stop() ended the stream, and no start() has run since. */
    private boolean stopped;
    /** Set by stop() before it wakes a waiting read and takes the lock, so that the woken read knows why. */
    private volatile boolean stopRequested;
    /**
     * The running command's trigger has come: at start() for a start now, at trigger() for a
     * software start, when the first values are seen for an external one. Before it the stream is
     * armed: running, nothing converted yet.
     */
    private boolean triggered;
    /** Counts the starts: a read that lent the lock to trigger() knows whether its run still goes on. */
    private long runs;

    // The accounting of the run, from start().
    private long delivered;
    /** Values of a scan the driver delivered in part, held back by a whole-scan read. */
    private final double[] held;
    private int heldCount;
    /** Values of a counted stream, Long.MAX_VALUE for one that runs until stopped. */
    private long total = Long.MAX_VALUE;
    private boolean ended;
    private boolean overrunSeen;
    private long overrunAfter = -1;
    private int overrunBufferBytes;
    /** The report of a split sample that the overrun cut off, or null. */
    private String overrunLostSample;
    private long startNanos;
    private Instant startTime;

    /** Called by the device's constructor once the creation returned {@code h}, before anything else sees the device. */
    DeviceStream(ComediAnalogStreamingDevice dev, ByteBuffer h, int channels) {
        this.dev = dev;
        this.channels = channels;
        this.held = new double[channels];
        StreamCommand built = readCommand(h);
        this.requestedScanNanos = built.scanBeginArg();
        this.builtConvertNanos = built.convertArg();
        this.command = built;
    }

    private String device() {
        return dev.getDevice();
    }

    private RuntimeException stateError(String what) {
        return Failures.state(device(), "device " + device() + ": " + what);
    }

    // ---- the command ----------------------------------------------------------------------------

    /** Lock held: the command as the natives hold it now. */
    StreamCommand readCommand(ByteBuffer h) {
        int[] fields = new int[14];
        dev.nGetCommand(h, fields);
        return StreamCommand.of(fields);
    }

    /** Lock held: the device is open for a change of the setup, which the driver must then test again. */
    private void beginChange(ByteBuffer h, String call) {
        if (running) {
            throw Failures.state(device(), "the stream of " + device() + " is running: stop it before " + call);
        }
        if (!openForSetup) {
            try {
                dev.nOpenForSetup(h);
            } catch (ComediException e) {
                throw Failures.named(device(), e);
            }
            openForSetup = true;
        }
    }

    /** Lock held, before a channel's configuration: refused while the stream runs; the command is tested again. */
    void beforeChannelChange(ByteBuffer h, int position) {
        if (running) {
            throw stateError("position " + position + " cannot be configured while the stream runs (the board keeps"
                    + " the running command's channels); stop() it first");
        }
        beginChange(h, "configureChannel");
        tested = false;
    }

    void setScanCount(long scans) {
        ByteBuffer h = dev.lockHandle();
        try {
            beginChange(h, "setScanCount");
            dev.nSetStopCount(h, scans);
            scanCount = scans;
            tested = false;
        } finally {
            dev.unlock();
        }
    }

    void setConvertPeriodNanos(long nanos) {
        if (nanos < 0 || nanos > 0xFFFF_FFFFL) {
            throw new IllegalArgumentException("device " + device() + ": a convert period is 1 to 4294967295 ns"
                    + " (0: the library chooses), not " + nanos);
        }
        ByteBuffer h = dev.lockHandle();
        try {
            beginChange(h, "setConvertPeriodNanos");
            convertRequest = nanos;
            tested = false;
        } finally {
            dev.unlock();
        }
    }

    long getConvertPeriodRequest() {
        dev.lock();
        try {
            return convertRequest;
        } finally {
            dev.unlock();
        }
    }

    void configure() {
        String[] trace = new String[1];
        ByteBuffer h = dev.lockHandle();
        try {
            // The command test closes the device, which would cancel the running command.
            beginChange(h, "configure()");
            dev.requireConfigured("configure()");
            tested = false;
            applyStart(h);
            // Every test starts from the request: an earlier test's corrections are not a request.
            dev.nSetTimers(h, requestedScanNanos, convertRequest > 0 ? convertRequest : builtConvertNanos);
            openForSetup = false;
            try {
                dev.nConfigTaskTraced(h, trace);
            } catch (ComediException e) {
                logTrace(trace[0]);
                throw StreamMessages.explainRefusal(dev, h, e);
            }
            logTrace(trace[0]);
            StreamCommand accepted = readCommand(h);
            RuntimeException changed = startTrigger.refusalIfChanged(device(), accepted.startArg());
            if (changed != null) {
                throw changed;
            }
            command = convertRequest > 0 ? accepted : closerTiming(h, accepted);
            tested = true;
        } finally {
            dev.unlock();
        }
    }

    /** Lock held, the device open: the start source into the command; a board without it is refused. */
    private void applyStart(ByteBuffer h) {
        try {
            StreamStart.nApply(h, startTrigger.startSource(), (int) startTrigger.startArgument(),
                    startTrigger.waitsForTrigger());
        } catch (ComediException e) {
            throw Failures.namedRefusal(device(), e);
        }
    }

    void setStartTrigger(StartTrigger trigger) {
        java.util.Objects.requireNonNull(trigger, "trigger");
        ByteBuffer h = dev.lockHandle();
        try {
            beginChange(h, "setStartTrigger");
            startTrigger = trigger;
            tested = false;
        } finally {
            dev.unlock();
        }
    }

    StartTrigger getStartTrigger() {
        dev.lock();
        try {
            return startTrigger;
        } finally {
            dev.unlock();
        }
    }

    private void logTrace(String trace) {
        if (trace != null && !trace.isEmpty()) {
            LOG.log(Level.DEBUG, trace.endsWith("\n") ? trace.substring(0, trace.length() - 1) : trace);
        }
    }

    /** Bound on the tests of other convert periods: the driver's rounding settles in two or three. */
    private static final int TIMING_TRIES = 12;

    /**
     * Lock held, after the test: when the driver's correction moved the scan period away from the
     * request, other convert periods are tried (tests of copies, no trace) and the command takes
     * the one whose accepted scan period comes closest. A conversion period of scan period over
     * channels is the natural first guess, but the driver rounds it, and rounding up lengthens the
     * scan: a shorter conversion whose whole scan fits the requested period is what the board
     * can do.
     */
    private StreamCommand closerTiming(ByteBuffer h, StreamCommand accepted) {
        long requested = requestedScanNanos;
        if (accepted.scanBeginSource() != StreamCommand.TRIG_TIMER
                || accepted.convertSource() != StreamCommand.TRIG_TIMER || accepted.scanBeginArg() == requested) {
            return accepted;
        }
        long target = requested / channels;
        long convert = target;
        StreamCommand best = accepted;
        int[] fields = new int[14];
        for (int i = 0; i < TIMING_TRIES && convert > 0; i++) {
            int verdict;
            try {
                verdict = dev.nTestTimers(h, requested, convert, fields);
            } catch (ComediException e) {
                break; // the test as the trace shows it stands: this is only a refinement
            }
            if (verdict != 0) {
                break;
            }
            StreamCommand tried = StreamCommand.of(fields);
            if (Math.abs(tried.scanBeginArg() - requested) < Math.abs(best.scanBeginArg() - requested)) {
                best = tried;
            }
            long got = tried.convertArg();
            if (got <= target) {
                break;
            }
            convert -= Math.max(1, got - target);
        }
        if (best == accepted) {
            return accepted;
        }
        StreamCommand chosen = best;
        dev.nSetTimers(h, chosen.scanBeginArg(), chosen.convertArg());
        LOG.log(Level.TRACE, () -> String.format(Locale.ROOT,
                "Closer timing for %s: scan_begin timer %d, convert timer %d (%.3f scans/s)", device(),
                chosen.scanBeginArg(), chosen.convertArg(), chosen.scanRateHz()));
        return readCommand(h);
    }

    StreamCommand command() {
        dev.lock();
        try {
            return tested ? command : readCommand(dev.handle());
        } finally {
            dev.unlock();
        }
    }

    StreamCommand acceptedCommand() {
        dev.lockHandle();
        try {
            if (!tested) {
                throw stateError("the timing is known once the driver has tested the command: call configure()"
                        + " first (and again after a change of channels, scan count or convert period)");
            }
            return command;
        } finally {
            dev.unlock();
        }
    }

    int setDriverBufferSize(int bytes) {
        if (bytes < 1) {
            throw new IllegalArgumentException("a driver buffer needs at least 1 byte, not " + bytes);
        }
        ByteBuffer h = dev.lockHandle();
        try {
            if (running) {
                throw stateError("the stream is running: stop it before changing the driver buffer");
            }
            try {
                return dev.nDriverBufferSize(h, bytes);
            } catch (ComediException e) {
                throw Failures.refused(e.getMessage(), e.getErrorNumber(), e); // the text names the device
            }
        } finally {
            dev.unlock();
        }
    }

    int driverBufferSize() {
        ByteBuffer h = dev.lockHandle();
        try {
            return dev.nDriverBufferSize(h, 0);
        } finally {
            dev.unlock();
        }
    }

    // ---- start and stop -------------------------------------------------------------------------

    void start() {
        ByteBuffer h = dev.lockHandle();
        try {
            dev.requireConfigured("start()");
            if (running) {
                throw stateError(ended || overrunSeen
                        ? "the stream has ended" + (overrunSeen ? " with an overrun" : "") + ": stop() it before start()"
                        : "the stream is already running: stop() it before start()");
            }
            if (!tested) {
                throw stateError("the command has not been tested: call configure() before start()"
                        + " (and again after a change of channels, scan count or convert period)");
            }
            if (openForSetup) {
                dev.nCloseIdle(h);
                openForSetup = false;
            }
            stopped = false;
            stopRequested = false;
            try {
                dev.nStart(h);
            } catch (ComediException e) {
                StreamMessages.closeAfterFailedStart(dev, h);
                throw Failures.named(device(), e);
            }
            running = true;
            begin();
        } finally {
            dev.unlock();
        }
    }

    private void begin() {
        runs++;
        delivered = 0;
        heldCount = 0;
        total = scanCount == 0 ? Long.MAX_VALUE : scanCount * channels;
        ended = false;
        overrunSeen = false;
        overrunAfter = -1;
        overrunLostSample = null;
        triggered = !startTrigger.waitsForTrigger();
        if (triggered) {
            startNanos = System.nanoTime();
            startTime = Instant.now();
        } else {
            startNanos = 0;
            startTime = null;
        }
    }

    /** Starts the armed command of a software start; the trigger's instant is the stream's start. */
    void trigger() {
        ByteBuffer h = dev.lockHandleFromSleeper();
        try {
            if (startTrigger.kind() != StartTrigger.Kind.SOFTWARE) {
                throw stateError("the stream starts " + (startTrigger.waitsForTrigger() ? "on the " + startTrigger
                        : "at start()") + ", not by trigger() (setStartTrigger(StartTrigger.software()) before"
                        + " configure())");
            }
            if (!running) {
                throw stateError("the stream is not armed: start() arms it before trigger()");
            }
            if (triggered) {
                throw stateError("the stream has already been triggered: stop() and start() it to arm it again");
            }
            long nanos = System.nanoTime();
            Instant wallClock = Instant.now();
            try {
                StreamStart.nTrigger(h);
            } catch (ComediException e) {
                throw Failures.named(device(), e);
            }
            startedAt(nanos, wallClock);
        } finally {
            dev.unlockToSleeper();
        }
    }

    /**
     * Lock held: an external start shows itself by the values it brings. Their number, back from
     * now at the accepted scan period, is when the edge came, as closely as the driver's delivery
     * of the values tells it.
     */
    private void noticeExternalStart(ByteBuffer h) {
        if (triggered || !running || startTrigger.kind() != StartTrigger.Kind.EXTERNAL_EDGE) {
            return;
        }
        // Once values were taken the driver is not asked: a look at the buffer of a drained, ended
        // command would free the subdevice under the next read.
        long values = delivered + heldCount;
        if (values == 0) {
            int buffered = StreamStart.nBufferedBytes(h);
            if (buffered <= 0) {
                return;
            }
            values = buffered / dev.nGetBytesPerSample(h);
        }
        long scans = (values + channels - 1) / channels;
        long back = scans * command.scanPeriodNanos();
        startedAt(System.nanoTime() - back, Instant.now().minusNanos(back));
    }

    /** Armed and waiting for the trigger, or not running at all: false; started and not stopped: true. */
    boolean isStarted() {
        ByteBuffer h = dev.lockHandle();
        try {
            noticeExternalStart(h);
            return running && triggered;
        } finally {
            dev.unlock();
        }
    }

    /** start() ran and the trigger has not come yet. */
    boolean isArmed() {
        ByteBuffer h = dev.lockHandle();
        try {
            noticeExternalStart(h);
            return running && !triggered;
        } finally {
            dev.unlock();
        }
    }

    void stop() {
        stopRequested = true;
        dev.wakeBlockedCalls();
        ByteBuffer h = dev.lockHandle();
        try {
            if (stopped) {
                return;
            }
            stopped = true;
            running = false;
            try {
                dev.nStop(h);
            } catch (ComediException e) {
                throw Failures.named(device(), e);
            }
        } finally {
            dev.unlock();
        }
    }

    // ---- a start shared with an output (SynchronizedStart) --------------------------------------

    /** Lock held: whether configure() has tested the present command. */
    boolean isTested() {
        return tested;
    }

    /** Lock held: the command configure() tested, or null before it. */
    StreamCommand testedCommand() {
        return tested ? command : null;
    }

    /**
     * Lock held: scan 0 began at this instant, the trigger's, and not when {@link #start()} armed the
     * command.
     */
    void startedAt(long nanos, Instant wallClock) {
        startNanos = nanos;
        startTime = wallClock;
        triggered = true;
    }

    /** Lock held: a stream is running (configureChannel refuses a change then). */
    boolean isRunning() {
        return running;
    }

    long getStartNanoTime() {
        dev.lock();
        try {
            return startNanos;
        } finally {
            dev.unlock();
        }
    }

    Instant getStartTime() {
        dev.lock();
        try {
            return startTime;
        } finally {
            dev.unlock();
        }
    }

    long getSamplesDelivered() {
        dev.lock();
        try {
            return delivered;
        } finally {
            dev.unlock();
        }
    }

    boolean hasEnded() {
        dev.lock();
        try {
            return ended || overrunSeen;
        } finally {
            dev.unlock();
        }
    }

    // ---- the accounting -------------------------------------------------------------------------

    /** Lock held: the stream may be read. */
    private void requireReadable() {
        if (stopped || stopRequested) {
            throw Failures.stopped(device());
        }
    }

    /** The handle for a read, with the lock held; a refusal gives the lock back before it raises. */
    private ByteBuffer lockReadable() {
        ByteBuffer h = dev.lockHandle();
        try {
            requireReadable();
        } catch (RuntimeException refused) {
            dev.unlock();
            throw refused;
        }
        return h;
    }

    /** Values a read may still ask the driver for (beyond what is held). */
    private int remainingFromDriver(int limit) {
        long left = total - delivered - heldCount;
        return (int) Math.min(limit, Math.max(0, left));
    }

    /** A native read's condition: the driver ended the stream, or overran; a counted stream is also over once its last value is out. */
    private void noteCondition(int condition) {
        if (condition == ENDED) {
            ended = true;
        } else if (condition == OVERRUN) {
            overrunSeen = true;
        }
        if (delivered + heldCount >= total) {
            ended = true;
        }
    }

    /** The report of the overrun that ended the stream: the first fixes what it says, every later read gets the same. */
    private ComediException overrunReport(ByteBuffer h) {
        overrunSeen = true;
        if (overrunAfter < 0) {
            overrunAfter = delivered;
            int bytes;
            try {
                bytes = dev.nDriverBufferSize(h, 0);
            } catch (ComediException e) {
                bytes = -1;
            }
            overrunBufferBytes = bytes;
        }
        return Failures.overrun(device(), overrunAfter, channels, overrunBufferBytes, overrunLostSample);
    }

    /**
     * Moves up to {@code max} held values of a partial scan to the start of {@code volts}; returns
     * how many. The rest stay held, in order, for the next read.
     */
    private int takeHeld(ByteBuffer volts, int max) {
        int n = Math.min(heldCount, max);
        for (int k = 0; k < n; k++) {
            volts.putDouble(8 * k, held[k]);
        }
        System.arraycopy(held, n, held, 0, heldCount - n);
        heldCount -= n;
        return n;
    }

    /** Lock held: the non-waiting read into {@code volts}, with the stream's accounting. */
    private int readNow(ByteBuffer h, ByteBuffer volts) {
        if (overrunSeen) {
            throw overrunReport(h);
        }
        if (heldCount > 0) {
            int n = takeHeld(volts, dev.getBufferSize());
            delivered += n;
            return n;
        }
        if (ended) {
            return 0;
        }
        long result = readNative(h, volts);
        int n = (int) result;
        int condition = (int) (result >>> 32) & 0xFF;
        int lostBytes = (int) (result >>> 40) & 0xFF;
        delivered += n;
        noteCondition(condition);
        noticeExternalStart(h);
        if (lostBytes > 0) {
            // The stream ended between the bytes of one sample: said, never dropped silently.
            int bytesPerSample = dev.nGetBytesPerSample(h);
            String lost = "Data should come in as " + bytesPerSample + " bytes per sample. 1 sample lost: the stream"
                    + " ended after " + lostBytes + " of its " + bytesPerSample + " bytes";
            if (condition != OVERRUN) {
                throw Failures.driver(Failures.withDevice(device(), lost), 0, null);
            }
            overrunLostSample = lost;
        }
        if (n == 0 && overrunSeen) {
            throw overrunReport(h);
        }
        return n;
    }

    private long readNative(ByteBuffer h, ByteBuffer volts) {
        try {
            return dev.nScanNow(h, volts);
        } catch (ComediException e) {
            throw Failures.named(device(), e);
        }
    }

    /**
     * One native read that may wait, repeated after a wake-up that was not for this reader; returns
     * its packed result. Raises the reason when stop() or close() woke it; returns the INTERRUPTED
     * condition with nothing read when the thread was interrupted.
     */
    private long waitForValues(ByteBuffer buf, int offset, int max, int min, long nanos, boolean raw,
            boolean wholeScans) {
        long deadline = System.nanoTime() + Math.min(nanos, Long.MAX_VALUE / 4);
        long remaining = nanos;
        for (;;) {
            if (min > 0 && remaining > 0 && Thread.currentThread().isInterrupted()) {
                return (long) INTERRUPTED << 32;
            }
            long result;
            try {
                // Fetched on every pass: lending the lock lets another call replace the scratch buffer.
                result = ComediAnalogStreamingDevice.nReadWaitAt(dev.lockedHandleAddress(), dev.address(buf), offset,
                        max, min, remaining, raw, wholeScans);
            } catch (ComediException e) {
                throw Failures.named(device(), e);
            }
            if ((int) (result >>> 32) != WOKEN) {
                return result;
            }
            if (stopRequested || dev.isClosed()) {
                throw dev.isClosed() ? dev.closedException() : Failures.stopped(device());
            }
            // trigger() from another thread: it gets the lock now, not when this read times out.
            long run = runs;
            if (dev.lendLockIfWanted(Math.max(0, deadline - System.nanoTime()))
                    && (stopRequested || dev.isClosed() || runs != run || !running)) {
                throw dev.isClosed() ? dev.closedException() : Failures.stopped(device());
            }
            // Otherwise a wake-up left over from an earlier stop: the time that is left still counts.
            remaining = Math.max(0, deadline - System.nanoTime());
        }
    }

    /** Lock held: the waiting read of values (volts, or raw codes when {@code raw}) into {@code buf} from its start. */
    private int readWaiting(ByteBuffer h, ByteBuffer buf, int max, int minValues, long nanos, boolean raw) {
        if (overrunSeen) {
            throw overrunReport(h);
        }
        if (raw && heldCount > 0) {
            throw stateError(heldCount + " values of a partial scan are held as volts for readScans: read them"
                    + " with read() or readScans() first");
        }
        int offset = raw ? 0 : takeHeld(buf, max);
        if (ended || offset >= max) {
            delivered += offset;
            return offset > 0 ? offset : (ended && heldCount == 0 ? -1 : 0);
        }
        int fromDriver = remainingFromDriver(max - offset);
        int min = Math.max(0, Math.min(minValues - offset, fromDriver));
        long result = waitForValues(buf, offset, fromDriver, min, nanos, raw, false);
        int condition = (int) (result >>> 32);
        int total = offset + (int) result;
        delivered += total;
        noticeExternalStart(h);
        if (condition == INTERRUPTED) {
            if (total == 0) {
                throw Failures.interrupted(device());
            }
            return total;
        }
        noteCondition(condition);
        if (total == 0 && overrunSeen) {
            throw overrunReport(h);
        }
        return total == 0 && ended ? -1 : total;
    }

    /** Lock held: the whole-scan read into {@code block}; {@code scratch} holds getBufferSize() doubles. */
    private int readScans(ByteBuffer h, ByteBuffer scratch, ScanBlock block, int minScans, long nanos) {
        if (overrunSeen) {
            throw overrunReport(h);
        }
        if (delivered % channels != 0) { // held values, if any, continue from here
            throw stateError("a read ended inside scan " + delivered / channels + ": read its other "
                    + (channels - delivered % channels) + " values with read() before reading whole scans");
        }
        block.firstScan = delivered / channels;
        int maxValues = Math.min(block.getCapacity(), dev.getBufferSize() / channels) * channels;
        int fromHeld = takeHeld(scratch, maxValues);
        int total = fromHeld;
        int condition = RUNNING;
        if (!ended) {
            int fromDriver = remainingFromDriver(maxValues - fromHeld);
            int min = (int) Math.max(0, Math.min((long) minScans * channels - fromHeld, fromDriver));
            long result = waitForValues(scratch, fromHeld, fromDriver, min, nanos, false, true);
            total = fromHeld + (int) result;
            condition = (int) (result >>> 32);
        }
        int scans = total / channels;
        int whole = scans * channels;
        for (int k = 0; k < whole; k++) {
            block.put(k, scratch.getDouble(8 * k));
        }
        heldCount = total - whole;
        for (int k = 0; k < heldCount; k++) {
            held[k] = scratch.getDouble(8 * (whole + k));
        }
        delivered += whole;
        noticeExternalStart(h);
        block.scans = scans;
        if (condition == INTERRUPTED) {
            block.endOfStream = false;
            if (scans == 0) {
                throw Failures.interrupted(device());
            }
            return scans;
        }
        noteCondition(condition);
        block.endOfStream = ended;
        if (scans == 0 && overrunSeen) {
            throw overrunReport(h);
        }
        return scans == 0 && ended ? -1 : scans;
    }

    // ---- the public read forms: checks, the lock, then the reads above --------------------------

    static long timeoutNanos(Duration timeout, int minimum) {
        if (timeout == null) {
            throw new IllegalArgumentException("timeout is null");
        }
        if (timeout.isNegative()) {
            throw new IllegalArgumentException("timeout " + timeout + " is negative");
        }
        if (minimum < 0) {
            throw new IllegalArgumentException("a read cannot wait for " + minimum + " values");
        }
        try {
            return timeout.toNanos();
        } catch (ArithmeticException e) {
            return Long.MAX_VALUE;
        }
    }

    /** The largest bufSize whose doubles fit one direct buffer (an int capacity): 2^28 - 1. */
    private static final int MAX_ARRAY_READ = Integer.MAX_VALUE / 8;

    /** The array forms convert into the device's scratch buffer: 8 bytes a value must fit one direct buffer. */
    private void requireArrayReadable() {
        int bufSize = dev.getBufferSize();
        if (bufSize > MAX_ARRAY_READ) {
            throw new IllegalArgumentException("device " + device() + ": read(double[]) takes a bufSize of at most "
                    + MAX_ARRAY_READ + " values (its buffer of 8 bytes a value must fit a direct buffer), this"
                    + " stream has " + bufSize + "; read fewer values at a time");
        }
    }

    int readNow(ByteBuffer volts) {
        dev.requireDataBuffer(volts, 8L * dev.getBufferSize(), "sample");
        ComediDevice.requireWritable(volts, "sample");
        ByteBuffer h = lockReadable();
        try {
            return readNow(h, volts);
        } finally {
            dev.unlock();
        }
    }

    int readNow(double[] volts) {
        requireArrayReadable(); // first: no array of 2^28 values is needed to learn it
        int bufSize = dev.getBufferSize();
        ComediDevice.requireLength(volts.length, bufSize, "sample array");
        ByteBuffer h = lockReadable();
        try {
            ByteBuffer buf = dev.scratch(8 * bufSize);
            int n = readNow(h, buf);
            buf.asDoubleBuffer().get(volts, 0, n);
            return n;
        } finally {
            dev.unlock();
        }
    }

    int readWaiting(double[] volts, int minValues, Duration timeout) {
        requireArrayReadable();
        int bufSize = dev.getBufferSize();
        int max = Math.min(volts.length, bufSize);
        long nanos = timeoutNanos(timeout, minValues);
        ByteBuffer h = lockReadable();
        try {
            ByteBuffer buf = dev.scratch(8 * bufSize);
            int n = readWaiting(h, buf, max, minValues, nanos, false);
            if (n > 0) {
                buf.asDoubleBuffer().get(volts, 0, n);
            }
            return n;
        } finally {
            dev.unlock();
        }
    }

    int readWaiting(ByteBuffer volts, int minValues, Duration timeout) {
        int bufSize = dev.getBufferSize();
        dev.requireDataBuffer(volts, 8L * bufSize, "sample");
        ComediDevice.requireWritable(volts, "sample");
        long nanos = timeoutNanos(timeout, minValues);
        ByteBuffer h = lockReadable();
        try {
            return readWaiting(h, volts, bufSize, minValues, nanos, false);
        } finally {
            dev.unlock();
        }
    }

    int readScans(ScanBlock block, int minScans, Duration timeout) {
        int bufSize = dev.getBufferSize();
        if (block.getPositionCount() != channels) {
            throw new IllegalArgumentException("the block holds scans of " + block.getPositionCount()
                    + " channels, the stream has " + channels);
        }
        if (bufSize < channels) {
            throw new IllegalArgumentException("a read of at most " + bufSize + " values holds no whole scan of "
                    + channels + " channels");
        }
        requireArrayReadable();
        long nanos = timeoutNanos(timeout, minScans);
        ByteBuffer h = lockReadable();
        try {
            return readScans(h, dev.scratch(8 * bufSize), block, minScans, nanos);
        } finally {
            dev.unlock();
        }
    }

    /** The raw read, not waiting when {@code minValues} is 0 and {@code nanos} 0. */
    int readRaw(ByteBuffer raw, int minValues, long nanos) {
        ByteBuffer h = dev.lockHandle();
        try {
            dev.requireDataBuffer(raw, (long) dev.nGetBytesPerSample(h) * dev.getBufferSize(), "raw sample");
            ComediDevice.requireWritable(raw, "raw sample");
            requireReadable();
            return readWaiting(h, raw, dev.getBufferSize(), minValues, nanos, true);
        } finally {
            dev.unlock();
        }
    }
}
