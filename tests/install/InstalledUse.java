// SPDX-License-Identifier: LGPL-2.1-or-later
import org.vorn.acq.comedi.AnalogReference;
import org.vorn.acq.comedi.ComediAnalogSWOutDevice;
import org.vorn.acq.comedi.ComediAnalogSamplingDevice;
import org.vorn.exception.ComediException;

/**
 * A user's program, compiled against the installed vorn.jar only: reads AI1 (+1 V DC on the
 * emulated board), sets AO0 and reads it back on AI14, and prints what the jar says about itself.
 */
public class InstalledUse {
    public static void main(String[] args) throws ComediException {
        String device = args[0];
        Package api = AnalogReference.class.getPackage();
        System.out.printf("version %s, sealed %b%n", api.getImplementationVersion(), api.isSealed());
        try (var ai = new ComediAnalogSamplingDevice(device, 2);
             var ao = new ComediAnalogSWOutDevice(device, 1)) {
            ai.configureChannel(0, 1, -5, 5, AnalogReference.GROUND);
            ai.configureChannel(1, 14, -10, 10, AnalogReference.GROUND);
            ao.configureChannel(0, 0, -10, 10, AnalogReference.GROUND);
            ao.write(2.5);
            double[] volts = ai.scan();
            System.out.printf("AI1 %.3f V, AI14 %.3f V%n", volts[0], volts[1]);
            ao.write(0);
        }
    }
}
