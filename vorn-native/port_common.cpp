// SPDX-License-Identifier: LGPL-2.1-or-later
#include "port_common.h"

#include <cstdint>
#include <cstring>

#include "util.h"

unsigned int portBase(jint port, jint linesPerPort)
{
    return static_cast<unsigned int>(port) * static_cast<unsigned int>(linesPerPort);
}

const unsigned char *portListBytes(JNIEnv *env, jobject portBuf, jint *nPorts)
{
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
    *nPorts = static_cast<jint>(nPortEntries);
    return portBytes;
}

bool setUpPortLines(JNIEnv *env, ComediHandle *h, const unsigned char *portBytes, jint nPorts, jint linesPerPort,
                    int direction)
{
    const int nChannels = comedi_get_n_channels(h->dev, h->subdev);
    if (nChannels < 0) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "Error getting the number of channels for device %s, subdevice %i: %s", h->deviceName,
                                static_cast<int>(h->subdev), getComediError());
        return false;
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
                return false;
            }
            if (direction >= 0 && comedi_dio_config(h->dev, h->subdev, c, static_cast<unsigned>(direction)) < 0) {
                throwComediErrorNumber(env, comedi_errno(), "Error configuring digital channels %i for %s: %s",
                                        static_cast<int>(c), direction == COMEDI_INPUT ? "input" : "output",
                                        getComediError());
                return false;
            }
        }
    }
    return true;
}

jobject failCreation(ComediHandle *h)
{
    releaseComediHandle(h);
    return nullptr;
}
