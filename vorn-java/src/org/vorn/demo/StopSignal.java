// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * ^C or a kill while the demo runs: the acquisition loop sees {@link #requested()} at its next
 * poll and ends, and the JVM's shutdown waits until the demo has written what arrived.
 */
final class StopSignal {
    private volatile boolean requested;
    private volatile boolean shuttingDown;
    private final CountDownLatch finished = new CountDownLatch(1);
    private final Thread hook = new Thread(this::onShutdown, "demo-shutdown");

    void install() {
        Runtime.getRuntime().addShutdownHook(hook);
    }

    /** Once the demo is done and the JVM is not already on its way out. */
    void uninstall() {
        Runtime.getRuntime().removeShutdownHook(hook);
    }

    /** Asks the acquisition to end at its next poll. */
    void request() {
        requested = true;
    }

    boolean requested() {
        return requested;
    }

    /**
     * The JVM is shutting down (the hook waits for {@link #finished()}): System.exit would block
     * for good now, and nothing that needs the devices for long should start.
     */
    boolean shuttingDown() {
        return shuttingDown;
    }

    /** Everything is written: a waiting shutdown may go on. */
    void finished() {
        finished.countDown();
    }

    private void onShutdown() {
        shuttingDown = true;
        requested = true;
        try {
            finished.await(120, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
