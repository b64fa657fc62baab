// SPDX-License-Identifier: LGPL-2.1-or-later
/* What configuring a scan or write position chose, read back from the handle: every analog device
 * keeps the chanspec, the range and the maximum raw value of each position in the shared record. */
#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogDevice.h"
#include "util.h"

namespace {

/* The order ComediAnalogDevice.channelRange reads them in. */
enum ChannelRangeField { RANGE_MIN, RANGE_MAX, RANGE_UNIT, MAX_DATA, CHANNEL, RANGE_INDEX, REFERENCE, FIELD_COUNT };

} // namespace

extern "C" {

/* False when the position has never been configured: comedilib's maximum raw value is never 0 for
 * a channel a range was found for, and the record starts zero-filled. */
JNIEXPORT jboolean JNICALL Java_org_vorn_acq_comedi_ComediAnalogDevice_nChannelRange(JNIEnv *env, jclass,
                                                                                    jobject handle, jint i,
                                                                                    jdoubleArray out)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return JNI_FALSE;
    }
    if (i < 0 || i >= MAX_CHANNELS) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Maximum channels supported is %d, requesting %d", MAX_CHANNELS,
                                i);
        return JNI_FALSE;
    }
    if (out == nullptr || env->GetArrayLength(out) < FIELD_COUNT) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The channel range array needs %d values", FIELD_COUNT);
        return JNI_FALSE;
    }
    if (h->maxSample[i] == 0) {
        return JNI_FALSE;
    }
    const unsigned chanspec = h->chanlist[i];
    jdouble fields[FIELD_COUNT];
    fields[RANGE_MIN] = h->rangeInfo[i].min;
    fields[RANGE_MAX] = h->rangeInfo[i].max;
    fields[RANGE_UNIT] = static_cast<jdouble>(h->rangeInfo[i].unit);
    fields[MAX_DATA] = static_cast<jdouble>(h->maxSample[i]);
    fields[CHANNEL] = static_cast<jdouble>(CR_CHAN(chanspec));
    fields[RANGE_INDEX] = static_cast<jdouble>(CR_RANGE(chanspec));
    fields[REFERENCE] = static_cast<jdouble>(CR_AREF(chanspec));
    env->SetDoubleArrayRegion(out, 0, FIELD_COUNT, fields);
    return JNI_TRUE;
}

} // extern "C"
