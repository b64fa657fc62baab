// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.util;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.math.BigInteger;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicLong;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Wall-clock time and the CPU affinity of the calling thread, checked against the JVM's own clock
 * and the kernel's view of the thread in /proc. No CPU count is assumed: masks are derived from
 * the CPUs this thread may use when the test starts.
 */
class OsUtilTest {
    private long original;

    @BeforeEach
    void rememberAffinity() {
        original = OsUtil.getAffinity();
    }

    @AfterEach
    void restoreAffinity() {
        OsUtil.setAffinity(original);
        assertEquals(original, OsUtil.getAffinity());
    }

    /** The thread's allowed CPUs as the kernel lists them ("Cpus_allowed", 32-bit groups). */
    private static long procAffinity() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/thread-self/status"))) {
            if (line.startsWith("Cpus_allowed:")) {
                String hex = line.substring("Cpus_allowed:".length()).trim().replace(",", "");
                return new BigInteger(hex, 16).longValue();
            }
        }
        throw new IllegalStateException("no Cpus_allowed line in /proc/thread-self/status");
    }

    @Test
    void timeOfDayIsTheWallClockInMicroseconds() {
        long before = System.currentTimeMillis();
        long micros = OsUtil.getTimeOfDay();
        long after = System.currentTimeMillis();
        assertTrue(micros >= before * 1000 && micros < (after + 1) * 1000,
                micros + " µs is not between " + before + " ms and " + after + " ms");
    }

    @Test
    void timeOfDayHasMicrosecondResolution() {
        // A clock read in milliseconds only would give whole thousands every time.
        boolean finer = false;
        for (int i = 0; i < 1000 && !finer; i++) {
            finer = OsUtil.getTimeOfDay() % 1000 != 0;
        }
        assertTrue(finer);
    }

    @Test
    void affinityIsThatOfTheCallingThread() throws IOException {
        assertNotEquals(0, original);
        assertEquals(original, procAffinity() & original);
    }

    @Test
    void setAffinityNarrowsTheCallingThreadOnly() throws Exception {
        // The lowest allowed CPU alone; with a single CPU that is the whole set again.
        long narrowed = Long.lowestOneBit(original);

        // Started before the change: threads created afterwards would inherit the narrowed set.
        AtomicLong otherThreadMask = new AtomicLong();
        CountDownLatch changed = new CountDownLatch(1);
        Thread other = new Thread(() -> {
            try {
                changed.await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            otherThreadMask.set(OsUtil.getAffinity());
        });
        other.start();
        try {
            OsUtil.setAffinity(narrowed);
            assertEquals(narrowed, OsUtil.getAffinity());
            assertEquals(narrowed, procAffinity());
        } finally {
            changed.countDown();
            other.join();
        }
        assertEquals(original, otherThreadMask.get());
    }

    @Test
    void setAffinityWidensAgain() {
        assumeTrue(Long.bitCount(original) >= 2, "only one CPU allowed: nothing to narrow and widen");
        OsUtil.setAffinity(Long.highestOneBit(original));
        assertEquals(Long.highestOneBit(original), OsUtil.getAffinity());
        OsUtil.setAffinity(original);
        assertEquals(original, OsUtil.getAffinity());
    }

    @Test
    void allOnesKeepsEveryAllowedCpu() {
        OsUtil.setAffinity(-1L);
        assertEquals(original, OsUtil.getAffinity() & original);
    }

    @Test
    void zeroMaskRaisesWithTheSystemTextAndChangesNothing() throws IOException {
        long narrowed = Long.lowestOneBit(original);
        OsUtil.setAffinity(narrowed);

        IllegalStateException e = assertThrows(IllegalStateException.class, () -> OsUtil.setAffinity(0));
        assertEquals("Error setting CPU affinity to 0000000000000000: Invalid argument", e.getMessage());
        assertEquals(narrowed, OsUtil.getAffinity());
        assertEquals(narrowed, procAffinity());
    }

    @Test
    void maskOfCpusThatDoNotExistRaises() {
        assumeFalse(Files.exists(Path.of("/sys/devices/system/cpu/cpu63")), "CPU 63 exists here");
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> OsUtil.setAffinity(Long.MIN_VALUE));
        assertEquals("Error setting CPU affinity to 8000000000000000: Invalid argument", e.getMessage());
        assertEquals(original, OsUtil.getAffinity());
    }
}
