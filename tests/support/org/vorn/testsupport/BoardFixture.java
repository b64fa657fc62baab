// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.extension.AfterEachCallback;
import org.junit.jupiter.api.extension.BeforeEachCallback;
import org.junit.jupiter.api.extension.ExtensionContext;
import org.vorn.emu.EmulatedBoard;

/**
 * Every test on a freshly reset emulated board, and no device file left open by it:
 * {@code @RegisterExtension final BoardFixture fixture = new BoardFixture();} (or with a clock mode).
 * After the test its faults are cleared, the open count must be what it was before, and the board
 * is reset again.
 */
public final class BoardFixture implements BeforeEachCallback, AfterEachCallback {
    /** No clock mode set: the board's default after a reset. */
    public static final int DEFAULT_CLOCK = -1;

    private final int clock;
    private int openBefore;

    public BoardFixture() {
        this(DEFAULT_CLOCK);
    }

    public BoardFixture(int clock) {
        this.clock = clock;
    }

    /** The board's open device files when the test began. */
    public int openBefore() {
        return openBefore;
    }

    @Override
    public void beforeEach(ExtensionContext context) {
        EmulatedBoard.reset();
        if (clock != DEFAULT_CLOCK) {
            EmulatedBoard.setClock(clock);
        }
        openBefore = EmulatedBoard.openCount();
    }

    @Override
    public void afterEach(ExtensionContext context) {
        EmulatedBoard.clearFaults();
        assertEquals(openBefore, EmulatedBoard.openCount(), "devices left open by the test");
        EmulatedBoard.reset();
    }
}
