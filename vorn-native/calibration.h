// SPDX-License-Identifier: LGPL-2.1-or-later
/* Software calibration: where a subdevice is SDF_SOFT_CALIBRATED, each position converts with the
 * polynomial of the board's calibration file for its channel, range and direction, fetched once
 * when the position is configured; everywhere else the linear map of the range, as before. */
#ifndef VORN_CALIBRATION_H
#define VORN_CALIBRATION_H

#include <math.h>
#include <string.h>

#include "device_common.h"

/* What a position converts with; ComediAnalogDevice reads the same numbers (CalibrationState). */
enum CalibrationState {
    CALIBRATED = 0,
    UNCALIBRATED_NO_FILE = 1,
    UNCALIBRATED_NO_ENTRY = 2,
    CALIBRATION_NOT_NEEDED = 3,
    LINEAR_REQUESTED = 4,
};

/* Where the file comes from (ComediAnalogDevice.Calibration). */
enum CalibrationMode {
    CALIBRATION_DEFAULT_FILE = 0, /* comedilib's default path for the device */
    CALIBRATION_GIVEN_FILE = 1,   /* the program's path */
    CALIBRATION_LINEAR = 2,       /* the linear map, whatever the board needs */
};

/* The linear map of a range as a conversion (input: raw to volts, output: volts to code). */
VornConversion linearConversion(const comedi_range &range, lsampl_t maxdata, bool output);

/* After configComediChannel stored position i: its state and conversion[i]. Looks for the file
 * the first time a position needs it. */
void configurePositionCalibration(ComediHandle *h, int i);

/* Frees the parsed file and the program's path; harmless when there are none. */
void releaseCalibration(ComediHandle *h);

/* The conversion of x, as the Java record ComediPolynomial computes it: u = (x - origin) /
 * divisor, then Horner over the four coefficients. The linear forms (calibration.cpp) make this
 * rawToPhys and physToRaw to the bit; the empty asm keeps every product a rounded double, so
 * Java and numpy reproduce it. */
static inline double evalConversion(const VornConversion *k, double x)
{
    const double u = (x - k->origin) / k->divisor;
    double r = k->c[3] * u;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(r));
#endif
    r += k->c[2];
    r *= u;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(r));
#endif
    r += k->c[1];
    r *= u;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(r));
#endif
    r += k->c[0];
    return r;
}

/* An output position's code for `volts` (not NaN): the conversion's value rounded half up,
 * clamped to the codes of the channel, as physToRaw does for the linear map. */
static inline lsampl_t conversionToRaw(const VornConversion *k, double volts, lsampl_t maxdata)
{
    const double s = evalConversion(k, volts);
    if (!(s >= 0)) {
        return 0;
    }
    if (s > maxdata) {
        return maxdata;
    }
    return static_cast<lsampl_t>(floor(s + 0.5));
}

/* convertAs of stream_read with every position through its conversion: the loop a device with any
 * calibrated position runs, so a device without one keeps its loop and its values to the bit. */
template <typename Raw>
void convertCalibratedAs(const unsigned char *raw, int nSamples, int position, const ComediHandle *h,
                         unsigned char *out)
{
    const int nChannels = h->nChannels;
    for (int k = 0; k < nSamples; ++k) {
        Raw code;
        memcpy(&code, raw + sizeof(Raw) * static_cast<size_t>(k), sizeof code);
        const double value = evalConversion(&h->conversion[position], code);
        memcpy(out + 8 * static_cast<size_t>(k), &value, sizeof value);
        if (++position == nChannels) {
            position = 0;
        }
    }
}

#endif
