// SPDX-License-Identifier: LGPL-2.1-or-later
/* Digital output in ports: port p of L lines is channels p*L .. p*L+L-1 of the first configurable
 * digital I/O subdevice, written in one bit-field call per port. */
#include <cstdint>
#include <cstring>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediDigitalPortOutDevice.h"
#include "port_common.h"
#include "util.h"

namespace {

/* The low min(linesPerPort, 32) bits: one bit-field call reaches at most 32 lines. */
unsigned int portMaskFor(jint linesPerPort)
{
    if (linesPerPort <= 0) {
        return 0u;
    }
    if (linesPerPort >= 32) {
        return 0xFFFFFFFFu;
    }
    return (1u << linesPerPort) - 1u;
}

} // namespace

extern "C" {

namespace {

jobject createPortOutput(JNIEnv *env, jstring devString, jint subdevice, jobject portBuf, jint linesPerPort)
{
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);

    /* Everything about the arguments is checked before the device is touched. */
    jint nPorts = 0;
    const unsigned char *portBytes = portListBytes(env, portBuf, &nPorts);
    if (portBytes == nullptr) {
        return nullptr;
    }
    if (linesPerPort < 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Lines per port must not be negative, requesting %d",
                                linesPerPort);
        return nullptr;
    }

    ComediHandle *h = nullptr;
    /* Only a configurable DIO subdevice: the lines are made outputs one by one below. */
    jobject handle = openComediTaskOn(env, devString, COMEDI_SUBD_DIO, subdevice,
                                      "Error finding digital output subdevice for %s: %s", &h);
    if (handle == nullptr) {
        return nullptr;
    }
    if (!setUpPortLines(env, h, portBytes, nPorts, linesPerPort, COMEDI_OUTPUT)) {
        return failCreation(h);
    }
    h->portMask = portMaskFor(linesPerPort);
    h->linesPerPort = linesPerPort;
    return finishComediTask(env, handle, h);
}

} // namespace

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nCreateTask(JNIEnv *env, jobject,
                                                                                          jstring devString,
                                                                                          jobject portBuf,
                                                                                          jint linesPerPort)
{
    return createPortOutput(env, devString, -1, portBuf, linesPerPort);
}

/* As nCreateTask, on a chosen DIO subdevice (negative: the first). */
JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nCreateTaskOn(JNIEnv *env, jobject,
                                                                                            jstring devString,
                                                                                            jint subdevice,
                                                                                            jobject portBuf,
                                                                                            jint linesPerPort)
{
    return createPortOutput(env, devString, subdevice, portBuf, linesPerPort);
}

namespace {

void writePorts(JNIEnv *env, ComediHandle *h, const unsigned char *data)
{
    if (!requireOpenDevice(env, h, "Error writing comedi digital channels")) {
        return;
    }
    for (jint i = 0; i < h->nPorts; ++i) {
        int64_t value;
        memcpy(&value, data + 8 * static_cast<size_t>(i), sizeof value);
        unsigned int bits = static_cast<unsigned int>(static_cast<uint64_t>(value));
        if (comedi_dio_bitfield2(h->dev, h->subdev, h->portMask, &bits, portBase(h->ports[i], h->linesPerPort)) < 0) {
            /* The ports before this one keep their new values; the rest are not written. */
            throwComediErrorNumber(env, comedi_errno(), "Error writing comedi digital channels: %s",
                                    getComediError());
            return;
        }
    }
}

} // namespace

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nWrite(JNIEnv *env, jobject,
                                                                                   jobject handle, jobject dataBuf)
{
    const unsigned char *data = nullptr;
    ComediHandle *h = getComediHandleAndData(env, handle, dataBuf, "data buffer", &data);
    if (h != nullptr) {
        writePorts(env, h, data);
    }
}

/* The Java side checked both addresses once and holds the device's lock, which close() needs
 * before it releases the record. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nWriteAt(JNIEnv *env, jclass,
                                                                                     jlong handle, jlong data)
{
    writePorts(env, recordAt(handle), reinterpret_cast<const unsigned char *>(data));
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nDestroy(JNIEnv *env, jobject,
                                                                                    jobject handle)
{
    destroyComediTask(env, handle);
}

} // extern "C"
