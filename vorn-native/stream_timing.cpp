// SPDX-License-Identifier: LGPL-2.1-or-later
/* The streaming command as the driver accepted it, a counted (finite) stop, and the driver's
 * buffer size: what Java needs to place every scan in time and to size the driver's buffer. */
#include <cstdint>
#include <cstring>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogStreamingDevice.h"
#include "stream_input.h"
#include "util.h"

namespace {

/* The order of the command fields for Java (ComediAnalogStreamingDevice.StreamCommand). */
constexpr int commandFieldCount = 14;

void commandFields(const comedi_cmd &cmd, jint fields[commandFieldCount])
{
    const unsigned values[commandFieldCount] = {
        cmd.subdev,       cmd.flags,     cmd.start_src,    cmd.start_arg,    cmd.scan_begin_src,
        cmd.scan_begin_arg, cmd.convert_src, cmd.convert_arg, cmd.scan_end_src, cmd.scan_end_arg,
        cmd.stop_src,     cmd.stop_arg,  cmd.chanlist_len, 0,
    };
    for (int i = 0; i < commandFieldCount; ++i) {
        fields[i] = static_cast<jint>(values[i]);
    }
}

bool storeFields(JNIEnv *env, jintArray out, const comedi_cmd &cmd, jint extra)
{
    if (out == nullptr || env->GetArrayLength(out) < commandFieldCount) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The command array must hold %d values", commandFieldCount);
        return false;
    }
    jint fields[commandFieldCount];
    commandFields(cmd, fields);
    fields[commandFieldCount - 1] = extra;
    env->SetIntArrayRegion(out, 0, commandFieldCount, fields);
    return true;
}

/* The device for a call that may come while the stream is stopped: the open one, or a fresh open
 * that *opened tells the caller to close. Null with an exception pending. */
comedi_t *deviceForQuery(JNIEnv *env, ComediHandle *h, const char *what, bool *opened)
{
    *opened = false;
    if (h->dev != nullptr) {
        return h->dev;
    }
    if (h->deviceName == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error %s: %s", what, deviceClosedText);
        return nullptr;
    }
    comedi_t *dev = comedi_open(h->deviceName);
    if (dev == nullptr) {
        throwComediErrorNumber(env, comedi_errno(), "Error opening comedi device %s: %s", h->deviceName,
                                getComediError());
        return nullptr;
    }
    *opened = true;
    return dev;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nGetCommand(JNIEnv *env, jobject,
                                                                                        jobject handle,
                                                                                        jintArray out)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h != nullptr) {
        storeFields(env, out, h->cmd, h->lastTestResult);
    }
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nSetStopCount(JNIEnv *env, jobject,
                                                                                          jobject handle,
                                                                                          jlong scans)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    if (scans < 0 || scans > static_cast<jlong>(UINT32_MAX)) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "A counted stream takes 1 to %u scans (0: until stopped), requesting %lld", UINT32_MAX,
                                static_cast<long long>(scans));
        return;
    }
    h->cmd.stop_src = scans == 0 ? TRIG_NONE : TRIG_COUNT;
    h->cmd.stop_arg = static_cast<unsigned>(scans);
}

/* Tests a copy of the command as the last test left it, leaving the command itself alone: what the
 * driver would accept after a refusal. Returns the test's result, the copy in `out`. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nTestCommandCopy(JNIEnv *env, jobject,
                                                                                             jobject handle,
                                                                                             jintArray out)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return -1;
    }
    bool opened;
    comedi_t *dev = deviceForQuery(env, h, "testing the command", &opened);
    if (dev == nullptr) {
        return -1;
    }
    comedi_cmd copy = h->cmd;
    unsigned chanlist[MAX_CHANNELS];
    memcpy(chanlist, h->chanlist, sizeof chanlist);
    copy.chanlist = chanlist;
    int result = comedi_command_test(dev, &copy);
    if (result > 0) {
        /* As nConfigTask does: the first answer corrects, the second judges the correction. */
        result = comedi_command_test(dev, &copy);
    }
    if (opened) {
        comedi_close(dev);
    }
    storeFields(env, out, copy, result);
    return result;
}

/* The timer arguments of the command (unsigned nanoseconds; a negative value keeps the argument
 * as it is), before the command test: the scan period and the convert period. */
bool timerArguments(JNIEnv *env, jlong scanBeginNs, jlong convertNs)
{
    if (scanBeginNs > static_cast<jlong>(UINT32_MAX) || convertNs > static_cast<jlong>(UINT32_MAX)) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "A timer takes at most %u ns, requesting a scan period of %lld ns and a convert "
                                "period of %lld ns",
                                UINT32_MAX, static_cast<long long>(scanBeginNs), static_cast<long long>(convertNs));
        return false;
    }
    return true;
}

void setTimers(comedi_cmd &cmd, jlong scanBeginNs, jlong convertNs)
{
    if (scanBeginNs >= 0) {
        cmd.scan_begin_arg = static_cast<unsigned>(scanBeginNs);
    }
    if (convertNs >= 0) {
        cmd.convert_arg = static_cast<unsigned>(convertNs);
    }
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nSetTimers(JNIEnv *env, jobject,
                                                                                       jobject handle,
                                                                                       jlong scanBeginNs,
                                                                                       jlong convertNs)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h != nullptr && timerArguments(env, scanBeginNs, convertNs)) {
        setTimers(h->cmd, scanBeginNs, convertNs);
    }
}

/* As nTestCommandCopy, on a copy whose timers are set first: what the driver makes of other
 * timers, without touching the command or writing a trace. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nTestTimers(JNIEnv *env, jobject,
                                                                                        jobject handle,
                                                                                        jlong scanBeginNs,
                                                                                        jlong convertNs,
                                                                                        jintArray out)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !timerArguments(env, scanBeginNs, convertNs)) {
        return -1;
    }
    const comedi_cmd kept = h->cmd;
    setTimers(h->cmd, scanBeginNs, convertNs);
    const jint result = Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nTestCommandCopy(env, nullptr, handle, out);
    h->cmd = kept;
    return result;
}

/* Asks the driver for a buffer of `bytes` (0: only ask) and returns the size it has now. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nDriverBufferSize(JNIEnv *env, jobject,
                                                                                              jobject handle,
                                                                                              jint bytes)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return 0;
    }
    if (bytes < 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "A driver buffer size must not be negative, requesting %d",
                                bytes);
        return 0;
    }
    bool opened;
    comedi_t *dev = deviceForQuery(env, h, "setting the driver buffer size", &opened);
    if (dev == nullptr) {
        return 0;
    }
    int size = bytes > 0 ? comedi_set_buffer_size(dev, h->subdev, static_cast<unsigned>(bytes))
                         : comedi_get_buffer_size(dev, h->subdev);
    if (size < 0) {
        if (bytes > 0) {
            throwComediErrorNumber(env, comedi_errno(), "Error setting the driver buffer of %s to %d bytes: %s",
                                    h->deviceName, bytes, getComediError());
        } else {
            throwComediErrorNumber(env, comedi_errno(), "Error getting the driver buffer size of %s: %s",
                                    h->deviceName, getComediError());
        }
    }
    if (opened) {
        comedi_close(dev);
    }
    return size < 0 ? 0 : size;
}

} // extern "C"
