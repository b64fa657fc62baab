// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static hdf.hdf5lib.HDF5Constants.H5F_ACC_TRUNC;
import static hdf.hdf5lib.HDF5Constants.H5F_LIBVER_LATEST;
import static hdf.hdf5lib.HDF5Constants.H5F_SCOPE_GLOBAL;
import static hdf.hdf5lib.HDF5Constants.H5P_DEFAULT;
import static hdf.hdf5lib.HDF5Constants.H5P_FILE_ACCESS;
import static hdf.hdf5lib.HDF5Constants.H5T_IEEE_F64LE;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_DOUBLE;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_UINT;
import static hdf.hdf5lib.HDF5Constants.H5T_NATIVE_USHORT;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_U16LE;
import static hdf.hdf5lib.HDF5Constants.H5T_STD_U32LE;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.time.Duration;
import java.time.Instant;
import java.time.format.DateTimeFormatter;
import java.util.List;
import java.util.Objects;

import hdf.hdf5lib.H5;
import hdf.hdf5lib.exceptions.HDF5Exception;

import org.vorn.acq.comedi.ComediChannelRange;
import org.vorn.acq.comedi.ComediPolynomial;
import org.vorn.acq.task.ScanRecorder;
import org.vorn.acq.task.StreamInfo;

/**
 * Logs a stream's raw codes to an HDF5 file that any HDF5 reader opens on its own (h5py:
 * {@code h5py.File(path, "r", swmr=True)}), also while it is being written and after the writing
 * process was killed.
 *
 * <p>Layout: {@code /scans}, scans × positions of unsigned 16- or 32-bit raw codes, chunked and
 * growing, with per-position attributes {@code channel}, {@code reference}, {@code range_min},
 * {@code range_max}, {@code unit} and {@code maxdata}, from which volts are
 * {@code raw / maxdata * (range_max - range_min) + range_min} in doubles, exactly what the
 * library delivers; on a board calibrated in software, {@code calibration} names each position's
 * state ({@link org.vorn.acq.comedi.CalibrationState}), and where it is "CALIBRATED" the volts are
 * instead the position's polynomial, {@code u = raw - calibration_origin},
 * {@code ((c3 u + c2) u + c1) u + c0} with {@code c0..c3} its four values of
 * {@code calibration_coefficients} (positions × 4; NaN for a linear position); {@code /volts} (optional) holds those doubles; {@code /events} holds what
 * happened to the stream (stopped, completed, overrun, error, and every trigger of the task's
 * records with its scan's time) with the scan index where it happened. The root's attributes
 * name the device, driver and board, the accepted scan and
 * convert periods, the start time (ISO 8601 and ns since the epoch; scan {@code k} began at
 * {@code start_time_ns + k * scan_period_ns}), and the library and HDF5 versions.
 *
 * <p>Crash safety: the file is written in HDF5's single-writer/multiple-reader mode, whose
 * ordered metadata writes keep the file consistent at every instant. Scans are written at least
 * every flush interval (and every event at once), then flushed; a process killed at any moment
 * leaves a file that opens with every scan flushed before the kill. Readers open it with
 * {@code swmr=True} (the file stays marked as being written until it is closed cleanly, or until
 * {@code h5clear -s} clears the mark). A flush hands the data to the kernel only: with
 * {@link Durability#FSYNC} each flush also waits until the kernel has put the file on the disk,
 * so that a power cut loses no scan flushed before it.
 *
 * <p>A failed write (a full disk, an I/O error) ends the log: nothing is written after it, the
 * rows of the failed write are taken back so that {@code /scans} ends at the last scan written,
 * the failure goes into {@code /events} if the file can still take it, and the write and every
 * later call raise a {@link ScanLogWriteException} that counts the scans in the file.
 *
 * <p>Not thread safe: an acquisition task calls it from its reader thread only.
 */
public final class Hdf5ScanLog implements ScanRecorder {
    /** Written into the root's {@code format} attribute; raised when the layout changes. */
    public static final String FORMAT = "vorn-scan-log 1";
    /** How often scans are flushed unless the constructor says otherwise: every second. */
    public static final Duration DEFAULT_FLUSH_INTERVAL = Duration.ofSeconds(1);
    /** About this many bytes of raw codes per chunk: large enough for fast appends, small enough to lose little. */
    static final int CHUNK_BYTES = 64 * 1024;
    /** Chunks gathered in memory before they are written. */
    static final int CHUNKS_PER_WRITE = 4;
    /** Disk space held beside the file and given back when a write fails, for HDF5 to end the file cleanly. */
    static final int RESERVE_BYTES = 128 * 1024;

    /** What a flush guarantees. */
    public enum Durability {
        /** The data reaches the kernel: it survives the process being killed, not a power cut. */
        FLUSH,
        /** The data reaches the disk ({@code fsync}): it survives a power cut too. */
        FSYNC
    }

    /** The durability of a log made without naming one: {@link Durability#FLUSH}. */
    public static final Durability DEFAULT_DURABILITY = Durability.FLUSH;

    private final Path file;
    private final long flushIntervalNanos;
    private final boolean withVolts;
    private final Durability durability;

    private StreamInfo stream;
    /** The stream's positions, as an array for the conversion of every sample. */
    private ComediChannelRange[] conversions;
    private long fileId = -1;
    private AppendableDataset scans;
    private AppendableDataset volts;
    private AppendableDataset events;
    /** Open for {@link Durability#FSYNC} only: a descriptor of the file that the kernel syncs. */
    private FileChannel syncChannel;
    /** {@code .<name>.reserve} beside the file while it is being written; null once given back. */
    private Path reserve;
    private Object pending; // short[] or int[]
    private double[] pendingVolts;
    private int pendingScans;
    /** The first failed write: after it nothing is written, and every call raises it. */
    private ScanLogWriteException failure;
    private int capacityScans;
    private long scansReceived;
    private long scansFlushed;
    private long lastFlushNanos;
    private boolean closed;

    /**
     * A log of raw codes only, flushed every second.
     *
     * @param file the file to create (one of that name is replaced) when the task begins
     */
    public Hdf5ScanLog(Path file) {
        this(file, DEFAULT_FLUSH_INTERVAL, false);
    }

    /**
     * A log flushed at least every {@code flushInterval} while scans arrive; with {@code withVolts}
     * the volts are written too (8 bytes a sample more).
     *
     * @param file          the file to create (one of that name is replaced) when the task begins
     * @param flushInterval the longest time between two flushes while scans arrive, above 0
     * @param withVolts     whether {@code /volts} holds the converted values beside the raw codes
     * @throws IllegalArgumentException if the interval is not above 0
     * @throws NoClassDefFoundError when Debian's HDF5 binding or SLF4J is not on the class path
     * @throws UnsatisfiedLinkError when the binding's JNI library is not on java.library.path
     */
    public Hdf5ScanLog(Path file, Duration flushInterval, boolean withVolts) {
        this(file, flushInterval, withVolts, DEFAULT_DURABILITY);
    }

    /**
     * As {@link #Hdf5ScanLog(Path, Duration, boolean)}, with each flush as durable as {@code durability} says.
     *
     * @param file          the file to create (one of that name is replaced) when the task begins
     * @param flushInterval the longest time between two flushes while scans arrive, above 0
     * @param withVolts     whether {@code /volts} holds the converted values beside the raw codes
     * @param durability    what a flush makes survive: a killed process, or a power cut too
     * @throws IllegalArgumentException if the interval is not above 0
     */
    public Hdf5ScanLog(Path file, Duration flushInterval, boolean withVolts, Durability durability) {
        Hdf5Binding.check();
        this.file = Objects.requireNonNull(file, "file");
        if (flushInterval.isNegative() || flushInterval.isZero()) {
            throw new IllegalArgumentException("flush interval " + flushInterval + " is not positive");
        }
        this.flushIntervalNanos = flushInterval.toNanos();
        this.withVolts = withVolts;
        this.durability = Objects.requireNonNull(durability, "durability");
    }

    /**
     * The log's file.
     *
     * @return the path given to the constructor
     */
    public Path getFile() {
        return file;
    }

    /**
     * Scans that the last flush made durable: a reader finds at least these after any crash of
     * this process (with {@link Durability#FSYNC}, after a power cut too).
     *
     * @return the scans a reader finds at least after any crash of this process
     */
    public long getScansFlushed() {
        return scansFlushed;
    }

    /**
     * Scans written to the file so far; after a failed write, exactly those the file holds.
     *
     * @return the count of scans in the file
     */
    public long getScansWritten() {
        return failure != null ? failure.getScansInFile() : scans == null ? 0 : scansWritten();
    }

    /** Creates the file (replacing one of that name) with everything but the scans; fails with an IOException naming it. */
    @Override
    public void begin(StreamInfo info) throws IOException {
        if (stream != null || closed) {
            throw new IllegalStateException("log " + file + " was already begun");
        }
        stream = info;
        conversions = info.positions().toArray(new ComediChannelRange[0]);
        int positions = info.positionCount();
        int chunkScans = Math.max(1, CHUNK_BYTES / (positions * info.sampleBytes()));
        capacityScans = chunkScans * CHUNKS_PER_WRITE;
        boolean wide = info.sampleBytes() == 4;
        pending = wide ? new int[capacityScans * positions] : new short[capacityScans * positions];
        if (withVolts) {
            pendingVolts = new double[capacityScans * positions];
        }
        fileId = createFile(file);
        holdReserve();
        if (durability == Durability.FSYNC) {
            try {
                syncChannel = FileChannel.open(file, StandardOpenOption.READ);
                syncDirectory();
            } catch (IOException e) {
                throw new IOException("cannot sync the HDF5 file " + file + ": " + e.getMessage(), e);
            }
        }
        writeRootAttributes(info);
        scans = new AppendableDataset(fileId, "scans", wide ? H5T_STD_U32LE : H5T_STD_U16LE,
                wide ? H5T_NATIVE_UINT : H5T_NATIVE_USHORT, positions, chunkScans);
        writePositionAttributes(scans.id(), info.positions());
        if (withVolts) {
            volts = new AppendableDataset(fileId, "volts", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, positions,
                    Math.max(1, CHUNK_BYTES / (8 * positions)));
            Hdf5Objects.texts(volts.id(), "unit", info.positions().stream().map(c -> c.range().unit().symbol())
                    .toArray(String[]::new));
        }
        events = Hdf5Events.create(fileId);
        // From here on no object or attribute may be created: only datasets grow.
        H5.H5Fstart_swmr_write(fileId);
        lastFlushNanos = System.nanoTime();
    }

    /**
     * Creates the file under exactly its name. HDF5's Java binding passes names on in JNI's
     * modified UTF-8, which spells a character beyond U+FFFF as two 3-byte halves (and which is
     * not the file system's encoding under a locale other than UTF-8): a name that is not plain
     * ASCII would be created under other bytes than Java's. Such a file is created through an
     * ASCII alias, a symbolic link to it in a private temporary folder.
     */
    private static long create(Path file, long access) throws IOException {
        if (isAscii(file.toString())) {
            return H5.H5Fcreate(file.toString(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
        }
        Path aliases;
        try {
            aliases = Files.createTempDirectory("vorn-h5-");
        } catch (IOException e) {
            throw new IOException("cannot create the HDF5 file " + file + ": its name is not plain ASCII, and the"
                    + " temporary folder for the ASCII name HDF5 needs cannot be made: " + e.getMessage(), e);
        }
        Path alias = aliases.resolve("log.h5");
        try {
            if (!isAscii(alias.toString())) {
                throw new IOException("cannot create the HDF5 file " + file + ": its name is not plain ASCII, nor is"
                        + " the temporary folder " + aliases + " where HDF5 could be given an ASCII name for it");
            }
            Files.createSymbolicLink(alias, file.toAbsolutePath());
            return H5.H5Fcreate(alias.toString(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
        } finally {
            Files.deleteIfExists(alias);
            Files.deleteIfExists(aliases);
        }
    }

    /**
     * On a full disk the write that fails leaves HDF5 with metadata to write (the extent cut back
     * to the rows written, the chunk index), which needs disk space of its own: without it the
     * file's metadata reaches the disk in part, and its extent can cover rows never written. A
     * file of zeros beside it holds that space until a write fails, and is removed then.
     */
    private void holdReserve() throws IOException {
        Path held = file.resolveSibling("." + file.getFileName() + ".reserve");
        try {
            Files.write(held, new byte[RESERVE_BYTES]);
        } catch (IOException e) {
            Files.deleteIfExists(held);
            throw new IOException("cannot create the HDF5 file " + file + ": no room for the "
                    + RESERVE_BYTES / 1024 + " KiB that end it cleanly should the disk fill: " + e.getMessage(), e);
        }
        reserve = held;
    }

    /** Gives the reserve's space back; a failure to is kept with {@code first}. */
    private RuntimeException releaseReserve(RuntimeException first) {
        if (reserve == null) {
            return first;
        }
        Path held = reserve;
        reserve = null;
        try {
            Files.deleteIfExists(held);
            return first;
        } catch (IOException e) {
            java.io.UncheckedIOException failed = new java.io.UncheckedIOException(e);
            if (first == null) {
                return failed;
            }
            first.addSuppressed(failed);
            return first;
        }
    }

    private static boolean isAscii(String s) {
        return s.chars().allMatch(c -> c > 0 && c < 0x80);
    }

    /** The file's name in its folder must reach the disk too, or a power cut may lose the whole file. */
    private void syncDirectory() throws IOException {
        Path folder = file.toAbsolutePath().getParent();
        try (FileChannel d = FileChannel.open(folder, StandardOpenOption.READ)) {
            d.force(true);
        }
    }

    private void writeRootAttributes(StreamInfo info) {
        writeRootAttributes(fileId, info, FORMAT, flushIntervalNanos);
        Hdf5Objects.text(fileId, "durability", durability.name().toLowerCase(java.util.Locale.ROOT));
    }

    /**
     * Creates {@code file} (replacing one of that name, under exactly that name) in the format
     * single-writer mode needs, without a chunk cache.
     */
    static long createFile(Path file) throws IOException {
        long access = H5.H5Pcreate(H5P_FILE_ACCESS);
        try {
            // The newest file format: the one single-writer/multiple-reader mode needs.
            H5.H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
            // No chunk cache: a write reaches the file when it returns, and fails there if it
            // cannot (the datasets' own setting is not honoured by H5Dcreate in this HDF5).
            H5.H5Pset_cache(access, 0, 0, 0, 1.0);
            return create(file, access);
        } catch (HDF5Exception e) {
            throw new IOException("cannot create the HDF5 file " + file + ": " + e.getMessage(), e);
        } finally {
            H5.H5Pclose(access);
        }
    }

    static void writeRootAttributes(long fileId, StreamInfo info, String format, long flushIntervalNanos) {
        Hdf5Objects.text(fileId, "format", format);
        Hdf5Objects.text(fileId, "device", info.device());
        Hdf5Objects.text(fileId, "driver", info.driver());
        Hdf5Objects.text(fileId, "board", info.board());
        Hdf5Objects.integer(fileId, "subdevice", info.subdevice());
        Hdf5Objects.integer(fileId, "scan_period_ns", info.scanPeriodNanos());
        Hdf5Objects.integer(fileId, "convert_period_ns", info.convertPeriodNanos());
        Hdf5Objects.real(fileId, "scan_rate_hz", info.scanRateHz());
        Hdf5Objects.text(fileId, "start_time", DateTimeFormatter.ISO_INSTANT.format(info.startTime()));
        Hdf5Objects.integer(fileId, "start_time_ns", info.startEpochNanos());
        Hdf5Objects.integer(fileId, "scans_requested", info.scansRequested());
        Hdf5Objects.integer(fileId, "flush_interval_ms", flushIntervalNanos / 1_000_000);
        Hdf5Objects.text(fileId, "library_version", info.libraryVersion());
        int[] v = new int[3];
        H5.H5get_libversion(v);
        Hdf5Objects.text(fileId, "hdf5_version", v[0] + "." + v[1] + "." + v[2]);
    }

    static void writePositionAttributes(long dataset, List<ComediChannelRange> positions) {
        int n = positions.size();
        long[] channel = new long[n];
        long[] maxdata = new long[n];
        double[] min = new double[n];
        double[] max = new double[n];
        String[] reference = new String[n];
        String[] unit = new String[n];
        for (int i = 0; i < n; i++) {
            ComediChannelRange c = positions.get(i);
            channel[i] = c.channel();
            maxdata[i] = c.maxData();
            min[i] = c.range().min();
            max[i] = c.range().max();
            reference[i] = c.reference().nativeName();
            unit[i] = c.range().unit().symbol();
        }
        Hdf5Objects.integers(dataset, "channel", channel);
        Hdf5Objects.texts(dataset, "reference", reference);
        Hdf5Objects.reals(dataset, "range_min", min);
        Hdf5Objects.reals(dataset, "range_max", max);
        Hdf5Objects.texts(dataset, "unit", unit);
        Hdf5Objects.integers(dataset, "maxdata", maxdata);
        Hdf5Objects.text(dataset, "conversion", "volts = raw / maxdata * (range_max - range_min) + range_min");
        writeCalibrationAttributes(dataset, positions);
    }

    /** Each position's calibration state and polynomial (NaN where it converts linearly). */
    private static void writeCalibrationAttributes(long dataset, List<ComediChannelRange> positions) {
        int n = positions.size();
        String[] state = new String[n];
        double[] origin = new double[n];
        double[] coefficients = new double[4 * n];
        for (int i = 0; i < n; i++) {
            ComediChannelRange c = positions.get(i);
            state[i] = c.calibration().name();
            ComediPolynomial p = c.polynomial();
            origin[i] = p == null ? Double.NaN : p.expansionOrigin();
            double[] k = p == null ? new double[] {Double.NaN, Double.NaN, Double.NaN, Double.NaN} : p.coefficients();
            System.arraycopy(k, 0, coefficients, 4 * i, 4);
        }
        Hdf5Objects.texts(dataset, "calibration", state);
        Hdf5Objects.reals(dataset, "calibration_origin", origin);
        Hdf5Objects.reals(dataset, "calibration_coefficients", coefficients);
    }

    @Override
    public void record(ByteBuffer raw, long firstScan, int count) {
        requireOpen();
        if (firstScan != scansReceived) {
            throw new IllegalArgumentException("scans " + firstScan + ".. follow scan " + scansReceived
                    + ": a log holds every scan from the start, in order");
        }
        int positions = stream.positionCount();
        int bytes = stream.sampleBytes();
        if (count < 0 || (long) count * positions * bytes > raw.remaining()) {
            throw new IllegalArgumentException(count + " scans do not fit in the " + raw.remaining()
                    + " bytes given");
        }
        ByteBuffer in = raw.duplicate().order(ByteOrder.nativeOrder());
        int done = 0;
        while (done < count) {
            int take = Math.min(count - done, capacityScans - pendingScans);
            int at = pendingScans * positions;
            int values = take * positions;
            if (pending instanceof short[] s) {
                in.asShortBuffer().get(s, at, values);
            } else {
                in.asIntBuffer().get((int[]) pending, at, values);
            }
            in.position(in.position() + values * bytes);
            if (pendingVolts != null) {
                convert(at, values);
            }
            pendingScans += take;
            done += take;
            scansReceived += take;
            if (pendingScans == capacityScans) {
                writePending();
            }
        }
        if (System.nanoTime() - lastFlushNanos >= flushIntervalNanos) {
            flush();
        }
    }

    private void convert(int at, int values) {
        int positions = conversions.length;
        for (int i = at; i < at + values; i++) {
            long code = pending instanceof short[] s ? (s[i] & 0xFFFFL) : (((int[]) pending)[i] & 0xFFFFFFFFL);
            pendingVolts[i] = conversions[i % positions].toVolts(code);
        }
    }

    @Override
    public void event(String kind, long scanIndex, String detail) {
        requireOpen();
        writePending();
        try {
            appendEvent(kind, scanIndex, detail);
        } catch (RuntimeException e) {
            throw fail("cannot log the event " + kind + " to", e);
        }
        flush();
    }

    private void appendEvent(String kind, long scanIndex, String detail) {
        Instant now = Instant.now();
        Hdf5Events.append(events, kind, scanIndex, now.getEpochSecond() * 1_000_000_000L + now.getNano(), detail);
    }

    /**
     * A trigger is an event "trigger" at its scan, with that scan's start as its time (not the
     * time it was logged) and its position as the detail. Not flushed at once: triggers may come
     * at every few scans, and the scans they point at are flushed at the same pace.
     */
    @Override
    public void triggered(long scanIndex, long scanEpochNanos, int position) {
        requireOpen();
        try {
            Hdf5Events.append(events, "trigger", scanIndex, scanEpochNanos, "position " + position);
        } catch (RuntimeException e) {
            throw fail("cannot log the trigger to", e);
        }
    }

    /**
     * Writes what is gathered and makes everything written so far durable against a crash of this
     * process (and, with {@link Durability#FSYNC}, against a power cut).
     */
    public void flush() {
        requireOpen();
        writePending();
        try {
            H5.H5Fflush(fileId, H5F_SCOPE_GLOBAL);
            if (syncChannel != null) {
                syncChannel.force(true);
            }
        } catch (RuntimeException | IOException e) {
            throw fail("cannot flush", e);
        }
        scansFlushed = scans.rows();
        lastFlushNanos = System.nanoTime();
    }

    private void writePending() {
        if (pendingScans == 0) {
            return;
        }
        try {
            scans.append(pending, pendingScans);
            if (volts != null) {
                volts.append(pendingVolts, pendingScans);
            }
        } catch (RuntimeException e) {
            throw fail("cannot write scans " + scansWritten() + ".." + (scansReceived - 1) + " to", e);
        }
        pendingScans = 0;
    }

    private long scansWritten() {
        return volts == null ? scans.rows() : Math.min(scans.rows(), volts.rows());
    }

    /**
     * Ends the log on its first failed write. Every write goes to the file at once, so the rows
     * written before the failed one are there, and the failed one was taken back; what remains is
     * to make the datasets' extent reach the file with the failure's row in /events. If even that
     * flush fails, the datasets are cut back to the last flush that succeeded: the most the file
     * is sure to hold.
     */
    private ScanLogWriteException fail(String what, Exception e) {
        pendingScans = 0;
        RuntimeException released = releaseReserve(null);
        if (released != null) {
            e.addSuppressed(released);
        }
        long written = scansWritten();
        long kept = flushed(() -> truncateScans(written), e) ? written : Math.min(written, scansFlushed);
        if (kept < written) {
            flushed(() -> truncateScans(kept), e);
        }
        scansFlushed = Math.min(scansFlushed, kept);
        failure = new ScanLogWriteException(file, what, kept, e);
        long eventRows = events.rows();
        String detail = failure.getMessage();
        if (!flushed(() -> appendEvent("error", kept, detail), failure)) {
            flushed(() -> events.truncate(eventRows), failure);
        }
        return failure;
    }

    /** Makes {@code change}, then flushes; false, with the failure kept with {@code into}, if either failed. */
    private boolean flushed(Runnable change, Throwable into) {
        try {
            change.run();
            H5.H5Fflush(fileId, H5F_SCOPE_GLOBAL);
            return true;
        } catch (RuntimeException e) {
            into.addSuppressed(e);
            return false;
        }
    }

    /** Cuts /scans and /volts to their first {@code keep} rows (a /scans write whose /volts failed goes too). */
    private void truncateScans(long keep) {
        for (AppendableDataset d : new AppendableDataset[] {scans, volts}) {
            if (d != null) {
                d.truncate(keep);
            }
        }
    }

    private void requireOpen() {
        if (stream == null || closed) {
            throw new IllegalStateException("log " + file + (closed ? " is closed" : " was not begun"));
        }
        if (failure != null) {
            throw failure;
        }
    }

    /**
     * Writes what is pending and closes the file; a clean close clears its being-written mark.
     * Idempotent. After a failed write it only closes: the failure was raised already.
     */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        RuntimeException failed = null;
        // A begin that failed half way has nothing to flush, and perhaps not the datasets to.
        if (fileId >= 0 && failure == null && lastFlushNanos != 0) {
            try {
                flush();
            } catch (RuntimeException e) {
                failed = e;
            }
        }
        closed = true;
        failed = releaseReserve(failed);
        if (syncChannel != null) {
            try {
                syncChannel.close();
            } catch (IOException e) {
                if (failed == null) {
                    failed = new java.io.UncheckedIOException(e);
                } else {
                    failed.addSuppressed(e);
                }
            }
        }
        failed = AppendableDataset.closeWithFile(failed, fileId, scans, volts, events);
        fileId = -1;
        if (failed != null) {
            throw failed;
        }
    }
}
