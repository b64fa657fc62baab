// SPDX-License-Identifier: LGPL-2.1-or-later
/* The raw form of the streaming read (codes as the driver delivers them, for storage that keeps
 * them unconverted) and what converts each scan position's codes to volts. It shares the stream's
 * position with every other read form. */
#include <cstdint>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogStreamingDevice.h"
#include "stream_read.h"
#include "util.h"

namespace {

/* A read that found the stream over with nothing whole to deliver: a split sample kept from before
 * can never complete. Its bytes are dropped and their count goes to Java above the condition (bits
 * 8..15), which reports the lost sample. */
jlong endOfStreamResult(ComediHandle *h, int got, int condition)
{
    if (got > 0 || condition == STREAM_RUNNING || h->partialBytes == 0) {
        return packReadResult(got, condition);
    }
    const int lost = h->partialBytes;
    h->partialBytes = 0;
    return packReadResult(0, condition | (lost << 8));
}

/* The non-waiting read that both nScanRaw and nScanNow are: what is ready, up to the buffer size,
 * as raw codes or converted; the count and the stream's condition packed for Java. */
jlong readReady(JNIEnv *env, jobject handle, jobject buf, bool raw)
{
    unsigned char *out = nullptr;
    ComediHandle *h = getComediHandleAndData(env, handle, buf, raw ? "raw sample buffer" : "sample buffer", &out);
    if (h == nullptr || !requireReadableStream(env, h, "Error polling device")) {
        return 0;
    }
    const int bufSize = h->bufferSize / h->bytesPerSample;
    const jlong needed = raw ? h->bufferSize : 8 * static_cast<jlong>(bufSize);
    const jlong capacity = env->GetDirectBufferCapacity(buf);
    if (capacity < needed) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The %s holds %lld bytes, needs at least %lld",
                                raw ? "raw sample buffer" : "sample buffer", static_cast<long long>(capacity),
                                static_cast<long long>(needed));
        return 0;
    }
    int condition = STREAM_RUNNING;
    const int ready = readySamples(env, h, &condition);
    if (ready < 0) {
        return 0;
    }
    const int n = samplesToTake(h, ready, bufSize, false);
    if (n == 0) {
        return endOfStreamResult(h, 0, condition);
    }
    unsigned char *rawOut = raw ? out : reinterpret_cast<unsigned char *>(h->sampleBuffer);
    const int position = h->channelIndex;
    const int got = drainSamples(env, h, rawOut, n, &condition);
    if (got < 0) {
        return 0;
    }
    if (!raw) {
        convertDrained(h, rawOut, got, position, out);
    }
    return endOfStreamResult(h, got, condition);
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nScanRaw(JNIEnv *env, jobject,
                                                                                     jobject handle, jobject buf)
{
    return readReady(env, handle, buf, true);
}

/* nScan with the end of the stream as a condition rather than a failure: an overrun or the end of
 * a counted command comes in the high word, as the waiting read reports it. */
JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nScanNow(JNIEnv *env, jobject,
                                                                                     jobject handle, jobject buf)
{
    return readReady(env, handle, buf, false);
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
