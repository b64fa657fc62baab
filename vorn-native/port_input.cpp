// SPDX-License-Identifier: LGPL-2.1-or-later
/* Digital input in ports: port p of L lines (L up to 64) is channels p*L .. p*L+L-1 of a digital
 * input or configurable digital I/O subdevice, read with one bit-field call per 32 lines. The
 * lines of a DIO subdevice are made inputs when the device is created; those of a DI subdevice are
 * inputs already. */
#include <cstdint>
#include <cstring>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediDigitalPortInDevice.h"
#include "port_common.h"
#include "util.h"

namespace {

constexpr jint maxLinesPerPort = 64;

/* Bits of the lines [32*word, 32*word + 32) that a port of linesPerPort lines has. */
unsigned int wordMask(jint linesPerPort, int word)
{
    const jint lines = linesPerPort - 32 * word;
    if (lines <= 0) {
        return 0u;
    }
    return lines >= 32 ? 0xFFFFFFFFu : (1u << lines) - 1u;
}

bool isDigitalInput(int type)
{
    return type == COMEDI_SUBD_DI || type == COMEDI_SUBD_DIO;
}

/* The subdevice asked for, or with -1 the first digital input or digital I/O one; null text when
 * found, otherwise why not. */
const char *chooseSubdevice(ComediHandle *h, jint requested)
{
    const int nSubdevices = comedi_get_n_subdevices(h->dev);
    if (nSubdevices < 0) {
        return getComediError();
    }
    /* Only -1 asks for the first one: another negative number is a subdevice the device lacks, not
     * a request to pick one. */
    if (requested < -1 || requested >= nSubdevices) {
        return "the device has no such subdevice";
    }
    if (requested >= 0) {
        if (!isDigitalInput(comedi_get_subdevice_type(h->dev, static_cast<unsigned>(requested)))) {
            return "the subdevice is neither digital input nor digital I/O";
        }
        h->subdev = static_cast<unsigned>(requested);
        return nullptr;
    }
    for (int s = 0; s < nSubdevices; ++s) {
        if (isDigitalInput(comedi_get_subdevice_type(h->dev, static_cast<unsigned>(s)))) {
            h->subdev = static_cast<unsigned>(s);
            return nullptr;
        }
    }
    return "the device has no digital input or configurable digital I/O subdevice";
}

} // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortInDevice_nCreateTask(JNIEnv *env, jclass,
                                                                                         jstring devString,
                                                                                         jint subdevice,
                                                                                         jobject portBuf,
                                                                                         jint linesPerPort)
{
    /* Everything about the arguments is checked before the device is touched. */
    jint nPorts = 0;
    const unsigned char *portBytes = portListBytes(env, portBuf, &nPorts);
    if (portBytes == nullptr) {
        return nullptr;
    }
    if (linesPerPort < 0 || linesPerPort > maxLinesPerPort) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Lines per port must be 0 to %d, requesting %d",
                                maxLinesPerPort, linesPerPort);
        return nullptr;
    }

    ComediHandle *h = nullptr;
    jobject handle = openComediHandle(env, devString, &h);
    if (handle == nullptr) {
        return nullptr;
    }
    const char *missing = chooseSubdevice(h, subdevice);
    if (missing != nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error finding digital input subdevice for %s: %s",
                                h->deviceName, missing);
        return failCreation(h);
    }
    /* Only a DIO subdevice has a direction to set; comedilib refuses the request on any other. */
    const bool configurable = comedi_get_subdevice_type(h->dev, h->subdev) == COMEDI_SUBD_DIO;
    if (!setUpPortLines(env, h, portBytes, nPorts, linesPerPort, configurable ? COMEDI_INPUT : -1)) {
        return failCreation(h);
    }
    h->portMask = wordMask(linesPerPort, 0);
    h->linesPerPort = linesPerPort;
    return finishComediTask(env, handle, h);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortInDevice_nRead(JNIEnv *env, jclass, jobject handle,
                                                                                 jobject dataBuf)
{
    unsigned char *data = nullptr;
    ComediHandle *h = getComediHandleAndData(env, handle, dataBuf, "data buffer", &data);
    if (h == nullptr || !requireOpenDevice(env, h, "Error reading comedi digital channels")) {
        return;
    }
    const unsigned int highMask = wordMask(h->linesPerPort, 1);
    for (jint i = 0; i < h->nPorts; ++i) {
        const unsigned int base = portBase(h->ports[i], h->linesPerPort);
        /* Mask 0: the call writes no line and returns the levels of all of them. */
        unsigned int low = 0;
        unsigned int high = 0;
        if ((h->portMask != 0 && comedi_dio_bitfield2(h->dev, h->subdev, 0, &low, base) < 0) ||
            (highMask != 0 && comedi_dio_bitfield2(h->dev, h->subdev, 0, &high, base + 32) < 0)) {
            /* The ports before this one hold their values; the rest are left as they were. */
            throwComediErrorNumber(env, comedi_errno(), "Error reading comedi digital channels: %s",
                                    getComediError());
            return;
        }
        const uint64_t value = (static_cast<uint64_t>(high & highMask) << 32) | (low & h->portMask);
        memcpy(data + 8 * static_cast<size_t>(i), &value, sizeof value);
    }
}

JNIEXPORT jboolean JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortInDevice_nReadLine(JNIEnv *env, jclass,
                                                                                        jobject handle, jint position,
                                                                                        jint line)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return JNI_FALSE;
    }
    if (position < 0 || position >= h->nPorts || line < 0 || line >= h->linesPerPort) {
        throwFormattedException(env, COMEDI_EXCEPTION, "No line %d at port position %d: the device has %d ports of %d lines",
                                line, position, h->nPorts, h->linesPerPort);
        return JNI_FALSE;
    }
    if (!requireOpenDevice(env, h, "Error reading comedi digital channels")) {
        return JNI_FALSE;
    }
    const unsigned int channel = portBase(h->ports[position], h->linesPerPort) + static_cast<unsigned int>(line);
    unsigned int bit = 0;
    if (comedi_dio_read(h->dev, h->subdev, channel, &bit) < 0) {
        throwComediErrorNumber(env, comedi_errno(), "Error reading comedi digital channel %u: %s", channel,
                                getComediError());
        return JNI_FALSE;
    }
    return bit != 0 ? JNI_TRUE : JNI_FALSE;
}

} // extern "C"
