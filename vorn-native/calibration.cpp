// SPDX-License-Identifier: LGPL-2.1-or-later
/* Software calibration of analog positions through comedilib's calibration files, and the natives
 * of ComediAnalogDevice that choose the file and read what each position converts with. */
#include "calibration.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "org_vorn_acq_comedi_ComediAnalogDevice.h"
#include "org_vorn_acq_comedi_ComediDeviceDescription.h"
#include "util.h"

namespace {

bool isOutput(const ComediHandle *h)
{
    return comedi_get_subdevice_type(h->dev, h->subdev) == COMEDI_SUBD_AO;
}

} // namespace

/* Input raw / maxdata * (max - min) + min, output (volts - min) / (max - min) * maxdata: each
 * operation in the order of rawToPhys and physToRaw, and the terms Horner adds are exact zeros. */
VornConversion linearConversion(const comedi_range &range, lsampl_t maxdata, bool output)
{
    VornConversion k{};
    if (output) {
        k.origin = range.min;
        k.divisor = range.max - range.min;
        k.c[1] = maxdata;
    } else {
        k.origin = 0.0;
        k.divisor = maxdata;
        k.c[0] = range.min;
        k.c[1] = range.max - range.min;
    }
    return k;
}

namespace {

/* The parsed file, looked up once per handle and choice of file. A file for another driver or
 * board counts as none: its polynomials describe other converters. */
const comedi_calibration_t *calibrationFile(ComediHandle *h)
{
    if (h->calibrationLookup == 0) {
        char *path = h->calibrationMode == CALIBRATION_GIVEN_FILE ? h->calibrationPath
                                                                  : comedi_get_default_calibration_path(h->dev);
        /* comedilib's parser keeps what it allocated when it cannot open the file: ask first. */
        comedi_calibration_t *file =
            path != nullptr && access(path, R_OK) == 0 ? comedi_parse_calibration_file(path) : nullptr;
        if (path != h->calibrationPath) {
            free(path);
        }
        const char *driver = comedi_get_driver_name(h->dev);
        const char *board = comedi_get_board_name(h->dev);
        if (file != nullptr && (file->driver_name == nullptr || file->board_name == nullptr || driver == nullptr ||
                                board == nullptr || strcmp(file->driver_name, driver) != 0 ||
                                strcmp(file->board_name, board) != 0)) {
            comedi_cleanup_calibration(file);
            file = nullptr;
        }
        h->calibrationFile = file;
        h->calibrationLookup = file != nullptr ? 1 : -1;
    }
    return h->calibrationFile;
}

int fetchConversion(ComediHandle *h, int i, VornConversion *k)
{
    const bool output = isOutput(h);
    *k = linearConversion(h->rangeInfo[i], h->maxSample[i], output);
    const int flags = comedi_get_subdevice_flags(h->dev, h->subdev);
    if (flags == -1 || (flags & SDF_SOFT_CALIBRATED) == 0) {
        return CALIBRATION_NOT_NEEDED;
    }
    if (h->calibrationMode == CALIBRATION_LINEAR) {
        return LINEAR_REQUESTED;
    }
    const comedi_calibration_t *file = calibrationFile(h);
    if (file == nullptr) {
        return UNCALIBRATED_NO_FILE;
    }
    comedi_polynomial_t p;
    const unsigned chanspec = h->chanlist[i];
    if (comedi_get_softcal_converter(h->subdev, CR_CHAN(chanspec), CR_RANGE(chanspec),
                                     output ? COMEDI_FROM_PHYSICAL : COMEDI_TO_PHYSICAL, file, &p) != 0 ||
        p.order >= 4) {
        return UNCALIBRATED_NO_ENTRY;
    }
    *k = VornConversion{};
    k->origin = p.expansion_origin;
    k->divisor = 1.0;
    for (unsigned n = 0; n <= p.order; ++n) {
        k->c[n] = p.coefficients[n];
    }
    return CALIBRATED;
}

void countCalibrated(ComediHandle *h)
{
    int n = 0;
    for (int i = 0; i < h->nChannels && i < MAX_CHANNELS; ++i) {
        n += h->maxSample[i] != 0 && h->calibrationState[i] == CALIBRATED;
    }
    h->calibratedPositions = n;
}

} // namespace

void configurePositionCalibration(ComediHandle *h, int i)
{
    h->calibrationState[i] = static_cast<unsigned char>(fetchConversion(h, i, &h->conversion[i]));
    countCalibrated(h);
}

void releaseCalibration(ComediHandle *h)
{
    if (h->calibrationFile != nullptr) {
        comedi_cleanup_calibration(h->calibrationFile);
        h->calibrationFile = nullptr;
    }
    if (h->calibrationPath != nullptr) {
        free(h->calibrationPath);
        h->calibrationPath = nullptr;
    }
    h->calibrationLookup = 0;
}

extern "C" {

/* Chooses where the calibration comes from and fetches it again for every configured position. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogDevice_nSetCalibration(JNIEnv *env, jclass,
                                                                                   jobject handle, jint mode,
                                                                                   jstring path)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error choosing the calibration")) {
        return;
    }
    if (mode < CALIBRATION_DEFAULT_FILE || mode > CALIBRATION_LINEAR ||
        (mode == CALIBRATION_GIVEN_FILE && path == nullptr)) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error choosing the calibration: mode %d without a file",
                                static_cast<int>(mode));
        return;
    }
    char *copy = nullptr;
    if (mode == CALIBRATION_GIVEN_FILE) {
        copy = GetStringNativeChars(env, path);
        if (copy == nullptr) {
            return;
        }
    }
    releaseCalibration(h);
    h->calibrationMode = mode;
    h->calibrationPath = copy;
    for (int i = 0; i < h->nChannels && i < MAX_CHANNELS; ++i) {
        if (h->maxSample[i] != 0) {
            h->calibrationState[i] = static_cast<unsigned char>(fetchConversion(h, i, &h->conversion[i]));
        }
    }
    countCalibrated(h);
}

/* The position's state, and its conversion in `out` (origin, divisor, c0..c3); -1 when the
 * position has never been configured. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogDevice_nCalibration(JNIEnv *env, jclass, jobject handle,
                                                                                jint i, jdoubleArray out)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return -1;
    }
    if (i < 0 || i >= MAX_CHANNELS) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Maximum channels supported is %d, requesting %d", MAX_CHANNELS,
                                i);
        return -1;
    }
    if (out == nullptr || env->GetArrayLength(out) < 6) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The conversion array needs %d values", 6);
        return -1;
    }
    if (h->maxSample[i] == 0) {
        return -1;
    }
    const VornConversion &k = h->conversion[i];
    const jdouble fields[6] = {k.origin, k.divisor, k.c[0], k.c[1], k.c[2], k.c[3]};
    env->SetDoubleArrayRegion(out, 0, 6, fields);
    return h->calibrationState[i];
}

} // extern "C"

extern "C" {

/* The calibration file a device's software-calibrated subdevices would use: `path`, or comedilib's
 * default one; found[0] tells whether it parses as a file for this driver and board. */
JNIEXPORT jstring JNICALL Java_org_vorn_acq_comedi_ComediDeviceDescription_nCalibrationFile(JNIEnv *env, jclass,
                                                                                          jstring devString,
                                                                                          jstring path,
                                                                                          jbooleanArray found)
{
    if (found == nullptr || env->GetArrayLength(found) < 1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The found flag needs %d value", 1);
        return nullptr;
    }
    char *deviceName = GetStringNativeChars(env, devString);
    if (deviceName == nullptr) {
        return nullptr;
    }
    /* Only the fields calibrationFile reads; a whole record is too large for a JNI frame. */
    ComediHandle *h = static_cast<ComediHandle *>(calloc(1, sizeof(ComediHandle)));
    if (h == nullptr) {
        free(deviceName);
        throwFormattedException(env, "java/lang/OutOfMemoryError", "no memory to look for a calibration file");
        return nullptr;
    }
    h->dev = comedi_open(deviceName);
    if (h->dev == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error opening comedi device %s: %s", deviceName,
                                getComediError());
        free(deviceName);
        free(h);
        return nullptr;
    }
    free(deviceName);
    jstring result = nullptr;
    char *file = nullptr;
    if (path != nullptr) {
        h->calibrationMode = CALIBRATION_GIVEN_FILE;
        h->calibrationPath = GetStringNativeChars(env, path);
        file = h->calibrationPath;
    } else {
        file = comedi_get_default_calibration_path(h->dev);
    }
    if (file != nullptr) {
        const jboolean isFound = calibrationFile(h) != nullptr ? JNI_TRUE : JNI_FALSE;
        env->SetBooleanArrayRegion(found, 0, 1, &isFound);
        /* A path may hold any bytes; the JVM takes modified UTF-8 only. */
        const size_t size = 3 * strlen(file) + 1;
        char *text = static_cast<char *>(malloc(size));
        if (text != nullptr) {
            toModifiedUtf8(file, text, size);
            result = env->NewStringUTF(text);
            free(text);
        } else {
            throwFormattedException(env, "java/lang/OutOfMemoryError", "no memory for a calibration file's name");
        }
    }
    if (path == nullptr) {
        free(file);
    }
    releaseCalibration(h);
    comedi_close(h->dev);
    free(h);
    return result;
}

} // extern "C"
