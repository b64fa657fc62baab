// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.emu;

/**
 * Test-only control of the emulated Comedi boards (libvornemu.so).
 *
 * <p>The JVM must run with libvornemu.so in {@code LD_PRELOAD} (so comedilib's device calls reach
 * the emulation) and its directory on {@code java.library.path}; loading the library here then
 * binds to that same, already preloaded instance, so these methods steer the boards that
 * comedilib sees. Every method mirrors a function of {@code emuboard.h}.
 */
public final class EmulatedBoard {
    static {
        System.loadLibrary("vornemu");
    }

    private EmulatedBoard() {}

    public static final String MULTI = "/dev/comedi-emu/multi";
    public static final String AI18 = "/dev/comedi-emu/ai18";
    public static final String NOCMD = "/dev/comedi-emu/nocmd";
    public static final String DO_ONLY = "/dev/comedi-emu/do-only";
    public static final String DIO64 = "/dev/comedi-emu/dio64";
    public static final String DI16 = "/dev/comedi-emu/di16";
    public static final String COMEDI_TEST = "/dev/comedi-emu/comedi_test";
    public static final String RIG = "/dev/comedi-emu/rig";
    /** multi with converters that need software calibration (README "softcal"). */
    public static final String SOFTCAL = "/dev/comedi-emu/softcal";

    public static final int CLOCK_REALTIME = 0;
    public static final int CLOCK_MANUAL = 1;
    public static final int CLOCK_INSTANT = 2;

    public static final int OP_OPEN = 0;
    public static final int OP_DEVINFO = 1;
    public static final int OP_SUBDINFO = 2;
    public static final int OP_CHANINFO = 3;
    public static final int OP_RANGEINFO = 4;
    public static final int OP_INSN = 5;
    public static final int OP_INSNLIST = 6;
    public static final int OP_CMDTEST = 7;
    public static final int OP_CMD = 8;
    public static final int OP_CANCEL = 9;
    public static final int OP_POLL = 10;
    public static final int OP_BUFINFO = 11;
    public static final int OP_READ = 12;

    // Indices into the array returned by currentCmd().
    public static final int CMD_SUBDEV = 0, CMD_FLAGS = 1, CMD_START_SRC = 2, CMD_START_ARG = 3,
            CMD_SCAN_BEGIN_SRC = 4, CMD_SCAN_BEGIN_ARG = 5, CMD_CONVERT_SRC = 6, CMD_CONVERT_ARG = 7,
            CMD_SCAN_END_SRC = 8, CMD_SCAN_END_ARG = 9, CMD_STOP_SRC = 10, CMD_STOP_ARG = 11,
            CMD_CHANLIST_LEN = 12, CMD_TRIGGERED = 13, CMD_RUNNING = 14, CMD_OVERFLOW = 15,
            CMD_START_NS = 16, CMD_SAMPLES_WRITTEN = 17, CMD_BYTES_READ = 18;

    public static native void reset();
    public static native int setClock(int mode);
    public static native int getClock();
    public static native long nowNs();
    public static native int advanceNs(long ns);
    public static native int advanceScans(String path, long scans);
    public static native int setBufferSize(int bytes);

    public static native int failNext(int op, int errno);
    /** The nth call of {@code op} from now (1 = the next) fails with {@code errno}; the calls before it succeed. */
    public static native int failNth(int op, int nth, int errno);
    public static native int failAlways(int op, int errno);
    public static native int failInsnlistAfter(int k, int errno);
    public static native int shortReadNext(long maxBytes);
    public static native int forceCmdtestStage(int nth, int stage);
    public static native int overrunNow(String path);
    public static native void clearFaults();
    public static native int opFromName(String name);

    /** Same as {@link #failNext(int, int)} with the operation named, e.g. "CMD" or "READ". */
    public static int failNext(String op, int errno) {
        return failNext(requireOp(op), errno);
    }

    public static int failAlways(String op, int errno) {
        return failAlways(requireOp(op), errno);
    }

    private static int requireOp(String op) {
        int n = opFromName(op);
        if (n < 0) throw new IllegalArgumentException("unknown operation " + op);
        return n;
    }

    public static native int openCount();
    public static native int subdeviceBusy(String path, int subdev);
    public static native int subdeviceRunning(String path, int subdev);
    public static native long outputRaw(String path, int subdev, int chan);
    public static native long aoRaw(String path, int chan);
    public static native int dioDirection(String path, int chan);
    public static native int dioLevel(String path, int chan);
    public static native int dioSetInput(String path, int chan, int level);
    /** The line takes that level when the emulated clock reaches tNs (a trigger edge, a scan clock edge). */
    public static native int dioSetInputAt(String path, int chan, int level, long tNs);
    /** Scans the DAC took from the subdevice's output command (running or last), or -1. */
    public static native long outputScans(String path, int subdev);
    /** The running output command runs dry now (underrun), or -1 if none runs. */
    public static native int underrunNow(String path);
    public static native long insnCount(String path);
    public static native long cmdCount(String path);
    /**
     * Resets the meter of the board's own sample making (computing input samples and writing them
     * into the buffer, a real board's hardware work) and switches it on or off (off by default).
     */
    public static native void meterMaking(boolean on);
    /** CPU time this process's threads spent making input samples since {@link #meterMaking}. */
    public static native long makingCpuNs();
    /** Bytes of input samples made since {@link #meterMaking}. */
    public static native long makingBytes();
    /** The command the subdevice owns (see the CMD_* indices), or null if it owns none. */
    public static native long[] currentCmd(String path, int subdev);
    public static native long expectedRaw(String path, int chan, int range, long tNs, long sampleIndex);
    /** Emulated conversion time of a sample of the subdevice's command, or -1. */
    public static native long sampleTimeNs(String path, int subdev, long sampleIndex);
}
