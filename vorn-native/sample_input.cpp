// SPDX-License-Identifier: LGPL-2.1-or-later
/* Software-timed analog input: one instruction list reads every channel of a scan. */
#include "calibration.h"
#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogSamplingDevice.h"
#include "util.h"

extern "C" {

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediAnalogSamplingDevice_nCreateTask(JNIEnv *env, jobject,
                                                                                          jstring devString,
                                                                                          jint nChannels)
{
    return createComediInsnTask(env, devString, nChannels, COMEDI_SUBD_AI);
}

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediAnalogSamplingDevice_nCreateTaskOn(JNIEnv *env, jobject,
                                                                                            jstring devString,
                                                                                            jint subdevice,
                                                                                            jint nChannels)
{
    return createComediInsnTaskOn(env, devString, nChannels, COMEDI_SUBD_AI, subdevice);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogSamplingDevice_nCreateChannels(
    JNIEnv *env, jobject, jobject handle, jint i, jshort chan, jdouble min, jdouble max, jstring aref)
{
    configComediInsnChannel(env, handle, i, chan, min, max, aref, INSN_READ);
}

namespace {

void scanInto(JNIEnv *env, ComediHandle *h, double *volts)
{
    if (!requireOpenDevice(env, h, "Error reading comedi data")) {
        return;
    }
    const int ret = comedi_do_insnlist(h->dev, &h->insnList);
    if (ret != h->nChannels) {
        throwComediErrorNumber(env, comedi_errno(), "Error reading comedi data: %s", getComediError());
        return;
    }
    if (h->calibratedPositions > 0) {
        for (jint i = 0; i < h->nChannels; ++i) {
            volts[i] = evalConversion(&h->conversion[i], h->sample[i]);
        }
        return;
    }
    /* comedilib's two modes differ only for a code at an end of its range (0, or maxdata and
     * above): the mode is asked, a call into comedilib, only when the scan holds one. */
    bool atRangeEnd = false;
    for (jint i = 0; i < h->nChannels; ++i) {
        atRangeEnd |= h->sample[i] == 0 || h->sample[i] >= h->maxSample[i];
    }
    const bool rangeEndsAreNumbers = !atRangeEnd || comediConvertsRangeEnds();
    for (jint i = 0; i < h->nChannels; ++i) {
        volts[i] = rawToPhys(h->sample[i], &h->rangeInfo[i], h->maxSample[i], rangeEndsAreNumbers);
    }
}

} // namespace

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogSamplingDevice_nScan(JNIEnv *env, jobject,
                                                                                 jobject handle, jobject buf)
{
    double *volts = nullptr;
    ComediHandle *h = getComediHandleAndData(env, handle, buf, "scan buffer", &volts);
    if (h != nullptr) {
        scanInto(env, h, volts);
    }
}

/* The Java side checked both addresses once and holds the device's lock, which close() needs
 * before it releases the record. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogSamplingDevice_nScanAt(JNIEnv *env, jclass,
                                                                                   jlong handle, jlong buf)
{
    scanInto(env, recordAt(handle), reinterpret_cast<double *>(buf));
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogSamplingDevice_nDestroy(JNIEnv *env, jobject,
                                                                                    jobject handle)
{
    destroyComediTask(env, handle);
}

} // extern "C"
