// SPDX-License-Identifier: LGPL-2.1-or-later
#include "device_common.h"

#include "calibration.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "org_vorn_acq_comedi_ComediDevice.h"
#include "util.h"

extern "C" const char deviceClosedText[] = "device is closed";

bool requireOpenDevice(JNIEnv *env, const ComediHandle *h, const char *prefix)
{
    if (h->dev == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "%s: %s", prefix, deviceClosedText);
        return false;
    }
    return true;
}

namespace {

/* Mixed into the record's address to make its cookie ("vornhndl"). */
constexpr uint64_t handleCookieSalt = 0x766f726e68686e6cull;

uint64_t cookieFor(const ComediHandle *h)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)) ^ handleCookieSalt;
}

} // namespace

extern "C" const char *getComediError(void)
{
    return comedi_strerror(comedi_errno());
}

extern "C" void closeComediDevice(ComediHandle *h)
{
    if (h->dev != nullptr) {
        comedi_close(h->dev);
        h->dev = nullptr;
    }
}

extern "C" void releaseComediHandle(ComediHandle *h)
{
    /* Writes only what is still there: a released record may be seen through a read-only view. */
    closeComediDevice(h);
    if (h->deviceName != nullptr) {
        free(h->deviceName);
        h->deviceName = nullptr;
    }
    /* The raw sample buffer too: a streaming handle that another class's destroy reaches must not
     * keep it, since nothing would free it afterwards. */
    if (h->sampleBuffer != nullptr) {
        free(h->sampleBuffer);
        h->sampleBuffer = nullptr;
    }
    releaseStreamWake(h);
    releaseCalibration(h);
}

extern "C" ComediHandle *getComediHandleUnlocked(JNIEnv *env, jobject handle)
{
    ComediHandle *h = static_cast<ComediHandle *>(getDataBufferAddress(env, handle, "device handle"));
    if (h == nullptr) {
        return nullptr;
    }
    const jlong capacity = env->GetDirectBufferCapacity(handle);
    if (capacity < static_cast<jlong>(sizeof(ComediHandle))) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The device handle holds %lld bytes, a handle has %zu",
                                static_cast<long long>(capacity), sizeof(ComediHandle));
        return nullptr;
    }
    uint64_t cookie;
    memcpy(&cookie, reinterpret_cast<const unsigned char *>(h) + offsetof(ComediHandle, cookie), sizeof cookie);
    if (cookie != cookieFor(h)) {
        throwException(env, COMEDI_EXCEPTION, "The device handle is not one that a device creation returned");
        return nullptr;
    }
    return h;
}

extern "C" ComediHandle *getComediHandle(JNIEnv *env, jobject handle)
{
    ComediHandle *h = getComediHandleUnlocked(env, handle);
    if (h == nullptr) {
        return nullptr;
    }
    /* Only a view shares a live record's memory; a read-only one must not be written through. */
    if (h->self != nullptr && !env->IsSameObject(handle, h->self)) {
        throwException(env, COMEDI_EXCEPTION,
                       "The device handle is a view of a device handle, not the handle that its creation returned");
        return nullptr;
    }
    return h;
}

extern "C" jobject finishComediTask(JNIEnv *env, jobject handle, ComediHandle *h)
{
    h->self = env->NewWeakGlobalRef(handle);
    if (h->self == nullptr) {
        throwFormattedException(env, "java/lang/OutOfMemoryError", "No weak reference left for the handle of %s",
                                h->deviceName);
        releaseComediHandle(h);
        return nullptr;
    }
    h->cookie = cookieFor(h);
    return handle;
}

extern "C" void forgetHandleBuffer(JNIEnv *env, ComediHandle *h)
{
    if (h->self != nullptr) {
        env->DeleteWeakGlobalRef(h->self);
        h->self = nullptr;
    }
}

extern "C" void *getDataBufferAddress(JNIEnv *env, jobject buf, const char *what)
{
    /* GetDirectBufferAddress must not see null: the JVM would dereference it. */
    if (buf == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The %s is null", what);
        return nullptr;
    }
    void *address = env->GetDirectBufferAddress(buf);
    if (address == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The %s is not a direct buffer", what);
    }
    return address;
}

extern "C" const char *subdeviceSearchError(comedi_t *dev, int type)
{
    if (comedi_get_n_subdevices(dev) <= 0) {
        return getComediError();
    }
    switch (type) {
    case COMEDI_SUBD_AI:
        return "the device has no analog input subdevice";
    case COMEDI_SUBD_AO:
        return "the device has no analog output subdevice";
    case COMEDI_SUBD_DIO:
        return "the device has no configurable digital I/O subdevice";
    default:
        return "the device has no subdevice of the requested type";
    }
}

extern "C" jobject openComediHandle(JNIEnv *env, jstring devString, ComediHandle **record)
{
    jobject handle = newJavaManagedByteBuffer(env, sizeof(ComediHandle));
    if (handle == nullptr) {
        return nullptr;
    }
    /* Not one of ours until finishComediTask marks it. */
    ComediHandle *h = static_cast<ComediHandle *>(getDataBufferAddress(env, handle, "device handle"));
    if (h == nullptr) {
        return nullptr;
    }
    h->deviceName = GetStringNativeChars(env, devString);
    if (h->deviceName == nullptr) {
        return nullptr;
    }
    h->dev = comedi_open(h->deviceName);
    if (h->dev == nullptr) {
        throwComediErrorNumber(env, comedi_errno(), "Error opening comedi device %s: %s", h->deviceName,
                                getComediError());
        releaseComediHandle(h);
        return nullptr;
    }
    *record = h;
    return handle;
}

extern "C" jobject openComediTask(JNIEnv *env, jstring devString, int devType, const char *missingSubdeviceFormat,
                                  ComediHandle **record)
{
    return openComediTaskOn(env, devString, devType, -1, missingSubdeviceFormat, record);
}

extern "C" jobject openComediTaskOn(JNIEnv *env, jstring devString, int devType, jint requested,
                                    const char *missingSubdeviceFormat, ComediHandle **record)
{
    ComediHandle *h = nullptr;
    jobject handle = openComediHandle(env, devString, &h);
    if (handle == nullptr) {
        return nullptr;
    }
    int subdev = requested;
    if (requested < 0) {
        subdev = comedi_find_subdevice_by_type(h->dev, devType, 0);
        if (subdev == -1) {
            throwFormattedException(env, COMEDI_EXCEPTION, missingSubdeviceFormat, h->deviceName,
                                    subdeviceSearchError(h->dev, devType));
            releaseComediHandle(h);
            return nullptr;
        }
    } else if (requested >= comedi_get_n_subdevices(h->dev)
               || comedi_get_subdevice_type(h->dev, static_cast<unsigned>(requested)) != devType) {
        char reason[96];
        snprintf(reason, sizeof reason, "subdevice %d is not one of this kind (the device has %d subdevices)",
                 static_cast<int>(requested), comedi_get_n_subdevices(h->dev));
        throwFormattedException(env, COMEDI_EXCEPTION, missingSubdeviceFormat, h->deviceName, reason);
        releaseComediHandle(h);
        return nullptr;
    }
    h->subdev = static_cast<unsigned>(subdev);
    *record = h;
    return handle;
}

extern "C" jobject createComediInsnTask(JNIEnv *env, jstring devString, jint nChannels, int devType)
{
    return createComediInsnTaskOn(env, devString, nChannels, devType, -1);
}

extern "C" jobject createComediInsnTaskOn(JNIEnv *env, jstring devString, jint nChannels, int devType, jint subdevice)
{
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);
    if (nChannels < 0 || nChannels > MAX_CHANNELS) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Number of channels must be 0 to %d, requesting %d",
                                MAX_CHANNELS, nChannels);
        return nullptr;
    }
    ComediHandle *h = nullptr;
    /* The same subdevice text for every kind, output included: callers match on it. */
    jobject handle =
        openComediTaskOn(env, devString, devType, subdevice, "Error finding analog input subdevice for %s: %s", &h);
    if (handle == nullptr) {
        return nullptr;
    }
    h->nChannels = nChannels;
    h->insnList.n_insns = nChannels;
    h->insnList.insns = h->insn;
    return finishComediTask(env, handle, h);
}

extern "C" void configComediInsnChannel(JNIEnv *env, jobject handle, jint i, jshort chan, jdouble min, jdouble max,
                                        jstring aref, unsigned insnCode)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    /* configComediChannel rejects an index outside the tables before anything is stored. */
    configComediChannel(h, env, i, chan, min, max, aref);
    if (env->ExceptionCheck()) {
        return;
    }
    comedi_insn *insn = &h->insn[i];
    insn->insn = insnCode;
    insn->n = 1;
    insn->data = &h->sample[i];
    insn->subdev = h->subdev;
    insn->chanspec = h->chanlist[i];
}

extern "C" void destroyComediTask(JNIEnv *env, jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    releaseComediHandle(h);
    forgetHandleBuffer(env, h);
}

/* What the Cleaner of a dropped device, and close(), run: no receiver, so the action never holds
 * the device it releases. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediDevice_nRelease(JNIEnv *env, jclass, jobject handle)
{
    destroyComediTask(env, handle);
}

/* Checked once at creation, so that the hot paths that take the address need not check again. */
JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediDevice_nHandleAddress(JNIEnv *env, jclass, jobject handle)
{
    return static_cast<jlong>(reinterpret_cast<uintptr_t>(getComediHandle(env, handle)));
}

JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediDevice_nBufferAddress(JNIEnv *env, jclass, jobject buf)
{
    return static_cast<jlong>(reinterpret_cast<uintptr_t>(getDataBufferAddress(env, buf, "data buffer")));
}

namespace {

int analogReference(const char *name)
{
    if (strcmp(name, "ground") == 0) {
        return AREF_GROUND;
    }
    if (strcmp(name, "diff") == 0) {
        return AREF_DIFF;
    }
    if (strcmp(name, "common") == 0) {
        return AREF_COMMON;
    }
    if (strcmp(name, "other") == 0) {
        return AREF_OTHER;
    }
    return AREF_DIFF;
}

/* comedi_find_range sets comedilib's error only for an invalid subdevice or channel; when no
 * range fits it fails silently and the error number is stale. */
const char *rangeSearchError(ComediHandle *h, jshort chan)
{
    const unsigned channel = static_cast<unsigned>(static_cast<int>(chan)); /* as comedilib receives it */
    const int nChannels = comedi_get_n_channels(h->dev, h->subdev);
    if (nChannels < 0 || channel >= static_cast<unsigned>(nChannels)) {
        return getComediError();
    }
    return "no range of the channel covers the requested span";
}

} // namespace

extern "C" void configComediChannel(ComediHandle *h, JNIEnv *env, jint i, jshort chan, jdouble min, jdouble max,
                                    jstring aref)
{
    if (i < 0 || i >= MAX_CHANNELS) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Maximum channels supported is %d, requesting %d", MAX_CHANNELS,
                                i);
        return;
    }
    if (h->dev == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error finding range (device %s, chanel %i): %s",
                                h->deviceName != nullptr ? h->deviceName : "(none)", chan, deviceClosedText);
        return;
    }
    char *referenceName = GetStringNativeChars(env, aref);
    if (referenceName == nullptr) {
        return;
    }
    const int reference = analogReference(referenceName);
    free(referenceName);

    const int range = comedi_find_range(h->dev, h->subdev, chan, UNIT_volt, min, max);
    if (range == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error finding range (device %s, chanel %i): %s",
                                h->deviceName, chan, rangeSearchError(h, chan));
        return;
    }
    const comedi_range *descriptor = comedi_get_range(h->dev, h->subdev, chan, range);
    if (descriptor == nullptr) {
        throwComediErrorNumber(env, comedi_errno(), "Error finding range (device %s, chanel %i): %s",
                                h->deviceName, chan, getComediError());
        return;
    }
    h->chanlist[i] = ((reference & 3u) << 24) | ((range & 0xffu) << 16) | static_cast<unsigned>(static_cast<int>(chan));
    h->rangeInfo[i] = *descriptor;
    h->maxSample[i] = comedi_get_maxdata(h->dev, h->subdev, chan);
    configurePositionCalibration(h, i);
}
