// SPDX-License-Identifier: LGPL-2.1-or-later
// OsUtil.getTimeOfDay over clock readings the test chooses. The wall clock cannot be set without
// privileges, so this executable supplies its own gettimeofday: the object modules linked into it
// bind to this definition, which hands out a chosen reading while one is set and otherwise passes
// the call on to the C library.
#include "org_vorn_util_OsUtil.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/time.h>

#include <cstdint>
#include <ctime>

namespace {

bool g_fakeClock = false;
struct timeval g_reading;
int g_calls = 0;

class ClockReading {
public:
    ClockReading(time_t seconds, suseconds_t micros)
    {
        g_reading.tv_sec = seconds;
        g_reading.tv_usec = micros;
        g_calls = 0;
        g_fakeClock = true;
    }
    ~ClockReading() { g_fakeClock = false; }
};

jlong timeOfDay()
{
    return Java_org_vorn_util_OsUtil_getTimeOfDay(nullptr, nullptr);
}

} // namespace

extern "C" int gettimeofday(struct timeval *tv, void *tz) noexcept
{
    if (g_fakeClock) {
        ++g_calls;
        *tv = g_reading;
        return 0;
    }
    using Real = int (*)(struct timeval *, void *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gettimeofday"));
    return real(tv, tz);
}

TEST(OsUtilTimeOfDay, OneSecondAndFiveMicrosecondsAfterTheEpoch)
{
    ClockReading reading(1, 5);
    EXPECT_EQ(timeOfDay(), 1000005);
    EXPECT_EQ(g_calls, 1);
}

TEST(OsUtilTimeOfDay, TheEpochItself)
{
    ClockReading reading(0, 0);
    EXPECT_EQ(timeOfDay(), 0);
}

TEST(OsUtilTimeOfDay, ProductNeedsSixtyFourBits)
{
    // 2^31 - 1 seconds is the last second a 32-bit clock holds; times 10^6 it needs 51 bits.
    ClockReading reading(INT32_MAX, 999999);
    EXPECT_EQ(timeOfDay(), INT64_C(2147483647999999));
}

TEST(OsUtilTimeOfDay, SecondsBeyondTheYear2038)
{
    ClockReading reading(INT64_C(4102444800), 123456); // 2100-01-01 00:00:00.123456 UTC
    EXPECT_EQ(timeOfDay(), INT64_C(4102444800123456));
}

TEST(OsUtilTimeOfDay, MicrosecondsKeepTheirSign)
{
    {
        ClockReading reading(-1, 999999); // 1969-12-31 23:59:59.999999
        EXPECT_EQ(timeOfDay(), -1);
    }
    {
        ClockReading reading(2, -5);
        EXPECT_EQ(timeOfDay(), 1999995);
    }
}

TEST(OsUtilTimeOfDay, FollowsTheRealClock)
{
    struct timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    const jlong micros = timeOfDay();
    clock_gettime(CLOCK_REALTIME, &after);
    // The clock is read at microsecond resolution: compare in whole microseconds, rounding down.
    const int64_t low = static_cast<int64_t>(before.tv_sec) * 1000000 + before.tv_nsec / 1000;
    const int64_t high = static_cast<int64_t>(after.tv_sec) * 1000000 + after.tv_nsec / 1000;
    EXPECT_GE(micros, low);
    EXPECT_LE(micros, high);
}
