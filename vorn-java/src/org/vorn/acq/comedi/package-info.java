// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * The devices of a Comedi board and what describes them: hardware-timed streaming analog input
 * ({@link org.vorn.acq.comedi.ComediAnalogStreamingDevice}), software-timed analog input and output
 * ({@link org.vorn.acq.comedi.ComediAnalogSamplingDevice}, {@link org.vorn.acq.comedi.ComediAnalogSWOutDevice}),
 * digital ports ({@link org.vorn.acq.comedi.ComediDigitalPortOutDevice},
 * {@link org.vorn.acq.comedi.ComediDigitalPortInDevice}), and the description of a board before
 * any of its subdevices is opened ({@link org.vorn.acq.comedi.ComediDeviceInfo#describe(String)}).
 *
 * <p>An analog device scans a list of <em>positions</em>; {@code configureChannel(position, channel,
 * minVolts, maxVolts, reference)} says which hardware <em>channel</em> each position reads or
 * drives and in which range. What a position converts, and how its raw codes become volts, is one
 * record everywhere: {@link org.vorn.acq.comedi.ComediChannelRange}, with
 * {@link org.vorn.acq.comedi.ComediChannelRange#toVolts(long)}.
 *
 * <p>Threads: every method of a device may be called from any thread; the calls on one device run
 * one at a time. {@code close()} and the streaming device's {@code stop()} may come from any
 * thread at any moment (a Stop button, a shutdown hook), any number of times: they wake a waiting
 * read, wait for the call in flight, then act. The description records ({@code ComediDeviceInfo},
 * {@code ComediSubdeviceInfo}, {@code ComediRange}, {@code ComediChannelRange},
 * {@code StreamCommand}, ...) are immutable values that any thread may keep and share. A
 * {@link org.vorn.acq.comedi.ScanBlock} belongs to the one thread that reads into it.
 *
 * <pre>
 * try (var ai = new ComediAnalogSamplingDevice("/dev/comedi0", 2)) {
 *     ai.configureChannel(0, 5, -10, 10, AnalogReference.GROUND); // position 0 reads channel 5, ±10 V
 *     ai.configureChannel(1, 0, -1, 1, AnalogReference.DIFF);     // position 1 reads channel 0, ±1 V
 *     double[] volts = ai.scan();                                  // one scan, in position order
 * }
 * </pre>
 */
package org.vorn.acq.comedi;
