// SPDX-License-Identifier: LGPL-2.1-or-later
/* Hardware-timed analog output: what its modules share with the streaming input's wait. */
#ifndef VORN_STREAM_OUTPUT_H
#define VORN_STREAM_OUTPUT_H

#include "device_common.h"

/* The handle's wake-up eventfd, made on first use under the protocol of stream_wait.cpp (so that
 * the input's nWake wakes a waiting write too and the release closes it safely); -1 with an
 * exception pending. */
int streamWakeDescriptor(JNIEnv *env, ComediHandle *h);

/* How a write leaves the output command; Java receives it in the high word of a write's result. */
enum OutputCondition : int {
    OUTPUT_RUNNING = 0,
    /* The board ran out of scans: the command stopped in error, every scan written before was output. */
    OUTPUT_UNDERRUN = 1,
    /* The command ended by itself (a counted output sent its last scan), or the driver stopped it. */
    OUTPUT_ENDED = 2,
    /* Another thread woke the write (stop or close); it wrote what it reports and no more. */
    OUTPUT_WOKEN = 3,
};

/* Frees the subdevice of a command that ended or ran dry (nothing runs when this is called) and
 * returns its driver buffer size in bytes, or 0 or less with an exception pending. */
int idleOutputBufferSize(JNIEnv *env, ComediHandle *h);

/* Converts `samples` volts (8 bytes each, any alignment, whole scans) into the handle's codes at
 * `codes`, as the writes convert them (calibration included). Returns the index of the first NaN,
 * which is not converted, or -1. */
int convertOutputVolts(ComediHandle *h, const unsigned char *volts, int samples, void *codes);

#endif
