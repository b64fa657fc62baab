/* The raw form of the streaming read (codes as the driver delivers them, for storage that keeps
 * them unconverted) and what converts each scan position's codes to volts. It shares the stream's
 * position with every other read form. */
#include <cstdint>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogStreamingDevice.h"
#include "stream_read.h"
#include "util.h"

extern "C" {

JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nScanRaw(JNIEnv *env, jobject,
                                                                                     jobject handle, jobject buf)
{
    unsigned char *out = nullptr;
    ComediHandle *h = getComediHandleAndData(env, handle, buf, "raw sample buffer", &out);
    if (h == nullptr || !requireReadableStream(env, h, "Error polling device")) {
        return 0;
    }
    const jlong capacity = env->GetDirectBufferCapacity(buf);
    if (capacity < h->bufferSize) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The raw sample buffer holds %lld bytes, needs at least %d",
                                static_cast<long long>(capacity), h->bufferSize);
        return 0;
    }
    int condition = STREAM_RUNNING;
    const int ready = readySamples(env, h, &condition);
    if (ready < 0) {
        return 0;
    }
    const int n = samplesToTake(h, ready, h->bufferSize / h->bytesPerSample, false);
    if (n == 0) {
        return packReadResult(0, condition);
    }
    const int got = drainSamples(env, h, out, n, &condition);
    return got < 0 ? 0 : packReadResult(got, condition);
}

JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nGetConversion(JNIEnv *env, jobject,
                                                                                           jobject handle,
                                                                                           jint position,
                                                                                           jdoubleArray range)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return 0;
    }
    if (position < 0 || position >= h->nChannels || position >= MAX_CHANNELS) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Scan position %d is outside 0..%d of %s", position,
                                h->nChannels - 1, h->deviceName != nullptr ? h->deviceName : "(none)");
        return 0;
    }
    if (range == nullptr || env->GetArrayLength(range) < 3) {
        throwException(env, COMEDI_EXCEPTION, "The range array must hold 3 values");
        return 0;
    }
    const comedi_range &r = h->rangeInfo[position];
    const jdouble values[3] = {r.min, r.max, static_cast<jdouble>(r.unit)};
    env->SetDoubleArrayRegion(range, 0, 3, values);
    return static_cast<jlong>(h->maxSample[position]);
}

JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nGetBytesPerSample(JNIEnv *env, jobject,
                                                                                              jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    return h == nullptr ? 0 : h->bytesPerSample;
}

} // extern "C"
