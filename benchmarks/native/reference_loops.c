// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * The reference loops: the work of each hot path written directly in C on comedilib, the way a
 * careful C program would do it (everything prepared once, then only the per-call calls), timed
 * here with clock_gettime so that no JNI crossing is counted on the C side. Nothing here belongs
 * in libvorn. Java: org.vorn.bench.CReference.
 */
#include <comedilib.h>
#include <jni.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "org_vorn_bench_CReference.h"
#include "bench_clock.h"
#include "bench_command.h"

enum kind { SAMPLE_SCAN = 1, ANALOG_WRITE = 2, PORT_WRITE = 3, STREAM_SCAN = 4, STREAM_SCAN_INLINE = 5 };

int vornbenchConvertInline(const void *raw, int lsampl, int nSample, double *out, comedi_range *ranges,
                           const lsampl_t *maxdata, int channel, int nChannels);

#define MAX_N 256

struct ref {
    int kind;
    comedi_t *dev;
    unsigned subdev;
    int n;
    comedi_insnlist list;
    comedi_insn insn[MAX_N];
    lsampl_t data[MAX_N];
    comedi_range range[MAX_N];
    lsampl_t maxdata[MAX_N];
    unsigned chanlist[MAX_N];
    double volts[MAX_N];
    unsigned portValue[MAX_N];
    /* streaming */
    int lsampl;
    int bytesPerSample;
    int bufBytes;
    void *raw;
    double *out;
    int channel;
    comedi_cmd cmd;
    long long samples;
};

static void fail(struct ref *r, const char *what)
{
    fprintf(stderr, "vornbench: %s: %s\n", what, comedi_strerror(comedi_errno()));
    if (r != NULL) {
        if (r->dev != NULL) {
            comedi_close(r->dev);
        }
        free(r->raw);
        free(r->out);
        free(r);
    }
}

static int configure(struct ref *r, int i, unsigned chan, double min, double max)
{
    int range = comedi_find_range(r->dev, r->subdev, chan, UNIT_volt, min, max);
    if (range < 0) {
        return -1;
    }
    comedi_range *desc = comedi_get_range(r->dev, r->subdev, chan, range);
    if (desc == NULL) {
        return -1;
    }
    r->range[i] = *desc;
    r->maxdata[i] = comedi_get_maxdata(r->dev, r->subdev, chan);
    r->chanlist[i] = CR_PACK(chan, range, AREF_GROUND);
    return 0;
}

/* The channel layout is the benchmark's (Rows.java configures libvorn's devices the same
 * way): sampling reads hardware channel i % 16 at ±10 V; analog output writes channel i % 2 at
 * ±10 V; ports are 8 lines each; streaming position i reads channel i, ±10 V at even positions and
 * ±5 V at odd ones. */
static struct ref *openRef(int kind, const char *path, int n, int bufSize)
{
    if (n < 1 || n > MAX_N) {
        fprintf(stderr, "vornbench: bad count %d\n", n);
        return NULL;
    }
    struct ref *r = calloc(1, sizeof *r);
    if (r == NULL) {
        return NULL;
    }
    r->kind = kind;
    r->n = n;
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);
    r->dev = comedi_open(path);
    if (r->dev == NULL) {
        fail(r, "comedi_open");
        return NULL;
    }
    int type = kind == ANALOG_WRITE ? COMEDI_SUBD_AO : kind == PORT_WRITE ? COMEDI_SUBD_DIO : COMEDI_SUBD_AI;
    int subdev = comedi_find_subdevice_by_type(r->dev, type, 0);
    if (subdev < 0) {
        fail(r, "comedi_find_subdevice_by_type");
        return NULL;
    }
    r->subdev = (unsigned)subdev;

    switch (kind) {
    case SAMPLE_SCAN:
    case ANALOG_WRITE:
        for (int i = 0; i < n; ++i) {
            unsigned chan = kind == SAMPLE_SCAN ? (unsigned)(i % 16) : (unsigned)(i % 2);
            if (configure(r, i, chan, -10.0, 10.0) < 0) {
                fail(r, "range");
                return NULL;
            }
            r->insn[i].insn = kind == SAMPLE_SCAN ? INSN_READ : INSN_WRITE;
            r->insn[i].n = 1;
            r->insn[i].data = &r->data[i];
            r->insn[i].subdev = r->subdev;
            r->insn[i].chanspec = r->chanlist[i];
            r->volts[i] = -9.0 + 18.0 * i / n;
        }
        r->list.n_insns = (unsigned)n;
        r->list.insns = r->insn;
        break;
    case PORT_WRITE:
        for (int p = 0; p < n; ++p) {
            for (unsigned line = 0; line < 8; ++line) {
                if (comedi_dio_config(r->dev, r->subdev, (unsigned)p * 8 + line, COMEDI_OUTPUT) < 0) {
                    fail(r, "comedi_dio_config");
                    return NULL;
                }
            }
            r->portValue[p] = 0xA5u ^ (unsigned)p;
        }
        break;
    case STREAM_SCAN:
    case STREAM_SCAN_INLINE: {
        int flags = comedi_get_subdevice_flags(r->dev, r->subdev);
        if (flags == -1) {
            fail(r, "comedi_get_subdevice_flags");
            return NULL;
        }
        r->lsampl = (flags & SDF_LSAMPL) != 0;
        r->bytesPerSample = r->lsampl ? 4 : 2;
        r->bufBytes = bufSize * r->bytesPerSample;
        r->raw = malloc((size_t)r->bufBytes);
        r->out = malloc(8 * (size_t)bufSize);
        if (r->raw == NULL || r->out == NULL) {
            fail(r, "malloc");
            return NULL;
        }
        for (int i = 0; i < n; ++i) {
            double span = i % 2 == 0 ? 10.0 : 5.0;
            if (configure(r, i, (unsigned)i, -span, span) < 0) {
                fail(r, "range");
                return NULL;
            }
        }
        const double period = 1e9 / 1000.0;
        benchContinuousCommand(&r->cmd, r->subdev, period, r->chanlist, n);
        if (comedi_command_test(r->dev, &r->cmd) < 0 || comedi_command_test(r->dev, &r->cmd) != 0) {
            fail(r, "comedi_command_test");
            return NULL;
        }
        if (comedi_command(r->dev, &r->cmd) < 0) {
            fail(r, "comedi_command");
            return NULL;
        }
        break;
    }
    default:
        fail(r, "unknown kind");
        return NULL;
    }
    return r;
}

/* One call's work; 0, or -1 after a failure. */
static inline int sampleScan(struct ref *r)
{
    if (comedi_do_insnlist(r->dev, &r->list) != r->n) {
        return -1;
    }
    for (int i = 0; i < r->n; ++i) {
        r->volts[i] = comedi_to_phys(r->data[i], &r->range[i], r->maxdata[i]);
    }
    return 0;
}

static inline int analogWrite(struct ref *r)
{
    for (int i = 0; i < r->n; ++i) {
        r->data[i] = comedi_from_phys(r->volts[i], &r->range[i], r->maxdata[i]);
    }
    return comedi_do_insnlist(r->dev, &r->list) == r->n ? 0 : -1;
}

static inline int portWrite(struct ref *r)
{
    for (int p = 0; p < r->n; ++p) {
        unsigned bits = r->portValue[p];
        if (comedi_dio_bitfield2(r->dev, r->subdev, 0xFFu, &bits, (unsigned)p * 8) < 0) {
            return -1;
        }
    }
    return 0;
}

/* Poll, ask how much is there, read whole samples, convert each with comedi_to_phys. */
static inline int streamScan(struct ref *r)
{
    if (comedi_poll(r->dev, r->subdev) < 0) {
        return -1;
    }
    int bytes = comedi_get_buffer_contents(r->dev, r->subdev);
    if (bytes < 0) {
        return -1;
    }
    if (bytes > r->bufBytes) {
        bytes = r->bufBytes;
    }
    bytes -= bytes % r->bytesPerSample;
    if (bytes == 0) {
        return 0;
    }
    ssize_t got = read(comedi_fileno(r->dev), r->raw, (size_t)bytes);
    if (got <= 0 || got % r->bytesPerSample != 0) {
        return -1;
    }
    const int nSample = (int)(got / r->bytesPerSample);
    int c = r->channel;
    if (r->kind == STREAM_SCAN_INLINE) {
        c = vornbenchConvertInline(r->raw, r->lsampl, nSample, r->out, r->range, r->maxdata, c, r->n);
    } else if (r->lsampl) {
        const lsampl_t *raw = r->raw;
        for (int k = 0; k < nSample; ++k) {
            r->out[k] = comedi_to_phys(raw[k], &r->range[c], r->maxdata[c]);
            if (++c == r->n) {
                c = 0;
            }
        }
    } else {
        const sampl_t *raw = r->raw;
        for (int k = 0; k < nSample; ++k) {
            r->out[k] = comedi_to_phys(raw[k], &r->range[c], r->maxdata[c]);
            if (++c == r->n) {
                c = 0;
            }
        }
    }
    r->channel = c;
    r->samples += nSample;
    return 0;
}

JNIEXPORT jlong JNICALL Java_org_vorn_bench_CReference_cOpen(JNIEnv *env, jclass cls, jint kind, jstring path,
                                                                   jint n, jint bufSize)
{
    (void)cls;
    const char *p = (*env)->GetStringUTFChars(env, path, NULL);
    if (p == NULL) {
        return 0;
    }
    struct ref *r = openRef(kind, p, n, bufSize);
    (*env)->ReleaseStringUTFChars(env, path, p);
    return (jlong)(intptr_t)r;
}

/* Runs `calls` calls and returns the elapsed ns, or -1 if one failed. */
JNIEXPORT jlong JNICALL Java_org_vorn_bench_CReference_cRun(JNIEnv *env, jclass cls, jlong handle, jint calls)
{
    (void)env;
    (void)cls;
    struct ref *r = (struct ref *)(intptr_t)handle;
    int failed = 0;
    const int64_t start = benchMonotonicNs();
    switch (r->kind) {
    case SAMPLE_SCAN:
        for (int i = 0; i < calls; ++i) {
            failed |= sampleScan(r);
        }
        break;
    case ANALOG_WRITE:
        for (int i = 0; i < calls; ++i) {
            failed |= analogWrite(r);
        }
        break;
    case PORT_WRITE:
        for (int i = 0; i < calls; ++i) {
            failed |= portWrite(r);
        }
        break;
    case STREAM_SCAN:
    case STREAM_SCAN_INLINE:
        for (int i = 0; i < calls; ++i) {
            failed |= streamScan(r);
        }
        break;
    }
    const int64_t end = benchMonotonicNs();
    if (failed) {
        fprintf(stderr, "vornbench: reference loop failed: %s\n", comedi_strerror(comedi_errno()));
        return -1;
    }
    return end - start;
}

/* Samples converted so far (streaming), so the caller can check every call got a full buffer. */
JNIEXPORT jlong JNICALL Java_org_vorn_bench_CReference_cSamples(JNIEnv *env, jclass cls, jlong handle)
{
    (void)env;
    (void)cls;
    return ((struct ref *)(intptr_t)handle)->samples;
}

/* The first converted value, compared with libvorn's by the caller: both sides did the same work. */
JNIEXPORT jdouble JNICALL Java_org_vorn_bench_CReference_cFirstValue(JNIEnv *env, jclass cls, jlong handle)
{
    (void)env;
    (void)cls;
    struct ref *r = (struct ref *)(intptr_t)handle;
    return r->kind >= STREAM_SCAN ? r->out[0] : r->volts[0];
}

JNIEXPORT void JNICALL Java_org_vorn_bench_CReference_cClose(JNIEnv *env, jclass cls, jlong handle)
{
    (void)env;
    (void)cls;
    struct ref *r = (struct ref *)(intptr_t)handle;
    if (r == NULL) {
        return;
    }
    if (r->kind >= STREAM_SCAN) {
        comedi_cancel(r->dev, r->subdev);
    }
    comedi_close(r->dev);
    free(r->raw);
    free(r->out);
    free(r);
}
