// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * The benchmark's own natives: a no-op, so the fixed cost of a JNI crossing is visible on its own,
 * and a stdout that can be muted while a device prints its command trace.
 * Java: org.vorn.bench.BenchNatives.
 */
#include <fcntl.h>
#include <jni.h>
#include <stdio.h>
#include <unistd.h>

#include "org_vorn_bench_BenchNatives.h"

JNIEXPORT void JNICALL Java_org_vorn_bench_BenchNatives_noop(JNIEnv *env, jclass cls, jobject a, jobject b)
{
    (void)env;
    (void)cls;
    (void)a;
    (void)b;
}

/* What every libvorn hot path does before its work: the two direct-buffer addresses. */
JNIEXPORT jlong JNICALL Java_org_vorn_bench_BenchNatives_noopAddresses(JNIEnv *env, jclass cls, jobject a,
                                                                           jobject b)
{
    (void)cls;
    char *pa = (*env)->GetDirectBufferAddress(env, a);
    char *pb = (*env)->GetDirectBufferAddress(env, b);
    return (jlong)(pa - pb);
}

/* The benchmark's own output is the table: the streaming device's command trace goes to
 * /dev/null while it is configured. */
static int savedStdout = -1;

JNIEXPORT void JNICALL Java_org_vorn_bench_BenchNatives_muteStdout(JNIEnv *env, jclass cls, jboolean mute)
{
    (void)env;
    (void)cls;
    fflush(stdout);
    if (mute && savedStdout < 0) {
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            savedStdout = dup(1);
            dup2(devNull, 1);
            close(devNull);
        }
    } else if (!mute && savedStdout >= 0) {
        dup2(savedStdout, 1);
        close(savedStdout);
        savedStdout = -1;
    }
}
