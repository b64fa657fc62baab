/* Digital output in ports: port p of L lines is channels p*L .. p*L+L-1 of the first configurable
 * digital I/O subdevice, written in one bit-field call per port. */
#include <cstdint>
#include <cstring>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediDigitalPortOutDevice.h"
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

/* Channel numbers wrap in 32 bits on purpose: a negative or huge port then lands far beyond the
 * subdevice and fails the channel check instead of aliasing a real line. */
unsigned int portBase(jint port, jint linesPerPort)
{
    return static_cast<unsigned int>(port) * static_cast<unsigned int>(linesPerPort);
}

/* Takes `h` down to nothing before a failed creation returns: the handle never reaches Java. */
jobject failCreation(ComediHandle *h)
{
    releaseComediHandle(h);
    return nullptr;
}

} // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nCreateTask(JNIEnv *env, jobject,
                                                                                          jstring devString,
                                                                                          jobject portBuf,
                                                                                          jint linesPerPort)
{
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);

    /* Everything about the arguments is checked before the device is touched. */
    const unsigned char *portBytes = static_cast<const unsigned char *>(getDataBufferAddress(env, portBuf,
                                                                                             "port buffer"));
    if (portBytes == nullptr) {
        return nullptr;
    }
    const jlong nPortEntries = static_cast<jlong>(static_cast<uint64_t>(env->GetDirectBufferCapacity(portBuf)) >> 2);
    if (nPortEntries > MAX_CHANNELS) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Maximum ports supported is %d, requesting %lld", MAX_CHANNELS,
                                static_cast<long long>(nPortEntries));
        return nullptr;
    }
    const jint nPorts = static_cast<jint>(nPortEntries);
    if (linesPerPort < 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Lines per port must not be negative, requesting %d",
                                linesPerPort);
        return nullptr;
    }

    ComediHandle *h = nullptr;
    /* Only a configurable DIO subdevice: the lines are made outputs one by one below. */
    jobject handle = openComediTask(env, devString, COMEDI_SUBD_DIO, "Error finding digital output subdevice for %s: %s",
                                    &h);
    if (handle == nullptr) {
        return nullptr;
    }
    const int nChannels = comedi_get_n_channels(h->dev, h->subdev);
    if (nChannels < 0) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "Error getting the number of channels for device %s, subdevice %i: %s", h->deviceName,
                                static_cast<int>(h->subdev), getComediError());
        return failCreation(h);
    }
    const unsigned int channelCount = static_cast<unsigned int>(nChannels);

    h->nPorts = nPorts;
    for (jint i = 0; i < nPorts; ++i) {
        jint port;
        memcpy(&port, portBytes + 4 * static_cast<size_t>(i), sizeof port);
        h->ports[i] = port;
        const unsigned int base = portBase(port, linesPerPort);
        /* Bounded however large linesPerPort is: the channel check stops the loop at the first line
         * past the subdevice, and base + j cannot wrap before that (j < 2^31, base < channelCount).
         * Written as c >= count rather than count - 1 < c so that a subdevice without lines fails
         * here too instead of leaving the bound to comedilib. */
        for (jint j = 0; j < linesPerPort; ++j) {
            const unsigned int c = base + static_cast<unsigned int>(j);
            if (c >= channelCount) {
                throwFormattedException(env, COMEDI_EXCEPTION,
                                        "Not enough channels available: max number of channel is %i, requested "
                                        "channel is %i (port %i)",
                                        nChannels, static_cast<int>(c), port);
                return failCreation(h);
            }
            if (comedi_dio_config(h->dev, h->subdev, c, COMEDI_OUTPUT) < 0) {
                throwFormattedException(env, COMEDI_EXCEPTION, "Error configuring digital channels %i for output: %s",
                                        static_cast<int>(c), getComediError());
                return failCreation(h);
            }
        }
    }
    h->portMask = portMaskFor(linesPerPort);
    h->linesPerPort = linesPerPort;
    return finishComediTask(env, handle, h);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nWrite(JNIEnv *env, jobject,
                                                                                   jobject handle, jobject dataBuf)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    const unsigned char *data = static_cast<const unsigned char *>(getDataBufferAddress(env, dataBuf, "data buffer"));
    if (data == nullptr) {
        return;
    }
    if (!requireOpenDevice(env, h, "Error writing comedi digital channels")) {
        return;
    }
    for (jint i = 0; i < h->nPorts; ++i) {
        int64_t value;
        memcpy(&value, data + 8 * static_cast<size_t>(i), sizeof value);
        unsigned int bits = static_cast<unsigned int>(static_cast<uint64_t>(value));
        if (comedi_dio_bitfield2(h->dev, h->subdev, h->portMask, &bits, portBase(h->ports[i], h->linesPerPort)) < 0) {
            /* The ports before this one keep their new values; the rest are not written. */
            throwFormattedException(env, COMEDI_EXCEPTION, "Error writing comedi digital channels: %s",
                                    getComediError());
            return;
        }
    }
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediDigitalPortOutDevice_nDestroy(JNIEnv *env, jobject,
                                                                                    jobject handle)
{
    destroyComediTask(env, handle);
}

} // extern "C"
