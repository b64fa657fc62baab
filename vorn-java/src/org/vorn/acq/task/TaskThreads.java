// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.acq.task;

import java.time.Duration;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/** The waits the tasks share: for their threads and for their ends. */
final class TaskThreads {
    private TaskThreads() {
    }

    /**
     * Waits until {@code t} has ended, unless it is the calling thread (a task closed from its own
     * listener). An interrupt does not end the wait: a closed task's thread must be gone when
     * close() returns; the interrupt status is set again afterwards.
     */
    static void joinUnlessCurrent(Thread t) {
        if (t == null || t == Thread.currentThread()) {
            return;
        }
        boolean interrupted = false;
        while (true) {
            try {
                t.join();
                break;
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }

    /** Waits until {@code latch} opens; an interrupt meanwhile is kept as the thread's status. */
    static void awaitUninterruptibly(CountDownLatch latch) {
        boolean interrupted = false;
        while (true) {
            try {
                latch.await();
                break;
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }

    /**
     * Waits for {@code ended} at most {@code timeout} (one beyond what nanoseconds count, such as
     * {@code ChronoUnit.FOREVER.getDuration()}, without limit); true once it opened.
     */
    static boolean await(CountDownLatch ended, Duration timeout) throws InterruptedException {
        long nanos;
        try {
            nanos = timeout.toNanos();
        } catch (ArithmeticException beyondNanos) {
            nanos = Long.MAX_VALUE; // longer than 292 years, ChronoUnit.FOREVER among them: no limit
        }
        return ended.await(nanos, TimeUnit.NANOSECONDS);
    }
}
