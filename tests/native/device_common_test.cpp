// SPDX-License-Identifier: LGPL-2.1-or-later
// rawToPhys, the per-sample conversion of the input hot paths, against comedilib's comedi_to_phys:
// bit for bit, over every raw value of 16- and 18-bit ranges, a sample of 32-bit ones, raw values
// past maxdata, maxdata 0, and with comedilib in either out-of-range mode.
#include "device_common.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

uint64_t bitsOf(double v)
{
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    return bits;
}

std::vector<comedi_range> testRanges()
{
    return {
        {-10.0, 10.0, UNIT_volt}, {-5.0, 5.0, UNIT_volt},   {-1.0, 1.0, UNIT_volt},
        {0.0, 10.0, UNIT_volt},   {0.0, 5.0, UNIT_volt},    {0.004, 0.02, UNIT_mA},
        {-0.1234567, 3.3e-3, UNIT_volt}, {-3.0, -1.0, UNIT_volt}, {-1e-6, 7.77, UNIT_volt},
        {2.5, -2.5, UNIT_volt},   {-1e300, 1e300, UNIT_none}, {1.0 / 3.0, 2.0 / 3.0, UNIT_volt},
    };
}

class PhysConversion : public ::testing::Test {
protected:
    void SetUp() override { previous_ = comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER); }
    void TearDown() override { comedi_set_global_oor_behavior(static_cast<comedi_oor_behavior>(previous_)); }

    /* Counts the raw values whose conversion differs from comedilib's, reporting the first. */
    static long mismatches(comedi_range range, lsampl_t maxdata, const std::vector<lsampl_t> &raws, bool numbers)
    {
        long count = 0;
        for (lsampl_t raw : raws) {
            const double mine = rawToPhys(raw, &range, maxdata, numbers);
            const double theirs = comedi_to_phys(raw, &range, maxdata);
            if (bitsOf(mine) != bitsOf(theirs)) {
                if (count == 0) {
                    ADD_FAILURE() << "raw " << raw << " maxdata " << maxdata << " range [" << range.min << ", "
                                  << range.max << "]: " << mine << " vs comedilib " << theirs;
                }
                ++count;
            }
        }
        return count;
    }

    static std::vector<lsampl_t> allUpTo(lsampl_t last)
    {
        std::vector<lsampl_t> raws;
        for (uint64_t raw = 0; raw <= last; ++raw) {
            raws.push_back(static_cast<lsampl_t>(raw));
        }
        return raws;
    }

private:
    int previous_ = COMEDI_OOR_NAN;
};

TEST_F(PhysConversion, EveryRawValueOfA16BitRangeAndBeyondMaxdata)
{
    /* NUMBER mode does not clamp: values past maxdata (a 16-bit sample on an odd board) convert too. */
    const std::vector<lsampl_t> raws = allUpTo(70000);
    for (const comedi_range &range : testRanges()) {
        EXPECT_EQ(mismatches(range, 65535, raws, true), 0);
    }
}

TEST_F(PhysConversion, EveryRawValueOfOddWidths)
{
    for (lsampl_t maxdata : {1u, 255u, 4095u, 262143u, 1000u, 65534u}) {
        const std::vector<lsampl_t> raws = allUpTo(maxdata);
        for (const comedi_range &range : testRanges()) {
            EXPECT_EQ(mismatches(range, maxdata, raws, true), 0) << "maxdata " << maxdata;
        }
    }
}

TEST_F(PhysConversion, SampleOf32BitRawValues)
{
    std::mt19937 random(20261208);
    std::vector<lsampl_t> raws = {0u, 1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (int i = 0; i < 200000; ++i) {
        raws.push_back(static_cast<lsampl_t>(random()));
    }
    for (lsampl_t maxdata : {0xFFFFFFFFu, 0xFFFFFFu, 262143u, 3u}) {
        for (const comedi_range &range : testRanges()) {
            EXPECT_EQ(mismatches(range, maxdata, raws, true), 0) << "maxdata " << maxdata;
        }
    }
}

TEST_F(PhysConversion, MaxdataZeroIsComedilibsNaN)
{
    comedi_range range = {-10.0, 10.0, UNIT_volt};
    for (lsampl_t raw : {0u, 1u, 65535u}) {
        const double mine = rawToPhys(raw, &range, 0, true);
        EXPECT_TRUE(std::isnan(mine));
        EXPECT_EQ(bitsOf(mine), bitsOf(comedi_to_phys(raw, &range, 0)));
    }
}

TEST_F(PhysConversion, ProbeFollowsTheOutOfRangeMode)
{
    EXPECT_TRUE(comediConvertsRangeEnds());
    comedi_set_global_oor_behavior(COMEDI_OOR_NAN);
    EXPECT_FALSE(comediConvertsRangeEnds());
    /* In NaN mode the ends are NaN, and what the probe told the loop keeps the values comedilib's. */
    const std::vector<lsampl_t> raws = allUpTo(65535);
    for (const comedi_range &range : testRanges()) {
        EXPECT_EQ(mismatches(range, 65535, raws, comediConvertsRangeEnds()), 0);
    }
    comedi_range range = {-10.0, 10.0, UNIT_volt};
    EXPECT_TRUE(std::isnan(rawToPhys(0, &range, 65535, comediConvertsRangeEnds())));
    EXPECT_TRUE(std::isnan(rawToPhys(65535, &range, 65535, comediConvertsRangeEnds())));
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);
    EXPECT_TRUE(comediConvertsRangeEnds());
    EXPECT_EQ(rawToPhys(0, &range, 65535, true), -10.0);
    EXPECT_EQ(rawToPhys(65535, &range, 65535, true), 10.0);
}

/* The comparison has teeth: the tempting shortcut, a multiplication by the reciprocal of maxdata,
 * rounds differently for some 16-bit values, and the bit comparison sees it. */
TEST_F(PhysConversion, ReciprocalShortcutWouldBeCaught)
{
    comedi_range range = {-10.0, 10.0, UNIT_volt};
    const double reciprocal = 1.0 / 65535.0;
    long differing = 0;
    for (lsampl_t raw = 0; raw <= 65535; ++raw) {
        volatile double x = raw;
        x = x * reciprocal;
        x = x * (range.max - range.min);
        x = x + range.min;
        if (bitsOf(x) != bitsOf(comedi_to_phys(raw, &range, 65535))) {
            ++differing;
        }
    }
    EXPECT_GT(differing, 0);
}

} // namespace
