// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * Every failure of the library, as one family of unchecked exceptions that a program catches by
 * type, never by reading a message.
 *
 * <p>The library raises unchecked exceptions only: a failed acquisition is rarely something the
 * caller can recover from on the spot, and the JDK's own state and argument errors are unchecked
 * too. What a program may want to tell apart has its own type:
 * <ul>
 * <li>{@link org.vorn.exception.ComediException}: the driver or comedilib failed; it carries
 *     comedilib's error number ({@link org.vorn.exception.ComediException#getErrorNumber()}), and
 *     its subclasses say more:
 *     <ul>
 *     <li>{@link org.vorn.exception.ComediOverrunException}: the driver's buffer overran and ended
 *         the stream;</li>
 *     <li>{@link org.vorn.exception.SettingRefusedException}: the driver or the board refused a
 *         setting (a command, a range, a buffer size, a channel or port it lacks);</li>
 *     </ul></li>
 * <li>{@link org.vorn.exception.DeviceStateException}, an {@link java.lang.IllegalStateException}:
 *     the call does not fit the device's state (start a running stream, configure it while it
 *     runs), and its subclasses for the two a program meets most:
 *     <ul>
 *     <li>{@link org.vorn.exception.DeviceClosedException}: the device was closed;</li>
 *     <li>{@link org.vorn.exception.StreamStoppedException}: {@code stop()} ended the stream;</li>
 *     </ul></li>
 * <li>{@link org.vorn.exception.ReadInterruptedException}: the thread of a waiting read was
 *     interrupted before anything arrived.</li>
 * </ul>
 * An argument that no device could take raises {@link java.lang.IllegalArgumentException} (or
 * {@link java.lang.NullPointerException}), as in any Java library. Every message names the
 * device; a text that the native library writes is kept as it is, and the device follows it in
 * parentheses where the text does not begin with it. Only the library creates these exceptions:
 * their constructors are not public (but for {@link org.vorn.exception.ComediException}'s and
 * the deprecated one of {@link org.vorn.exception.ComediOverrunException}).
 *
 * <p>Threads: an exception is created by the thread that makes the failing call and is not
 * changed after it is raised.
 *
 * <pre>
 * try {
 *     ai.start();
 * } catch (SettingRefusedException | DeviceStateException e) {
 *     System.err.println(e.getMessage()); // says which device and what to change
 * } catch (ComediException e) {
 *     if (e.getErrorNumber() == 16) {     // EBUSY: another program streams on the subdevice
 *         retryLater();
 *     }
 * }
 * </pre>
 */
package org.vorn.exception;
