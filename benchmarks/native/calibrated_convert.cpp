// SPDX-License-Identifier: LGPL-2.1-or-later
/* The conversion alone, as stream_read runs it: the same 16-bit codes of eight positions (±10 V
 * and ±5 V alternating) through the linear loop (rawToPhys) and through the calibrated loop
 * (convertCalibratedAs with the softcal board's polynomials), timed in C so that neither the read
 * nor the JNI crossing hides the difference. */
#include <cstdlib>
#include <ctime>

#include "calibration.h"
#include "org_vorn_bench_CReference.h"
#include "bench_clock.h"

namespace {

constexpr int kPositions = 8;

} // namespace

/* ns per sample of `reps` passes over `samples` codes: out[0] linear, out[1] calibrated; false if
 * the calibration file lacks a polynomial for the two ranges. */
extern "C" JNIEXPORT jboolean JNICALL Java_org_vorn_bench_CReference_cConvertOnly(JNIEnv *env, jclass, jstring file,
                                                                                 jint samples, jint reps,
                                                                                 jdoubleArray out)
{
    const char *path = env->GetStringUTFChars(file, nullptr);
    comedi_calibration_t *cal = path != nullptr ? comedi_parse_calibration_file(path) : nullptr;
    if (path != nullptr) {
        env->ReleaseStringUTFChars(file, path);
    }
    ComediHandle *h = static_cast<ComediHandle *>(calloc(1, sizeof(ComediHandle)));
    uint16_t *raw = static_cast<uint16_t *>(malloc(sizeof(uint16_t) * static_cast<size_t>(samples)));
    double *volts = static_cast<double *>(malloc(sizeof(double) * static_cast<size_t>(samples)));
    bool ok = cal != nullptr && h != nullptr && raw != nullptr && volts != nullptr;
    if (ok) {
        h->nChannels = kPositions;
    }
    for (int p = 0; ok && p < kPositions; ++p) {
        const double span = p % 2 == 0 ? 10.0 : 5.0;
        h->rangeInfo[p] = comedi_range{-span, span, UNIT_volt};
        h->maxSample[p] = 65535;
        comedi_polynomial_t poly;
        ok = comedi_get_softcal_converter(0, static_cast<unsigned>(p), p % 2, COMEDI_TO_PHYSICAL, cal, &poly) == 0;
        h->conversion[p] = VornConversion{poly.expansion_origin, 1.0, {0, 0, 0, 0}};
        for (unsigned n = 0; ok && n <= poly.order; ++n) {
            h->conversion[p].c[n] = poly.coefficients[n];
        }
    }
    if (ok) {
        for (int k = 0; k < samples; ++k) {
            raw[k] = static_cast<uint16_t>((k * 40503u) & 0xffff);
        }
        const bool numbers = comediConvertsRangeEnds();
        double linear = 0, calibrated = 0;
        for (int r = 0; r < reps; ++r) {
            long long t0 = benchMonotonicNs();
            int position = 0;
            for (int k = 0; k < samples; ++k) {
                volts[k] = rawToPhys(raw[k], &h->rangeInfo[position], h->maxSample[position], numbers);
                if (++position == kPositions) {
                    position = 0;
                }
            }
            long long t1 = benchMonotonicNs();
            convertCalibratedAs<uint16_t>(reinterpret_cast<const unsigned char *>(raw), samples, 0, h,
                                          reinterpret_cast<unsigned char *>(volts));
            long long t2 = benchMonotonicNs();
            linear += static_cast<double>(t1 - t0);
            calibrated += static_cast<double>(t2 - t1);
        }
        const jdouble perSample[2] = {linear / (static_cast<double>(reps) * samples),
                                      calibrated / (static_cast<double>(reps) * samples)};
        env->SetDoubleArrayRegion(out, 0, 2, perSample);
    }
    if (cal != nullptr) {
        comedi_cleanup_calibration(cal);
    }
    free(h);
    free(raw);
    free(volts);
    return ok ? JNI_TRUE : JNI_FALSE;
}
