// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.emu;

import java.io.FileInputStream;
import java.io.IOException;

/**
 * Run under LD_PRELOAD=libvornemu.so: opening a board path from Java goes through the
 * interposer, and EmulatedBoard (loaded with System.loadLibrary) must see that open.
 */
public final class EmulatedBoardSmoke {
    private static int failures = 0;

    private static void check(boolean ok, String what) {
        if (!ok) {
            failures++;
            System.err.println("FAILED: " + what);
        }
    }

    public static void main(String[] args) throws IOException {
        EmulatedBoard.reset();
        check(EmulatedBoard.openCount() == 0, "no device open after reset");
        try (FileInputStream in = new FileInputStream(EmulatedBoard.MULTI)) {
            check(EmulatedBoard.openCount() == 1, "open seen by the control class, got " + EmulatedBoard.openCount());
            // No command owns the file, so the core refuses the read (EINVAL).
            boolean refused = false;
            try {
                in.read(new byte[4]);
            } catch (IOException e) {
                refused = true;
            }
            check(refused, "read without a command fails");
        }
        check(EmulatedBoard.openCount() == 0, "close seen by the control class");

        check(EmulatedBoard.setClock(EmulatedBoard.CLOCK_MANUAL) == 0, "manual clock");
        check(EmulatedBoard.advanceNs(25_000_000L) == 0, "advance");
        check(EmulatedBoard.nowNs() == 25_000_000L, "clock reads back");
        long raw = EmulatedBoard.expectedRaw(EmulatedBoard.MULTI, 1, 0, 0, 0);
        check(raw == 36044, "DC +1 V on +-10 V is code 36044, got " + raw);
        check(EmulatedBoard.aoRaw(EmulatedBoard.MULTI, 0) == 32768, "AO at 0 V after power-on");
        check(EmulatedBoard.dioDirection(EmulatedBoard.MULTI, 3) == 0, "DIO inputs at power-on");
        check(EmulatedBoard.failNext("READ", 5) == 0, "fault by name");
        check(EmulatedBoard.currentCmd(EmulatedBoard.MULTI, 0) == null, "no command");
        // A trigger line driven at an emulated instant, and the output counters of the rig.
        check(EmulatedBoard.dioSetInputAt(EmulatedBoard.RIG, 0, 1, 26_000_000L) == 0, "line change scheduled");
        check(EmulatedBoard.dioLevel(EmulatedBoard.RIG, 0) == 0, "line still low before its instant");
        EmulatedBoard.advanceNs(1_000_000L);
        check(EmulatedBoard.dioLevel(EmulatedBoard.RIG, 0) == 1, "line high at its instant");
        check(EmulatedBoard.outputScans(EmulatedBoard.RIG, 1) == 0, "no output scans yet");
        check(EmulatedBoard.outputScans(EmulatedBoard.RIG, 0) == -1, "an input has no output scans");
        check(EmulatedBoard.underrunNow(EmulatedBoard.RIG) == -1, "no output command to underrun");
        EmulatedBoard.reset();
        check(EmulatedBoard.getClock() == EmulatedBoard.CLOCK_REALTIME, "reset restores realtime");

        if (failures == 0) {
            System.out.println("EmulatedBoard smoke: 17 checks passed");
        }
        System.exit(failures == 0 ? 0 : 1);
    }
}
