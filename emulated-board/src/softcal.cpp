// SPDX-License-Identifier: LGPL-2.1-or-later
// The converters of the softcal board: a gain, an offset and a second-order error per range, so
// that only the polynomials of its calibration file (emulated-board/softcal.calibration) give the
// true voltages, as on boards that the kernel marks SDF_SOFT_CALIBRATED.
//
// With M = 32768 (mid-scale), s = (max - min) / maxdata and the ideal code u(v) = (v - min) / s:
//   ADC: the code c nearest the solution of  u(v) = M + O + (1 + G)(c - M) + E (c - M)^2 / M
//   DAC: code c puts out the v whose u(v) solves  c = M + O + (1 + G)(u - M) + E (u - M)^2 / M
// Both are the same quadratic in z = c - M (ADC) or u - M (DAC), solved for the root near the
// linear one.
#include <cmath>

#include "softcal.h"

namespace emu {

namespace {

constexpr double kMid = 32768.0;

// Per range, in the board's range order; README "softcal" documents the same numbers.
const ConverterError kAiError[] = {
    {-0.02, 150.0, 0.004},   // ±10 V
    {0.015, -220.0, -0.003}, // ±5 V
    {-0.01, 90.0, 0.002},    // ±1 V
    {0.01, -120.0, 0.003},   // 0..10 V
    {-0.015, 180.0, -0.002}, // 0..5 V (no entry in the calibration file)
};
const ConverterError kAoError[] = {
    {0.02, -180.0, 0.003},   // ±10 V
    {0.012, 140.0, -0.002},  // 0..10 V
};

// z with E z^2 / M + (1 + G) z + (M + O - target) = 0, the root that tends to the linear one as
// E goes to 0; beyond the reach of the parabola, its vertex (the code is clamped afterwards).
double solve(const ConverterError &e, double target) {
    const double a = e.square / kMid, b = 1.0 + e.gain, c = kMid + e.offset - target;
    const double disc = b * b - 4.0 * a * c;
    if (disc < 0) return -b / (2.0 * a);
    return -2.0 * c / (b + std::sqrt(disc));
}

double span(const Range &r, unsigned maxdata) { return (r.max_uv - r.min_uv) * 1e-6 / maxdata; }

} // namespace

const ConverterError &softcal_ai_error(unsigned range) { return kAiError[range]; }
const ConverterError &softcal_ao_error(unsigned range) { return kAoError[range]; }

unsigned softcal_adc(double v, const SubdevDesc &sd, unsigned range) {
    const Range &r = sd.ranges[range];
    const double u = (v - r.min_uv * 1e-6) / span(r, sd.maxdata);
    const double code = std::floor(kMid + solve(kAiError[range], u) + 0.5);
    if (!(code > 0)) return 0;
    if (code > sd.maxdata) return sd.maxdata;
    return unsigned(code);
}

double softcal_dac(unsigned raw, const SubdevDesc &sd, unsigned range) {
    const Range &r = sd.ranges[range];
    return r.min_uv * 1e-6 + span(r, sd.maxdata) * (kMid + solve(kAoError[range], raw));
}

} // namespace emu
