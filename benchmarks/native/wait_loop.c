// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * The streaming loop of the streaming benchmark written directly in C on comedilib, as a careful C
 * program would: sleep in ppoll (on the device while its buffer is empty, on the timer while the
 * values of one wake-up threshold are still due), ask the buffer contents, read what is there and
 * convert every sample with comedi_to_phys. It runs on the calling thread, so that the Java side
 * measures the process's CPU around it exactly as around libvorn's loops. Nothing here belongs in
 * libvorn. Java: org.vorn.bench.CWaitLoop.
 */
#define _GNU_SOURCE
#include <comedilib.h>
#include <jni.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "org_vorn_bench_CWaitLoop.h"
#include "bench_clock.h"
#include "bench_command.h"

#define MAX_POSITIONS 16
/* Delays are counted in 1 µs buckets up to 200 ms; the last bucket takes everything later. */
#define DELAY_BUCKETS 200001

struct waitLoop {
    comedi_t *dev;
    unsigned subdev;
    int positions;
    int bytesPerSample;
    unsigned bufBytes;
    void *raw;
    double *out;
    comedi_range range[MAX_POSITIONS];
    lsampl_t maxdata[MAX_POSITIONS];
    unsigned chanlist[MAX_POSITIONS];
    comedi_cmd cmd;
    int64_t samplePeriodNs;
    int64_t delayUs[DELAY_BUCKETS];
};

static void closeLoop(struct waitLoop *w)
{
    if (w == NULL) {
        return;
    }
    if (w->dev != NULL) {
        comedi_cancel(w->dev, w->subdev);
        comedi_close(w->dev);
    }
    free(w->raw);
    free(w->out);
    free(w);
}

static struct waitLoop *failed(struct waitLoop *w, const char *what)
{
    fprintf(stderr, "vornbench: wait loop: %s: %s\n", what, comedi_strerror(comedi_errno()));
    closeLoop(w);
    return NULL;
}

/* Every position reads `channel` at ±10 V, as the benchmark configures libvorn's device. */
static struct waitLoop *openLoop(const char *path, double scanHz, int positions, unsigned channel, int bufValues)
{
    if (positions < 1 || positions > MAX_POSITIONS || bufValues < positions || !(scanHz > 0)) {
        fprintf(stderr, "vornbench: wait loop: bad arguments\n");
        return NULL;
    }
    struct waitLoop *w = calloc(1, sizeof *w);
    if (w == NULL) {
        return NULL;
    }
    w->positions = positions;
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);
    w->dev = comedi_open(path);
    if (w->dev == NULL) {
        return failed(w, "comedi_open");
    }
    int subdev = comedi_find_subdevice_by_type(w->dev, COMEDI_SUBD_AI, 0);
    if (subdev < 0) {
        return failed(w, "comedi_find_subdevice_by_type");
    }
    w->subdev = (unsigned)subdev;
    int flags = comedi_get_subdevice_flags(w->dev, w->subdev);
    if (flags == -1) {
        return failed(w, "comedi_get_subdevice_flags");
    }
    w->bytesPerSample = (flags & SDF_LSAMPL) != 0 ? 4 : 2;
    w->bufBytes = (unsigned)bufValues * (unsigned)w->bytesPerSample;
    w->raw = malloc(w->bufBytes);
    w->out = malloc(8 * (size_t)bufValues);
    if (w->raw == NULL || w->out == NULL) {
        return failed(w, "malloc");
    }
    for (int p = 0; p < positions; ++p) {
        int range = comedi_find_range(w->dev, w->subdev, channel, UNIT_volt, -10.0, 10.0);
        comedi_range *desc = range < 0 ? NULL : comedi_get_range(w->dev, w->subdev, channel, (unsigned)range);
        if (desc == NULL) {
            return failed(w, "range");
        }
        w->range[p] = *desc;
        w->maxdata[p] = comedi_get_maxdata(w->dev, w->subdev, channel);
        w->chanlist[p] = CR_PACK(channel, range, AREF_GROUND);
    }
    const double scanPeriod = 1e9 / scanHz;
    benchContinuousCommand(&w->cmd, w->subdev, scanPeriod, w->chanlist, positions);
    if (comedi_command_test(w->dev, &w->cmd) < 0 || comedi_command_test(w->dev, &w->cmd) != 0) {
        return failed(w, "comedi_command_test");
    }
    w->samplePeriodNs = (int64_t)w->cmd.scan_begin_arg / positions;
    if (w->samplePeriodNs < 1) {
        w->samplePeriodNs = 1;
    }
    if (comedi_command(w->dev, &w->cmd) < 0) {
        return failed(w, "comedi_command");
    }
    return w;
}

JNIEXPORT jlong JNICALL Java_org_vorn_bench_CWaitLoop_cOpen(JNIEnv *env, jclass cls, jstring path, jdouble scanHz,
                                                            jint positions, jint channel, jint bufValues)
{
    (void)cls;
    const char *p = (*env)->GetStringUTFChars(env, path, NULL);
    if (p == NULL) {
        return 0;
    }
    struct waitLoop *w = openLoop(p, scanHz, positions, (unsigned)channel, bufValues);
    (*env)->ReleaseStringUTFChars(env, path, p);
    return (jlong)(intptr_t)w;
}

/* The accepted scan period of the running command, ns. */
JNIEXPORT jlong JNICALL Java_org_vorn_bench_CWaitLoop_cScanPeriodNs(JNIEnv *env, jclass cls, jlong handle)
{
    (void)env;
    (void)cls;
    return ((struct waitLoop *)(intptr_t)handle)->cmd.scan_begin_arg;
}

/*
 * Runs the loop until `stopNs` (CLOCK_MONOTONIC, System.nanoTime's clock). Between `fromNs` and
 * `toNs` it counts reads, delivered scans and their delays (scan s ends at firstScanEndNs + s x
 * scanPeriodNs; its delay is from then to the return of the read that completed it) and its own
 * thread's CPU time. `minValues`: values that one wake-up waits for. Returns 0, or -1 when the
 * device failed. stats = {reads, scans, thread CPU ns, values}; delays = microsecond buckets.
 */
JNIEXPORT jint JNICALL Java_org_vorn_bench_CWaitLoop_cRun(JNIEnv *env, jclass cls, jlong handle, jlong fromNs,
                                                          jlong toNs, jlong stopNs, jlong firstScanEndNs,
                                                          jlong scanPeriodNs, jint minValues, jlongArray delays,
                                                          jlongArray stats)
{
    (void)cls;
    struct waitLoop *w = (struct waitLoop *)(intptr_t)handle;
    memset(w->delayUs, 0, sizeof w->delayUs);
    const int fd = comedi_fileno(w->dev);
    const unsigned minBytes = (unsigned)minValues * (unsigned)w->bytesPerSample;
    int64_t values = 0;
    int64_t reads = 0;
    int64_t scans = 0;
    int64_t cpuFrom = -1;
    int64_t cpuTo = -1;
    int position = 0;
    int result = 0;
    for (;;) {
        const int64_t now = benchMonotonicNs();
        if (cpuFrom < 0 && now >= fromNs) {
            cpuFrom = benchThreadCpuNs();
        }
        if (cpuTo < 0 && now >= toNs) {
            cpuTo = benchThreadCpuNs();
        }
        if (now >= stopNs) {
            break;
        }
        int contents = comedi_get_buffer_contents(w->dev, w->subdev);
        if (contents < 0) {
            result = -1;
            break;
        }
        if ((unsigned)contents < minBytes) {
            int64_t sleepNs = (int64_t)(minBytes - (unsigned)contents) / w->bytesPerSample * w->samplePeriodNs;
            if (sleepNs < 20000) {
                sleepNs = 20000;
            }
            if (sleepNs > 100000000) {
                sleepNs = 100000000;
            }
            struct pollfd pfd = {fd, POLLIN, 0};
            const struct timespec timeout = {(time_t)(sleepNs / 1000000000), (long)(sleepNs % 1000000000)};
            /* An empty buffer: the device wakes the sleep when data arrive; otherwise the timer. */
            if (ppoll(&pfd, contents == 0 ? 1 : 0, &timeout, NULL) < 0) {
                result = -1;
                break;
            }
            continue;
        }
        unsigned bytes = (unsigned)contents < w->bufBytes ? (unsigned)contents : w->bufBytes;
        bytes -= bytes % (unsigned)w->bytesPerSample;
        ssize_t got = read(fd, w->raw, bytes);
        if (got <= 0 || got % w->bytesPerSample != 0) {
            result = -1;
            break;
        }
        const int n = (int)(got / w->bytesPerSample);
        for (int k = 0; k < n; ++k) {
            lsampl_t raw = w->bytesPerSample == 4 ? ((const lsampl_t *)w->raw)[k] : ((const sampl_t *)w->raw)[k];
            w->out[k] = comedi_to_phys(raw, &w->range[position], w->maxdata[position]);
            if (++position == w->positions) {
                position = 0;
            }
        }
        const int64_t delivered = benchMonotonicNs();
        const int64_t before = values / w->positions;
        values += n;
        const int64_t after = values / w->positions;
        if (delivered >= fromNs && delivered < toNs) {
            reads++;
            for (int64_t s = before; s < after; ++s) {
                int64_t d = (delivered - (firstScanEndNs + s * scanPeriodNs)) / 1000;
                w->delayUs[d < 0 ? 0 : d >= DELAY_BUCKETS ? DELAY_BUCKETS - 1 : d]++;
                scans++;
            }
        }
    }
    if (cpuFrom < 0) {
        cpuFrom = benchThreadCpuNs();
    }
    if (cpuTo < 0) {
        cpuTo = benchThreadCpuNs();
    }
    if (result < 0) {
        fprintf(stderr, "vornbench: wait loop failed: %s\n", comedi_strerror(comedi_errno()));
    }
    const jlong out[4] = {reads, scans, cpuTo - cpuFrom, values};
    (*env)->SetLongArrayRegion(env, stats, 0, 4, out);
    const jsize buckets = (*env)->GetArrayLength(env, delays);
    (*env)->SetLongArrayRegion(env, delays, 0, buckets < DELAY_BUCKETS ? buckets : DELAY_BUCKETS, w->delayUs);
    return result;
}

JNIEXPORT void JNICALL Java_org_vorn_bench_CWaitLoop_cClose(JNIEnv *env, jclass cls, jlong handle)
{
    (void)env;
    (void)cls;
    closeLoop((struct waitLoop *)(intptr_t)handle);
}
