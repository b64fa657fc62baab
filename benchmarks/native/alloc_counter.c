// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * libvornbench's counter of malloc-family calls per thread. The library is preloaded (LD_PRELOAD,
 * after the emulated board) so that its malloc stands in front of libc's for the whole process; the
 * counter is thread-local, so the JIT, GC and other JVM threads do not disturb the benchmark
 * thread's count. Java: org.vorn.bench.AllocationCounter.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <jni.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "org_vorn_bench_AllocationCounter.h"

#define EXPORT __attribute__((visibility("default")))

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
extern void *__libc_valloc(size_t);
extern void *__libc_pvalloc(size_t);

static __thread unsigned long long allocCalls __attribute__((tls_model("initial-exec")));
static __thread int reportAllocs __attribute__((tls_model("initial-exec")));
static __thread unsigned long long hotPathAllocs __attribute__((tls_model("initial-exec")));
static __thread unsigned long long jvmAllocs __attribute__((tls_model("initial-exec")));
static __thread int quietReports __attribute__((tls_model("initial-exec")));

/* Whether a stack frame lies in code whose allocations a hot path would be charged with: libvorn,
 * comedilib, the emulated board, or this library's reference loops. */
static int isHotPathObject(const char *path, int frame)
{
    const char *base = strrchr(path, '/');
    base = base != NULL ? base + 1 : path;
    if (strcmp(base, "libvornbench.so") == 0) {
        return frame >= 2; /* frames 0 and 1 are the allocation front itself */
    }
    return strcmp(base, "libvorn.so") == 0 || strncmp(base, "libcomedi.so", 12) == 0 ||
           strcmp(base, "libvornemu.so") == 0;
}

/* While the benchmark times a batch, every allocation on its thread is attributed by walking its
 * stack: one made under a hot path's code is counted as the hot path's and printed with its
 * frames; one made by the JVM alone (the JIT installing code, native-method wrappers) is counted
 * apart. Written with write(2) and stack buffers: nothing here may allocate. */
static __attribute__((noinline)) void noteAlloc(const char *what)
{
    ++allocCalls;
    if (!reportAllocs) {
        return;
    }
    reportAllocs = 0;
    void *frames[24];
    /* The unwinder was loaded when reporting was switched on, so this does not allocate. */
    int depth = backtrace(frames, 24);
    int hot = 0;
    char line[2048];
    int len = snprintf(line, sizeof line, "vornbench: %s in a hot path during a timed batch:", what);
    for (int i = 2; i < depth; ++i) {
        Dl_info info;
        if (dladdr(frames[i], &info) == 0 || info.dli_fname == NULL) {
            continue;
        }
        hot |= isHotPathObject(info.dli_fname, i);
        const char *base = strrchr(info.dli_fname, '/');
        if (len > 0 && (size_t)len < sizeof line) {
            len += snprintf(line + len, sizeof line - (size_t)len, " %s+0x%lx", base != NULL ? base + 1 : info.dli_fname,
                            (unsigned long)((char *)frames[i] - (char *)info.dli_fbase));
        }
    }
    if (hot) {
        ++hotPathAllocs;
        if (!quietReports && len > 0 && (size_t)len < sizeof line - 1) {
            line[len++] = '\n';
            ssize_t ignored = write(2, line, (size_t)len);
            (void)ignored;
        }
    } else {
        ++jvmAllocs;
    }
    reportAllocs = 1;
}

#define COUNT(what) noteAlloc(what)

EXPORT void *malloc(size_t size)
{
    COUNT("malloc");
    return __libc_malloc(size);
}

EXPORT void *calloc(size_t n, size_t size)
{
    COUNT("calloc");
    return __libc_calloc(n, size);
}

EXPORT void *realloc(void *p, size_t size)
{
    COUNT("realloc");
    return __libc_realloc(p, size);
}

EXPORT void *memalign(size_t alignment, size_t size)
{
    COUNT("memalign");
    return __libc_memalign(alignment, size);
}

EXPORT void *aligned_alloc(size_t alignment, size_t size)
{
    COUNT("aligned_alloc");
    return __libc_memalign(alignment, size);
}

EXPORT int posix_memalign(void **out, size_t alignment, size_t size)
{
    COUNT("posix_memalign");
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void *p = __libc_memalign(alignment, size);
    if (p == NULL) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

EXPORT void *valloc(size_t size)
{
    COUNT("valloc");
    return __libc_valloc(size);
}

EXPORT void *pvalloc(size_t size)
{
    COUNT("pvalloc");
    return __libc_pvalloc(size);
}

JNIEXPORT void JNICALL Java_org_vorn_bench_AllocationCounter_reportAllocs(JNIEnv *env, jclass cls, jboolean on)
{
    (void)env;
    (void)cls;
    static int unwinderLoaded;
    if (on && !unwinderLoaded) {
        void *frames[2];
        backtrace(frames, 2);
        unwinderLoaded = 1;
    }
    reportAllocs = on ? 1 : 0;
}

JNIEXPORT jlong JNICALL Java_org_vorn_bench_AllocationCounter_allocCount(JNIEnv *env, jclass cls)
{
    (void)env;
    (void)cls;
    return (jlong)hotPathAllocs;
}

/* The counter must be able to see what it is there to see: n allocations made under this library's
 * own code, in a reporting window, must all be attributed to the hot path. Returns how many were. */
static void *(*volatile allocateForCheck)(size_t) = malloc;

static __attribute__((noinline)) void allocateInLoop(int n)
{
    for (int i = 0; i < n; ++i) {
        free(allocateForCheck(16));
    }
}

JNIEXPORT jlong JNICALL Java_org_vorn_bench_AllocationCounter_selfCheckAllocs(JNIEnv *env, jclass cls, jint n)
{
    Java_org_vorn_bench_AllocationCounter_reportAllocs(env, cls, JNI_TRUE);
    quietReports = 1;
    const unsigned long long before = hotPathAllocs;
    allocateInLoop(n);
    const unsigned long long seen = hotPathAllocs - before;
    hotPathAllocs = before;
    quietReports = 0;
    Java_org_vorn_bench_AllocationCounter_reportAllocs(env, cls, JNI_FALSE);
    return (jlong)seen;
}

JNIEXPORT jlong JNICALL Java_org_vorn_bench_AllocationCounter_jvmAllocCount(JNIEnv *env, jclass cls)
{
    (void)env;
    (void)cls;
    return (jlong)jvmAllocs;
}
