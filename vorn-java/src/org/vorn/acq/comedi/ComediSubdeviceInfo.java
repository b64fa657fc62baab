package org.vorn.acq.comedi;

import java.util.List;

/**
 * One subdevice of a {@link ComediDeviceInfo}.
 *
 * @param index            the subdevice number
 * @param typeCode         comedilib's type code; {@link #type()} names it
 * @param flags            the {@code SDF_*} flags at the time of the description (busy and running included)
 * @param channelCount     channels (lines of a digital subdevice); 0 for an unused one
 * @param maxDataPerChannel whether each channel has its own maximum raw value
 * @param maxData          the maximum raw value, one per channel if {@code maxDataPerChannel}, otherwise one
 *                         for all (empty without channels)
 * @param rangesPerChannel whether each channel has its own ranges
 * @param ranges           the ranges in comedilib's order (range index = list index), one list per channel if
 *                         {@code rangesPerChannel}, otherwise one for all (empty without channels)
 * @param commandSources   the sources its commands accept, or null if it takes no commands
 * @param fastestScan      the fastest timed one-channel command comedilib finds, or null if none
 */
public record ComediSubdeviceInfo(int index, int typeCode, int flags, int channelCount, boolean maxDataPerChannel,
        List<Long> maxData, boolean rangesPerChannel, List<List<ComediRange>> ranges,
        ComediCommandSources commandSources, ComediTimedCommand fastestScan) {

    public ComediSubdeviceInfo {
        maxData = List.copyOf(maxData);
        ranges = ranges.stream().map(List::copyOf).toList();
    }

    public ComediSubdeviceType type() {
        return ComediSubdeviceType.of(typeCode);
    }

    public boolean takesCommands() {
        return commandSources != null;
    }

    /** The maximum raw value of channel {@code channel}. */
    public long maxDataOf(int channel) {
        return maxData.get(perChannelIndex(channel, maxDataPerChannel));
    }

    /** The ranges of channel {@code channel}, range index = list index. */
    public List<ComediRange> rangesOf(int channel) {
        return ranges.get(perChannelIndex(channel, rangesPerChannel));
    }

    private int perChannelIndex(int channel, boolean perChannel) {
        if (channel < 0 || channel >= channelCount) {
            throw new IndexOutOfBoundsException("channel " + channel + " of subdevice " + index + " (" + channelCount
                    + " channels)");
        }
        return perChannel ? channel : 0;
    }
}
