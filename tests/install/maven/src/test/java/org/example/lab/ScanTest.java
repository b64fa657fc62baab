// SPDX-License-Identifier: LGPL-2.1-or-later
package org.example.lab;

import static org.junit.Assert.assertEquals;

import org.junit.Test;
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogSamplingDevice;
import org.vorn.exception.ComediException;

/** One scan of the emulated board (preloaded by the caller), with the classes Maven resolved. */
public class ScanTest {
    @Test
    public void scansTheEmulatedBoard() throws ComediException {
        assertEquals(System.getProperty("vorn.version"),
                AnalogReference.class.getPackage().getImplementationVersion());
        try (var ai = new ComediAnalogSamplingDevice("/dev/comedi-emu/multi", 1)) {
            // AI1 of the emulated board holds +1 V.
            ai.configureChannel(0, 1, -5, 5, AnalogReference.GROUND);
            assertEquals(1.0, ai.scan()[0], 0.005);
        }
    }
}
