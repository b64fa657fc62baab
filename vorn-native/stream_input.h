// SPDX-License-Identifier: LGPL-2.1-or-later
/* Diagnostic text for a Comedi acquisition command: the trace the streaming input device writes
 * while the driver tests its command. */
#ifndef VORN_STREAM_INPUT_H
#define VORN_STREAM_INPUT_H

#include <comedilib.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Texts of the comedi_command_test results 0..5. */
extern const char *const cmdtest_messages[6];

/* Room cmd_src needs: all nine words with their separators (46 characters), one more separator
 * while the text is built, and the NUL. */
#define CMD_SRC_BUFFER_SIZE 48

/* Writes the words of the trigger-source bit set `src` into `buf` (at least CMD_SRC_BUFFER_SIZE
 * bytes) and returns `buf`. */
char *cmd_src(int src, char *buf);

/* Writes the five trigger lines of `cmd` to `out`; does not flush. */
void dump_cmd(FILE *out, comedi_cmd *cmd);

/* The name of a command-test result for the trace: the table entry for 0..5, and a fixed text for
 * any other value, so that a driver returning a stage the table lacks never makes us read past it. */
const char *cmdtestResultText(int result);

/* The scan shape both streaming devices check before anything exists: 1 to MAX_CHANNELS
 * positions, and a scan rate whose period is a finite number of nanoseconds below 2^32. Raises and
 * returns false otherwise. */
#include <jni.h>
int requireStreamShape(JNIEnv *env, jint nChannels, jdouble freq);

/* Takes the raw sample buffer of `bytes` bytes for a streaming device being created; raises
 * OutOfMemoryError naming the device and returns false when it cannot. */
struct ComediHandle;
int allocateSampleBuffer(JNIEnv *env, struct ComediHandle *h, jint bytes);

#ifdef __cplusplus
}
#endif

#endif
