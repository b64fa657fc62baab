package org.vorn.acq.comedi;

/**
 * What {@code configureChannel} chose for a scan or write position: the hardware channel, the index
 * and the ends of the range comedilib picked (the smallest that covers the request), the maximum raw
 * value, and the reference. Values read on that position never leave [{@code range.min()},
 * {@code range.max()}]: a signal beyond the range reads as its end.
 */
public record ComediChannelRange(int channel, int rangeIndex, ComediRange range, long maxData,
        AnalogReference reference) {
    /** The volts (or units) one raw step stands for. */
    public double resolution() {
        return (range.max() - range.min()) / maxData;
    }
}
