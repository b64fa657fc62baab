// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * Operating-system helpers for acquisition programs: the wall clock in microseconds and the
 * calling thread's CPU affinity ({@link org.vorn.util.OsUtil}).
 *
 * <p>Threads: every method is safe from any thread and acts on the calling thread only.
 *
 * <pre>
 * OsUtil.setAffinity(1L &lt;&lt; 3);   // this thread runs on CPU 3 only
 * long us = OsUtil.getTimeOfDay();
 * </pre>
 */
package org.vorn.util;
