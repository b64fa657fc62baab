// SPDX-License-Identifier: LGPL-2.1-or-later
/* The two clocks every C reference loop of the benchmarks reads: the monotonic one (System.nanoTime's)
 * and the calling thread's CPU time, both in nanoseconds. */
#ifndef VORN_BENCH_CLOCK_H
#define VORN_BENCH_CLOCK_H

#include <stdint.h>
#include <time.h>

static inline int64_t benchMonotonicNs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static inline int64_t benchThreadCpuNs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

#endif
