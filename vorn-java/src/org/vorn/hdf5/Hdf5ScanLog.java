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
import java.nio.file.Path;
import java.time.Duration;
import java.time.Instant;
import java.time.format.DateTimeFormatter;
import java.util.List;
import java.util.Objects;

import hdf.hdf5lib.H5;
import hdf.hdf5lib.exceptions.HDF5Exception;

import org.vorn.acq.comedi.ComediChannelRange;
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
 * library delivers; {@code /volts} (optional) holds those doubles; {@code /events} holds what
 * happened to the stream (stopped, completed, overrun, error) with the scan index where it
 * happened. The root's attributes name the device, driver and board, the accepted scan and
 * convert periods, the start time (ISO 8601 and ns since the epoch; scan {@code k} began at
 * {@code start_time_ns + k * scan_period_ns}), and the library and HDF5 versions.
 *
 * <p>Crash safety: the file is written in HDF5's single-writer/multiple-reader mode, whose
 * ordered metadata writes keep the file consistent at every instant. Scans are written at least
 * every flush interval (and every event at once), then flushed; a process killed at any moment
 * leaves a file that opens with every scan flushed before the kill. Readers open it with
 * {@code swmr=True} (the file stays marked as being written until it is closed cleanly).
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

    private final Path file;
    private final long flushIntervalNanos;
    private final boolean withVolts;

    private StreamInfo stream;
    /** The stream's positions, as an array for the conversion of every sample. */
    private ComediChannelRange[] conversions;
    private long fileId = -1;
    private AppendableDataset scans;
    private AppendableDataset volts;
    private AppendableDataset events;
    private Object pending; // short[] or int[]
    private double[] pendingVolts;
    private int pendingScans;
    /** The pending scans are in /scans already, their volts not yet (the volts write failed). */
    private boolean pendingInScans;
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
     */
    public Hdf5ScanLog(Path file, Duration flushInterval, boolean withVolts) {
        this.file = Objects.requireNonNull(file, "file");
        if (flushInterval.isNegative() || flushInterval.isZero()) {
            throw new IllegalArgumentException("flush interval " + flushInterval + " is not positive");
        }
        this.flushIntervalNanos = flushInterval.toNanos();
        this.withVolts = withVolts;
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
     * Scans that the last flush made durable.
     *
     * @return the scans a reader finds at least after any crash of this process
     */
    public long getScansFlushed() {
        return scansFlushed;
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
        long access = H5.H5Pcreate(H5P_FILE_ACCESS);
        try {
            // The newest file format: the one single-writer/multiple-reader mode needs.
            H5.H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
            fileId = H5.H5Fcreate(file.toString(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
        } catch (HDF5Exception e) {
            throw new IOException("cannot create the HDF5 file " + file + ": " + e.getMessage(), e);
        } finally {
            H5.H5Pclose(access);
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

    private void writeRootAttributes(StreamInfo info) {
        Hdf5Objects.text(fileId, "format", FORMAT);
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

    private static void writePositionAttributes(long dataset, List<ComediChannelRange> positions) {
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
        Instant now = Instant.now();
        Hdf5Events.append(events, kind, scanIndex, now.getEpochSecond() * 1_000_000_000L + now.getNano(), detail);
        flush();
    }

    /** Writes what is gathered and makes everything written so far durable against a crash of this process. */
    public void flush() {
        requireOpen();
        writePending();
        H5.H5Fflush(fileId, H5F_SCOPE_GLOBAL);
        scansFlushed = scans.rows();
        lastFlushNanos = System.nanoTime();
    }

    private void writePending() {
        if (pendingScans == 0) {
            return;
        }
        // A later call (the close after a failure) writes again what is pending: never the same
        // scans twice into /scans because their volts failed.
        if (!pendingInScans) {
            scans.append(pending, pendingScans);
            pendingInScans = true;
        }
        if (volts != null) {
            volts.append(pendingVolts, pendingScans);
        }
        pendingScans = 0;
        pendingInScans = false;
    }

    private void requireOpen() {
        if (stream == null || closed) {
            throw new IllegalStateException("log " + file + (closed ? " is closed" : " was not begun"));
        }
    }

    /** Writes what is pending and closes the file; a clean close clears its being-written mark. Idempotent. */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        closed = true;
        RuntimeException failed = null;
        if (fileId >= 0) {
            try {
                writePending();
                H5.H5Fflush(fileId, H5F_SCOPE_GLOBAL);
            } catch (RuntimeException e) {
                failed = e;
            }
        }
        for (AppendableDataset d : new AppendableDataset[] {scans, volts, events}) {
            if (d != null) {
                failed = d.close(failed);
            }
        }
        failed = Hdf5Objects.close(failed, fileId, H5::H5Fclose);
        fileId = -1;
        if (failed != null) {
            throw failed;
        }
    }
}
