// SPDX-License-Identifier: LGPL-2.1-or-later
// OsUtil's affinity natives when the system call fails, inside the embedded JVM. A read of the
// calling thread's own affinity does not fail on Linux, so this executable supplies its own
// sched_getaffinity: on a thread that asked for it, the next call fails with a chosen errno;
// every other call (the JVM's own included) goes on to the C library.
#include "org_vorn_util_OsUtil.h"

#include <jni.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <sched.h>

#include <cstring>
#include <string>

#include "embedded_jvm.h"

namespace {

thread_local int t_failNextRead = 0;
thread_local int t_reads = 0;

JNIEnv *jniEnv()
{
    return embeddedJvmEnv();
}

class OsUtilAffinityFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        env = jniEnv();
        ASSERT_NE(env, nullptr);
        ASSERT_FALSE(env->ExceptionCheck());
        t_failNextRead = 0;
        t_reads = 0;
    }
    void TearDown() override { t_failNextRead = 0; }
    JNIEnv *env = nullptr;
};

} // namespace

extern "C" int sched_getaffinity(pid_t pid, size_t size, cpu_set_t *set) noexcept
{
    ++t_reads;
    if (t_failNextRead != 0) {
        errno = t_failNextRead;
        t_failNextRead = 0;
        return -1;
    }
    using Real = int (*)(pid_t, size_t, cpu_set_t *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "sched_getaffinity"));
    return real(pid, size, set);
}

TEST_F(OsUtilAffinityFailure, ReadThatSucceedsRaisesNothing)
{
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    unsigned long long first;
    memcpy(&first, &set, sizeof first);

    EXPECT_EQ(static_cast<unsigned long long>(Java_org_vorn_util_OsUtil_getAffinity(env, nullptr)), first);
    EXPECT_EQ(takeException(env), "(none)");
}

TEST_F(OsUtilAffinityFailure, FailedReadRaisesWithTheSystemText)
{
    t_failNextRead = EINVAL;
    EXPECT_EQ(Java_org_vorn_util_OsUtil_getAffinity(env, nullptr), 0);
    EXPECT_EQ(t_reads, 1);
    EXPECT_EQ(takeException(env), "java.lang.IllegalStateException: Error getting CPU affinity: Invalid argument");

    t_failNextRead = EFAULT;
    EXPECT_EQ(Java_org_vorn_util_OsUtil_getAffinity(env, nullptr), 0);
    EXPECT_EQ(takeException(env), "java.lang.IllegalStateException: Error getting CPU affinity: Bad address");
}

TEST_F(OsUtilAffinityFailure, RefusedMaskRaisesWithTheMaskAndTheSystemText)
{
    Java_org_vorn_util_OsUtil_setAffinity(env, nullptr, 0);
    EXPECT_EQ(takeException(env),
              "java.lang.IllegalStateException: Error setting CPU affinity to 0000000000000000: Invalid argument");
}

TEST_F(OsUtilAffinityFailure, FirstFailureIsTheOneJavaSees)
{
    Java_org_vorn_util_OsUtil_setAffinity(env, nullptr, 0);
    t_failNextRead = EINVAL;
    EXPECT_EQ(Java_org_vorn_util_OsUtil_getAffinity(env, nullptr), 0);
    EXPECT_EQ(takeException(env),
              "java.lang.IllegalStateException: Error setting CPU affinity to 0000000000000000: Invalid argument");
}
