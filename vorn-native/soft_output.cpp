// SPDX-License-Identifier: LGPL-2.1-or-later
/* Software-timed analog output: one instruction list writes every channel of an update. */
#include <cstring>

#include "calibration.h"
#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogSWOutDevice.h"
#include "util.h"

extern "C" {

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediAnalogSWOutDevice_nCreateTask(JNIEnv *env, jobject,
                                                                                       jstring devString,
                                                                                       jint nChannels)
{
    return createComediInsnTask(env, devString, nChannels, COMEDI_SUBD_AO);
}

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediAnalogSWOutDevice_nCreateTaskOn(JNIEnv *env, jobject,
                                                                                            jstring devString,
                                                                                            jint subdevice,
                                                                                            jint nChannels)
{
    return createComediInsnTaskOn(env, devString, nChannels, COMEDI_SUBD_AO, subdevice);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogSWOutDevice_nCreateChannels(
    JNIEnv *env, jobject, jobject handle, jint i, jshort chan, jdouble min, jdouble max, jstring aref)
{
    configComediInsnChannel(env, handle, i, chan, min, max, aref, INSN_WRITE);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogSWOutDevice_nWrite(JNIEnv *env, jobject, jobject handle,
                                                                                jobject buf)
{
    const unsigned char *values = nullptr;
    ComediHandle *h = getComediHandleAndData(env, handle, buf, "value buffer", &values);
    /* Callers match on the write failure text, so a closed device reports through it as well. */
    if (h == nullptr || !requireOpenDevice(env, h, "Error reading comedi data")) {
        return;
    }
    /* All channels are converted first so that the one list call updates them as close together
     * as the driver allows. A buffer slice may start at any byte, hence the copy. */
    const bool calibrated = h->calibratedPositions > 0;
    for (jint i = 0; i < h->nChannels; ++i) {
        double volts;
        memcpy(&volts, values + 8 * static_cast<size_t>(i), sizeof volts);
        /* A NaN has no nearest end of the range: comedilib would cast it to an arbitrary code (0,
         * the negative end, on x86). Refused before the list call, so no channel changes. */
        if (volts != volts) {
            throwFormattedException(env, COMEDI_EXCEPTION, "Error reading comedi data: value %d is NaN", i);
            return;
        }
        h->sample[i] = calibrated ? conversionToRaw(&h->conversion[i], volts, h->maxSample[i])
                                  : comedi_from_phys(volts, &h->rangeInfo[i], h->maxSample[i]);
    }
    const int ret = comedi_do_insnlist(h->dev, &h->insnList);
    if (ret != h->nChannels) {
        throwComediErrorNumber(env, comedi_errno(), "Error reading comedi data: %s", getComediError());
    }
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogSWOutDevice_nDestroy(JNIEnv *env, jobject,
                                                                                  jobject handle)
{
    destroyComediTask(env, handle);
}

} // extern "C"
