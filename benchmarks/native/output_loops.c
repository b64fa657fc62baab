// SPDX-License-Identifier: LGPL-2.1-or-later
/* The C references of the streaming output benchmark: what a program written directly on
 * comedilib does to keep an output command fed. Never part of libvorn. */
#include <comedilib.h>
#include <errno.h>
#include <fcntl.h>
#include <jni.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include "bench_clock.h"

#define BLOCK_SAMPLES 65536

/* One channel (AO0, its first range) armed with an internal start at `period_ns`. */
static comedi_t *arm(const char *path, unsigned period_ns, unsigned *subdev, unsigned *chanlist)
{
    comedi_t *dev = comedi_open(path);
    if (dev == NULL) {
        return NULL;
    }
    int s = comedi_find_subdevice_by_type(dev, COMEDI_SUBD_AO, 0);
    comedi_cmd cmd;
    memset(&cmd, 0, sizeof cmd);
    *chanlist = CR_PACK(0, 0, AREF_GROUND);
    cmd.subdev = (unsigned)s;
    cmd.flags = CMDF_WRITE;
    cmd.start_src = TRIG_INT;
    cmd.scan_begin_src = TRIG_TIMER;
    cmd.scan_begin_arg = period_ns;
    cmd.convert_src = TRIG_NOW;
    cmd.scan_end_src = TRIG_COUNT;
    cmd.scan_end_arg = 1;
    cmd.stop_src = TRIG_NONE;
    cmd.chanlist = chanlist;
    cmd.chanlist_len = 1;
    int fd = comedi_fileno(dev);
    if (s < 0 || comedi_command(dev, &cmd) == -1 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == -1) {
        comedi_close(dev);
        return NULL;
    }
    *subdev = (unsigned)s;
    return dev;
}

/* Continuous output for `seconds`: poll for room, then write what fits, as a C program does.
 * out[0] = scans written, out[1] = this thread's CPU ns, out[2] = elapsed ns; false on a failure. */
JNIEXPORT jboolean JNICALL Java_org_vorn_bench_OutputWriteBenchmark_cPollWrite(JNIEnv *env, jclass cls,
                                                                               jstring path, jint periodNs,
                                                                               jdouble seconds, jlongArray out)
{
    (void)cls;
    static sampl_t block[BLOCK_SAMPLES];
    for (int i = 0; i < BLOCK_SAMPLES; i++) {
        block[i] = (sampl_t)(32768 + (i % 1000) * 30);
    }
    const char *p = (*env)->GetStringUTFChars(env, path, NULL);
    unsigned subdev;
    unsigned chanlist;
    comedi_t *dev = arm(p, (unsigned)periodNs, &subdev, &chanlist);
    (*env)->ReleaseStringUTFChars(env, path, p);
    if (dev == NULL) {
        return JNI_FALSE;
    }
    int fd = comedi_fileno(dev);
    int64_t bytes = 0;
    ssize_t w;
    while ((w = write(fd, block, sizeof block)) > 0) {
        bytes += w;
    }
    if (comedi_internal_trigger(dev, subdev, 0) == -1) {
        comedi_close(dev);
        return JNI_FALSE;
    }
    bytes = 0; /* the preload is not part of the measured window */
    const int64_t cpu0 = benchThreadCpuNs();
    const int64_t t0 = benchMonotonicNs();
    const int64_t end = t0 + (int64_t)(seconds * 1e9);
    int64_t offset = 0;
    jboolean ok = JNI_TRUE;
    while (benchMonotonicNs() < end) {
        struct pollfd room = {fd, POLLOUT, 0};
        if (poll(&room, 1, 1000) < 0 && errno != EINTR) {
            ok = JNI_FALSE;
            break;
        }
        w = write(fd, (const char *)block + offset, sizeof block - (size_t)offset);
        if (w < 0 && errno != EAGAIN) {
            ok = JNI_FALSE;
            break;
        }
        if (w > 0) {
            bytes += w;
            offset = (offset + w) % (int64_t)sizeof block;
        }
    }
    jlong result[3] = {bytes / 2, benchThreadCpuNs() - cpu0, benchMonotonicNs() - t0};
    (*env)->SetLongArrayRegion(env, out, 0, 3, result);
    comedi_cancel(dev, subdev);
    comedi_close(dev);
    return ok;
}

/* The hot path in C: `blocks` times, convert BLOCK_SAMPLES volts with comedi_from_phys and write
 * them (on the INSTANT clock the board takes them at once). Returns the elapsed ns, -1 on a failure. */
JNIEXPORT jlong JNICALL Java_org_vorn_bench_OutputWriteBenchmark_cConvertWrite(JNIEnv *env, jclass cls, jstring path,
                                                                               jdoubleArray volts, jint blocks)
{
    (void)cls;
    static sampl_t codes[BLOCK_SAMPLES];
    static double v[BLOCK_SAMPLES];
    (*env)->GetDoubleArrayRegion(env, volts, 0, BLOCK_SAMPLES, v);
    const char *p = (*env)->GetStringUTFChars(env, path, NULL);
    unsigned subdev;
    unsigned chanlist;
    comedi_t *dev = arm(p, 1000, &subdev, &chanlist);
    (*env)->ReleaseStringUTFChars(env, path, p);
    if (dev == NULL) {
        return -1;
    }
    comedi_range *range = comedi_get_range(dev, subdev, 0, 0);
    lsampl_t maxdata = comedi_get_maxdata(dev, subdev, 0);
    int fd = comedi_fileno(dev);
    (void)!write(fd, codes, sizeof codes); /* a preload, then the start */
    comedi_internal_trigger(dev, subdev, 0);
    const int64_t t0 = benchMonotonicNs();
    for (int b = 0; b < blocks; b++) {
        for (int i = 0; i < BLOCK_SAMPLES; i++) {
            codes[i] = (sampl_t)comedi_from_phys(v[i], range, maxdata);
        }
        size_t done = 0;
        while (done < sizeof codes) {
            ssize_t w = write(fd, (const char *)codes + done, sizeof codes - done);
            if (w < 0 && errno != EAGAIN) {
                comedi_close(dev);
                return -1;
            }
            done += w > 0 ? (size_t)w : 0;
        }
    }
    const int64_t elapsed = benchMonotonicNs() - t0;
    comedi_cancel(dev, subdev);
    comedi_close(dev);
    return elapsed;
}
