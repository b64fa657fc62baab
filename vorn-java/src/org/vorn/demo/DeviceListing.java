// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.PrintStream;
import java.util.List;
import java.util.Locale;
import java.util.StringJoiner;

import org.vorn.acq.comedi.ComediCommandSources;
import org.vorn.acq.comedi.ComediDeviceInfo;
import org.vorn.acq.comedi.ComediRange;
import org.vorn.acq.comedi.ComediSubdeviceInfo;
import org.vorn.acq.comedi.ComediSubdeviceType;
import org.vorn.acq.comedi.ComediTimedCommand;

/** {@code --list}: what the device offers, subdevice by subdevice, from {@link ComediDeviceInfo}. */
final class DeviceListing {
    /** The {@code SDF_*} flags a user reads something into, lowest bit first. */
    private static final int[] FLAG_BITS = {0x1, 0x2, 0x4, 0x8, 0x1000, 0x2000, 0x4000, 0x8000, 0x10000, 0x20000,
        0x40000, 0x100000, 0x200000, 0x400000, 0x800000, 0x08000000, 0x10000000, 0x20000000};
    private static final String[] FLAG_WORDS = {"busy", "busy_owner", "locked", "lock_owner", "cmd",
        "soft_calibrated", "cmd_write", "cmd_read", "readable", "writable", "internal", "ground", "common", "diff",
        "other", "running", "lsampl", "packed"};

    private DeviceListing() {
    }

    static void print(ComediDeviceInfo info, PrintStream out) {
        int n = info.subdevices().size();
        out.printf(Locale.ROOT, "%s: driver %s, board %s, Comedi %s, %d subdevice%s%n", info.device(),
                info.driverName(), info.boardName(), info.version(), n, n == 1 ? "" : "s");
        for (ComediSubdeviceInfo s : info.subdevices()) {
            out.println();
            print(s, out);
            if (s.needsCalibration()) {
                out.println("  calibration: in software, " + (info.calibrationFile() == null
                        ? "no calibration file named for the device"
                        : "file " + info.calibrationFile() + (info.calibrationFileFound() ? " (found)"
                                : " (not found: its values convert linearly, uncalibrated)")));
            }
        }
    }

    private static void print(ComediSubdeviceInfo s, PrintStream out) {
        out.printf(Locale.ROOT, "subdevice %d: %s%n", s.index(), s.type().label());
        if (s.type() == ComediSubdeviceType.UNUSED) {
            return;
        }
        out.printf(Locale.ROOT, "  flags:     0x%08x %s%n", s.flags(), flagWords(s.flags()));
        out.printf(Locale.ROOT, "  channels:  %d%s%n", s.channelCount(),
                s.channelCount() > 1 ? " (0-" + (s.channelCount() - 1) + ")" : "");
        if (s.channelCount() == 0) {
            return;
        }
        if (s.maxDataPerChannel()) {
            out.println("  max raw:   per channel");
            for (int c = 0; c < s.channelCount(); c++) {
                out.printf(Locale.ROOT, "    channel %d: %d%n", c, s.maxDataOf(c));
            }
        } else {
            out.printf(Locale.ROOT, "  max raw:   %d%n", s.maxDataOf(0));
        }
        if (s.rangesPerChannel()) {
            out.println("  ranges:    per channel");
            for (int c = 0; c < s.channelCount(); c++) {
                out.printf(Locale.ROOT, "    channel %d: %s%n", c, ranges(s.rangesOf(c)));
            }
        } else {
            out.printf(Locale.ROOT, "  ranges:    %s%n", ranges(s.rangesOf(0)));
        }
        if (!s.takesCommands()) {
            out.println("  commands:  none");
            return;
        }
        ComediCommandSources c = s.commandSources();
        out.printf(Locale.ROOT, "  commands:  start %s, scan_begin %s, convert %s, scan_end %s, stop %s%n",
                names(c.start()), names(c.scanBegin()), names(c.convert()), names(c.scanEnd()), names(c.stop()));
        ComediTimedCommand t = s.fastestScan();
        if (t == null) {
            out.println("  fastest:   no timed command");
            return;
        }
        long period = t.scanPeriodNanos();
        out.printf(Locale.ROOT, "  fastest:   %s (1 channel: start %s %d, scan_begin %s %d, convert %s %d, "
                + "scan_end %s %d, stop %s %d)%n",
                period > 0 ? "a scan every " + period + " ns, " + Numbers.plain(1e9 / period) + " scans/s"
                        : "untimed",
                names(t.startSource()), t.startArg(), names(t.scanBeginSource()), t.scanBeginArg(),
                names(t.convertSource()), t.convertArg(), names(t.scanEndSource()), t.scanEndArg(),
                names(t.stopSource()), t.stopArg());
    }

    /** Every range with its index, as configureChannel's range search sees them: "0 [-10, 10] V, 1 [-5, 5] V". */
    static String ranges(List<ComediRange> ranges) {
        StringJoiner all = new StringJoiner(", ");
        for (int r = 0; r < ranges.size(); r++) {
            all.add(r + " " + range(ranges.get(r)));
        }
        return all.toString();
    }

    /** One range in ASCII, e.g. "[-10, 10] V", "[0, 20] mA" or "[0, 1] x external". */
    static String range(ComediRange r) {
        String span = "[" + Numbers.plain(r.min()) + ", " + Numbers.plain(r.max()) + "]";
        String unit = r.unit().symbol();
        if (r.external()) {
            return span + " x external" + (unit.isEmpty() ? "" : " " + unit);
        }
        return unit.isEmpty() ? span : span + " " + unit;
    }

    private static String names(int sources) {
        return ComediCommandSources.names(sources);
    }

    private static String flagWords(int flags) {
        StringJoiner words = new StringJoiner("|", "(", ")");
        for (int i = 0; i < FLAG_BITS.length; i++) {
            if ((flags & FLAG_BITS[i]) != 0) {
                words.add(FLAG_WORDS[i]);
            }
        }
        return words.length() > 2 ? words.toString() : "";
    }
}
