// SPDX-License-Identifier: LGPL-2.1-or-later
/* Regeneration through the driver's ring: the kernel's output command takes each scan once and
 * leaves the bytes it took in place, so a ring that holds a whole number of periods, filled once
 * through the buffer's writable mapping, holds the next lap already wherever the board has taken
 * the last one. Marking those bytes written again (COMEDI_BUFINFO) is all a lap needs. */
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogStreamingOutDevice.h"
#include "stream_output.h"
#include "util.h"

namespace {

int64_t greatestCommonDivisor(int64_t a, int64_t b)
{
    while (b != 0) {
        const int64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

/* The handle of a streaming output whose scans are `scanBytes`, or null with an exception pending. */
ComediHandle *outputHandle(JNIEnv *env, jobject handle, const char *what, int *scanBytes)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, what)) {
        return nullptr;
    }
    *scanBytes = h->nChannels * h->bytesPerSample;
    /* Another device's handle (an input's has a raw buffer too) never gets its file mapped for writing. */
    if (h->sampleBuffer == nullptr || *scanBytes <= 0 || h->bufferSize < *scanBytes || h->subdevFlags == -1 ||
        (h->subdevFlags & SDF_CMD_WRITE) == 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "%s: %s", what, "the handle is not a streaming output's");
        return nullptr;
    }
    return h;
}

} // namespace

extern "C" {

/* The driver buffer for a regenerated period of `periodBytes`: the present size when it holds a
 * whole number of periods or `mayResize` is false; otherwise the nearest size that does (a
 * multiple of the page too, as the core rounds to pages) at or above the present one, or below it
 * when that passes the driver's maximum. Returns the size the driver then reports. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nRegenerationBufferSize(
    JNIEnv *env, jobject, jobject handle, jint periodBytes, jboolean mayResize)
{
    int scanBytes;
    ComediHandle *h = outputHandle(env, handle, "Error sizing the driver buffer", &scanBytes);
    if (h == nullptr) {
        return 0;
    }
    if (periodBytes <= 0 || periodBytes % scanBytes != 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "A period of %d bytes is no whole number of %d-byte scans",
                                periodBytes, scanBytes);
        return 0;
    }
    /* The buffer of a subdevice still held by a past command cannot be resized. */
    const int size = idleOutputBufferSize(env, h);
    if (size <= 0) {
        return 0;
    }
    if (size % periodBytes == 0 || !mayResize) {
        return size;
    }
    const long page = sysconf(_SC_PAGESIZE);
    const int64_t pageBytes = page > 0 ? page : 4096;
    const int64_t unit = periodBytes / greatestCommonDivisor(periodBytes, pageBytes) * pageBytes;
    const int max = comedi_get_max_buffer_size(h->dev, h->subdev);
    int64_t want = (size + unit - 1) / unit * unit;
    if (max > 0 && want > max) {
        want = max / unit * unit;
    }
    if (want <= 0 || want > INT32_MAX) {
        return size; /* no size the driver allows holds whole periods: the writes refill */
    }
    const int got = comedi_set_buffer_size(h->dev, h->subdev, static_cast<unsigned>(want));
    return got > 0 ? got : size;
}

/* Through a writable mapping of the armed command's ring (`driverBytes`, whole periods): stores
 * the period's codes in every period of it, or with `check` compares the ring with them (a driver
 * that converts the codes in place as they are marked written, as some do for bipolar ranges,
 * leaves other bytes there, and the next lap must then be written). Returns 1 when stored or
 * equal, 0 when they differ, -1 when the driver refuses the mapping. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nRegenerationRing(
    JNIEnv *env, jobject, jobject handle, jobject codes, jint periodScans, jint driverBytes, jboolean check)
{
    int scanBytes;
    ComediHandle *h = outputHandle(env, handle, "Error mapping the driver buffer", &scanBytes);
    if (h == nullptr) {
        return -1;
    }
    const unsigned char *period = static_cast<unsigned char *>(getDataBufferAddress(env, codes, "period buffer"));
    if (period == nullptr) {
        return -1;
    }
    const int64_t periodBytes = static_cast<int64_t>(periodScans) * scanBytes;
    if (periodScans <= 0 || env->GetDirectBufferCapacity(codes) < periodBytes || driverBytes <= 0 ||
        driverBytes % periodBytes != 0 || comedi_get_buffer_size(h->dev, h->subdev) != driverBytes) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "A ring of %d bytes does not hold whole periods of %d scans of %d bytes", driverBytes,
                                periodScans, scanBytes);
        return -1;
    }
    /* The core maps the write subdevice's ring only for a writable mapping, so the check's too. */
    void *ring = mmap(nullptr, static_cast<size_t>(driverBytes), PROT_READ | PROT_WRITE, MAP_SHARED,
                      comedi_fileno(h->dev), 0);
    if (ring == MAP_FAILED) {
        return -1;
    }
    unsigned char *bytes = static_cast<unsigned char *>(ring);
    int result = 1;
    for (int64_t at = 0; at < driverBytes; at += periodBytes) {
        if (!check) {
            memcpy(bytes + at, period, static_cast<size_t>(periodBytes));
        } else if (memcmp(bytes + at, period, static_cast<size_t>(periodBytes)) != 0) {
            result = 0;
            break;
        }
    }
    (void)munmap(ring, static_cast<size_t>(driverBytes));
    return result;
}

/* Converts the first `samples` values of `volts` (whole scans) into `codes`, as the writes convert
 * them. Returns the index of the first NaN (the values from it on not converted), or -1. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nConvertVolts(
    JNIEnv *env, jobject, jobject handle, jdoubleArray volts, jobject codes, jint samples)
{
    int scanBytes;
    ComediHandle *h = outputHandle(env, handle, "Error converting volts", &scanBytes);
    if (h == nullptr) {
        return -1;
    }
    unsigned char *out = static_cast<unsigned char *>(getDataBufferAddress(env, codes, "code buffer"));
    if (out == nullptr) {
        return -1;
    }
    if (volts == nullptr || samples < 0 || samples % h->nChannels != 0 || env->GetArrayLength(volts) < samples ||
        env->GetDirectBufferCapacity(codes) < static_cast<int64_t>(samples) * h->bytesPerSample) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Converting %d values needs whole scans and room for them",
                                samples);
        return -1;
    }
    void *array = env->GetPrimitiveArrayCritical(volts, nullptr);
    if (array == nullptr) {
        return -1; /* OutOfMemoryError pending */
    }
    const int nan = convertOutputVolts(h, static_cast<unsigned char *>(array), samples, out);
    env->ReleasePrimitiveArrayCritical(volts, array, JNI_ABORT);
    return nan;
}

} // extern "C"
