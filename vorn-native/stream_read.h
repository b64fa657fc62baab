// SPDX-License-Identifier: LGPL-2.1-or-later
/* Draining a running command's samples from the driver, shared by the raw read and the waiting
 * read of the streaming input device: what is ready, how a read ends, and the raw-to-volt pass.
 * The position of the next sample (channelIndex) and the bytes of a split sample live in the
 * handle, so every read form continues where the last one ended. */
#ifndef VORN_STREAM_READ_H
#define VORN_STREAM_READ_H

#include <cstddef>
#include <cstring>

#include "device_common.h"

/* How a command's stream stands after a read; Java receives it in the high word of a read's
 * result (see packReadResult). */
enum StreamCondition : int {
    STREAM_RUNNING = 0,
    /* The driver reported an overrun: what was buffered before it has been delivered, and the
     * command is over. */
    STREAM_OVERRUN = 1,
    /* The command ended by itself (a counted command delivered its last scan). */
    STREAM_ENDED = 2,
    /* Another thread woke the read (stop or close); it consumed nothing. */
    STREAM_WOKEN = 3,
    /* The reading thread was interrupted (Thread.interrupt) while the read waited; it consumed
     * nothing. */
    STREAM_INTERRUPTED = 4,
};

/* A read's result for Java: the sample count in the low 32 bits, the condition above them. */
inline jlong packReadResult(int samples, int condition)
{
    return (static_cast<jlong>(condition) << 32) | static_cast<jlong>(static_cast<unsigned>(samples));
}

/* The samples ready in the driver, in whole samples counting the bytes of a split sample that the
 * handle keeps; -1 with an exception pending on a failure. An overrun or a finished command with
 * nothing left is not a failure: the count is 0 and *condition says so. `pollBoard` first makes
 * the driver move what the board still holds (comedi_poll); without it, one call to the driver. */
int readySamples(JNIEnv *env, ComediHandle *h, int *condition, bool pollBoard = true);

/* At most `maxSamples` of the ready samples, fewer when `wholeScans` asks the read to end at a scan
 * boundary (counted from the handle's position); never more than `ready`. */
int samplesToTake(const ComediHandle *h, int ready, int maxSamples, bool wholeScans);

/* Reads `nSamples` samples that readySamples reported into `dst` (raw codes of bytesPerSample each)
 * and moves the position past them. Returns how many arrived whole: fewer when the read ended early
 * (a split sample's bytes stay in the handle for the next call). -1 with an exception pending when
 * nothing arrived because of a read error. *condition tells an overrun or end the read met. */
int drainSamples(JNIEnv *env, ComediHandle *h, unsigned char *dst, int nSamples, int *condition);

/* The raw codes of `dst` as volts into `out` (8 bytes each, any alignment), with the ranges of the
 * positions starting at `position`; each sample is touched once. */
void convertDrained(const ComediHandle *h, const unsigned char *raw, int nSamples, int position, unsigned char *out);

/* The device is running a command this handle can read, or a ComediException is pending that
 * starts with `prefix` (the text the non-waiting read uses for the same state). */
bool requireReadableStream(JNIEnv *env, ComediHandle *h, const char *prefix);

#endif
