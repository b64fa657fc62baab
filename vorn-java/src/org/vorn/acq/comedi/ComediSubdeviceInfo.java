// SPDX-License-Identifier: LGPL-2.1-or-later
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

    /**
     * A description; the lists are copied, unmodifiable.
     *
     * @param index the subdevice number
     * @param typeCode comedilib's type code
     * @param flags the {@code SDF_*} flags
     * @param channelCount the channels
     * @param maxDataPerChannel whether each channel has its own maximum raw value
     * @param maxData the maximum raw values
     * @param rangesPerChannel whether each channel has its own ranges
     * @param ranges the ranges
     * @param commandSources the command sources, or null
     * @param fastestScan the fastest timed command, or null
     */
    public ComediSubdeviceInfo {
        maxData = List.copyOf(maxData);
        ranges = ranges.stream().map(List::copyOf).toList();
    }

    /**
     * Whether the subdevice is calibrated in software ({@code SDF_SOFT_CALIBRATED}): its codes
     * mean the right volts only through the polynomials of a calibration file, which every analog
     * device of the library applies by default ({@link ComediAnalogDevice#setCalibration}).
     *
     * @return true if it needs a calibration file
     */
    public boolean needsCalibration() {
        return (flags & SDF_SOFT_CALIBRATED) != 0;
    }

    /** The kernel's flag of a subdevice calibrated in software. */
    private static final int SDF_SOFT_CALIBRATED = 0x2000;

    /**
     * The kind of subdevice.
     *
     * @return the type of {@link #typeCode()}, {@link ComediSubdeviceType#UNKNOWN} for a code newer than this library
     */
    public ComediSubdeviceType type() {
        return ComediSubdeviceType.of(typeCode);
    }

    /**
     * Whether the subdevice runs commands (streams), as a streaming device needs.
     *
     * @return true when it has {@link #commandSources()}
     */
    public boolean takesCommands() {
        return commandSources != null;
    }

    /**
     * The maximum raw value of one channel.
     *
     * @param channel a hardware channel, 0 to {@code channelCount() - 1}
     * @return its largest raw code
     * @throws IndexOutOfBoundsException if the subdevice has no such channel
     */
    public long maxDataOf(int channel) {
        return maxData.get(perChannelIndex(channel, maxDataPerChannel));
    }

    /**
     * The ranges of one channel.
     *
     * @param channel a hardware channel, 0 to {@code channelCount() - 1}
     * @return its ranges, range index = list index
     * @throws IndexOutOfBoundsException if the subdevice has no such channel
     */
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

    /**
     * Every field, with the type and flags by name.
     *
     * @return e.g. {@code ComediSubdeviceInfo[index=0, type=ANALOG_INPUT, flags=[CMD, CMD_READ, READABLE, GROUND],
     *         channelCount=16, maxDataPerChannel=false, maxData=[65535], rangesPerChannel=false,
     *         ranges=[[[-10, 10] V, [-5, 5] V]], commandSources=..., fastestScan=...]}
     */
    @Override
    public String toString() {
        ComediSubdeviceType t = type();
        return "ComediSubdeviceInfo[index=" + index + ", type=" + (t == ComediSubdeviceType.UNKNOWN
                ? "UNKNOWN(" + typeCode + ")" : t.name()) + ", flags=" + FlagNames.list(flags, FlagNames.SUBDEVICE_FLAGS)
                + ", channelCount=" + channelCount + ", maxDataPerChannel=" + maxDataPerChannel + ", maxData=" + maxData
                + ", rangesPerChannel=" + rangesPerChannel + ", ranges=" + ranges + ", commandSources="
                + commandSources + ", fastestScan=" + fastestScan + "]";
    }
}
