// SPDX-License-Identifier: LGPL-2.1-or-later
/* The start of a stream's command, shared by the input and the output: the start source a program
 * chose (now, internal trigger, external line), the internal trigger itself, and the look at the
 * driver's buffer that tells whether an external trigger has come. */
#include <cerrno>
#include <cstring>

#include "device_common.h"
#include "org_vorn_acq_comedi_StreamStart.h"
#include "stream_input.h"
#include "util.h"

namespace {

const char *subdeviceKind(const ComediHandle *h)
{
    return comedi_get_subdevice_type(h->dev, h->subdev) == COMEDI_SUBD_AO ? "analog output" : "analog input";
}

} // namespace

extern "C" {

/* With `check`, a board that lacks the source is refused here, with the sources it has, rather
 * than by a command test that could only say "invalid source". The look is itself a command test
 * (comedilib's), so the start a stream is created with goes in without it. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_StreamStart_nApply(JNIEnv *env, jclass, jobject handle, jint source,
                                                                   jint argument, jboolean check)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error preparing command")) {
        return;
    }
    if (check == JNI_FALSE) {
        h->cmd.start_src = static_cast<unsigned>(source);
        h->cmd.start_arg = static_cast<unsigned>(argument);
        return;
    }
    comedi_cmd mask;
    memset(&mask, 0, sizeof mask);
    if (comedi_get_cmd_src_mask(h->dev, h->subdev, &mask) == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error preparing command: %s", getComediError());
        return;
    }
    if ((mask.start_src & static_cast<unsigned>(source)) == 0) {
        char wanted[CMD_SRC_BUFFER_SIZE];
        char has[CMD_SRC_BUFFER_SIZE];
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "Error preparing command: %s subdevice %u of %s has no start source %s; "
                                "its start sources: %s",
                                subdeviceKind(h), h->subdev, h->deviceName, cmd_src(source, wanted),
                                cmd_src(static_cast<int>(mask.start_src), has));
        return;
    }
    h->cmd.start_src = static_cast<unsigned>(source);
    h->cmd.start_arg = static_cast<unsigned>(argument);
}

JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_StreamStart_nStartArgument(JNIEnv *env, jclass, jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    return h == nullptr ? 0 : static_cast<jlong>(h->cmd.start_arg);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_StreamStart_nTrigger(JNIEnv *env, jclass, jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error triggering command")) {
        return;
    }
    if (comedi_internal_trigger(h->dev, h->subdev, h->cmd.start_arg) == -1) {
        throwComediErrorNumber(env, comedi_errno(), "Error triggering command: %s", getComediError());
    }
}

JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_StreamStart_nBufferedBytes(JNIEnv *env, jclass, jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || h->dev == nullptr) {
        return -1;
    }
    /* A board with a FIFO moves its data into the buffer on a poll; a driver without a poll
     * handler answers EINVAL, which changes nothing here. */
    (void)comedi_poll(h->dev, h->subdev);
    const int bytes = comedi_get_buffer_contents(h->dev, h->subdev);
    return bytes < 0 ? -1 : bytes;
}

} // extern "C"
