// SPDX-License-Identifier: LGPL-2.1-or-later
// The conversion the converting loops take on a device with a calibrated position: its linear
// forms are rawToPhys and comedi_from_phys to the bit (so a position without a polynomial reads
// what it read before), and a calibration polynomial is comedilib's comedi_to_physical.
#include "calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

uint64_t bitsOf(double v)
{
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    return bits;
}

const comedi_range kRanges[] = {{-10.0, 10.0, UNIT_volt}, {-5.0, 5.0, UNIT_volt}, {0.0, 5.0, UNIT_volt},
                                {-0.1234567, 3.3e-3, UNIT_volt}, {1.0 / 3.0, 2.0 / 3.0, UNIT_volt}};

TEST(Calibration, LinearFormsAreTheLinearMapToTheBit)
{
    const int previous = comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);
    for (lsampl_t maxdata : {65535u, 262143u, 4095u}) {
        for (comedi_range range : kRanges) {
            const VornConversion in = linearConversion(range, maxdata, false);
            const VornConversion out = linearConversion(range, maxdata, true);
            long differ = 0;
            for (lsampl_t raw = 0; raw <= maxdata; ++raw) {
                differ += bitsOf(evalConversion(&in, raw)) != bitsOf(rawToPhys(raw, &range, maxdata, true));
                const double volts = range.min + (range.max - range.min) * ((raw + 0.37) / maxdata) - 0.01;
                differ += conversionToRaw(&out, volts, maxdata) != comedi_from_phys(volts, &range, maxdata);
            }
            EXPECT_EQ(differ, 0) << "maxdata " << maxdata << " range [" << range.min << ", " << range.max << "]";
        }
    }
    comedi_set_global_oor_behavior(static_cast<comedi_oor_behavior>(previous));
}

TEST(Calibration, PolynomialsAreComedilibsOfEveryOrder)
{
    const double c[4] = {-0.0335, 1.5488e-4, -1.397e-11, 2.5e-16};
    for (unsigned order = 0; order <= 3; ++order) {
        comedi_polynomial_t p{};
        p.order = order;
        p.expansion_origin = 32768.0;
        VornConversion k{32768.0, 1.0, {0, 0, 0, 0}};
        for (unsigned n = 0; n <= order; ++n) {
            p.coefficients[n] = c[n];
            k.c[n] = c[n];
        }
        for (lsampl_t raw : {0u, 1u, 32767u, 32768u, 40000u, 65535u}) {
            const double theirs = comedi_to_physical(raw, &p);
            EXPECT_NEAR(evalConversion(&k, raw), theirs, 1e-15 * (1 + std::fabs(theirs))) << "order " << order;
        }
    }
}

} // namespace
