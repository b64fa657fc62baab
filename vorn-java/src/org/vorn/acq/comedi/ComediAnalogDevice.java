package org.vorn.acq.comedi;

import java.nio.ByteBuffer;

/** The channel configuration that the three analog devices share: scan or write position, hardware channel, range, reference. */
abstract class ComediAnalogDevice extends ComediDevice {
    ComediAnalogDevice(String device) {
        super(device);
    }

    /**
     * Makes position {@code index} (0 to 255) use hardware channel {@code channel}, in the smallest
     * voltage range that covers [{@code minVolts}, {@code maxVolts}].
     */
    public final void configureChannel(int index, int channel, double minVolts, double maxVolts,
            AnalogReference reference) {
        configureChannel(index, channel, minVolts, maxVolts, reference.nativeName());
    }

    /** As above, with the reference by name: "ground", "common", "diff" or "other" (anything else means "diff"). */
    public final void configureChannel(int index, int channel, double minVolts, double maxVolts, String reference) {
        short hardware = hardwareChannel(channel);
        lock();
        try {
            nCreateChannels(handle(), index, hardware, minVolts, maxVolts, reference);
        } finally {
            unlock();
        }
    }

    abstract void nCreateChannels(ByteBuffer handle, int i, short chan, double min, double max, String aref);
}
