// SPDX-License-Identifier: LGPL-2.1-or-later
/* Wall-clock time in microseconds and the CPU affinity of the calling Java thread. */
#include "org_vorn_util_OsUtil.h"

#include <sys/time.h>

#ifndef __APPLE__
#include "util.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#endif

#ifndef __APPLE__
namespace {

/* One class for every affinity failure, whatever the errno: the message carries the system's own
 * text, which tells a refused mask (EINVAL) from a denied thread (EPERM). */
constexpr const char *AFFINITY_EXCEPTION = "java/lang/IllegalStateException";

/* The same set as taskpin's: 128 bytes, CPUs 0 to 63 in the first word, the rest zero. */
union AffinitySet {
    cpu_set_t set;
    unsigned long long words[sizeof(cpu_set_t) / sizeof(unsigned long long)];
};
static_assert(sizeof(cpu_set_t) == 128, "the affinity calls are given a 128-byte set");

/* strerror() may share its buffer between threads; any Java thread may land here. */
const char *errorText(int error, char *buf, size_t size)
{
    return strerror_r(error, buf, size);
}

} // namespace
#endif

extern "C" {

JNIEXPORT jlong JNICALL Java_org_vorn_util_OsUtil_getTimeOfDay(JNIEnv *, jclass)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    /* 32-bit time_t or suseconds_t would overflow before the sum is widened. */
    return static_cast<jlong>(tv.tv_sec) * 1000000 + static_cast<jlong>(tv.tv_usec);
}

#ifdef __APPLE__

/* macOS has no way to pin a thread to a CPU set. */
JNIEXPORT void JNICALL Java_org_vorn_util_OsUtil_setAffinity(JNIEnv *, jclass, jlong)
{
}

JNIEXPORT jlong JNICALL Java_org_vorn_util_OsUtil_getAffinity(JNIEnv *, jclass)
{
    return 0;
}

#else

/* Thread ID 0: the kernel applies the mask to the calling thread only, not the whole JVM. */
JNIEXPORT void JNICALL Java_org_vorn_util_OsUtil_setAffinity(JNIEnv *env, jclass, jlong mask)
{
    AffinitySet cpus;
    memset(&cpus, 0, sizeof cpus);
    cpus.words[0] = static_cast<unsigned long long>(mask);
    if (sched_setaffinity(0, sizeof cpus.set, &cpus.set) != 0) {
        char buf[256];
        const char *text = errorText(errno, buf, sizeof buf);
        throwFormattedException(env, AFFINITY_EXCEPTION, "Error setting CPU affinity to %016llx: %s",
                                static_cast<unsigned long long>(mask), text);
    }
}

JNIEXPORT jlong JNICALL Java_org_vorn_util_OsUtil_getAffinity(JNIEnv *env, jclass)
{
    AffinitySet cpus;
    if (sched_getaffinity(0, sizeof cpus.set, &cpus.set) != 0) {
        char buf[256];
        const char *text = errorText(errno, buf, sizeof buf);
        throwFormattedException(env, AFFINITY_EXCEPTION, "Error getting CPU affinity: %s", text);
        return 0;
    }
    return static_cast<jlong>(cpus.words[0]);
}

#endif

} // extern "C"
