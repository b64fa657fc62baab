// SPDX-License-Identifier: LGPL-2.1-or-later
#include "stream_read.h"

#include <cerrno>
#include <comedi_errno.h>
#include <cstdint>
#include <unistd.h>

#include "calibration.h"
#include "util.h"

namespace {

template <typename Raw>
void convertAs(const unsigned char *raw, int nSamples, int position, const ComediHandle *h, unsigned char *out)
{
    if (h->calibratedPositions > 0) {
        convertCalibratedAs<Raw>(raw, nSamples, position, h, out);
        return;
    }
    const bool rangeEndsAreNumbers = comediConvertsRangeEnds();
    const int nChannels = h->nChannels;
    /* rawToPhys takes a non-const range only because comedi_to_phys does; it never writes it. */
    comedi_range *ranges = const_cast<comedi_range *>(h->rangeInfo);
    for (int k = 0; k < nSamples; ++k) {
        Raw code;
        memcpy(&code, raw + sizeof(Raw) * static_cast<size_t>(k), sizeof code);
        const double value = rawToPhys(code, &ranges[position], h->maxSample[position], rangeEndsAreNumbers);
        memcpy(out + 8 * static_cast<size_t>(k), &value, sizeof value);
        if (++position == nChannels) {
            position = 0;
        }
    }
}

} // namespace

bool requireReadableStream(JNIEnv *env, ComediHandle *h, const char *prefix)
{
    if (h->dev == nullptr || h->sampleBuffer == nullptr || h->nChannels < 1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "%s: %s", prefix, deviceClosedText);
        return false;
    }
    return true;
}

int readySamples(JNIEnv *env, ComediHandle *h, int *condition, bool pollBoard)
{
    /* As in nScan: a driver without a poll handler answers EINVAL while its own command runs, which
     * the buffer query below tells apart from a file that owns no command. */
    bool pollUnsupported = false;
    if (pollBoard && comedi_poll(h->dev, h->subdev) == -1) {
        const int pollError = comedi_errno();
        if (pollError != EINVAL) {
            throwComediErrorNumber(env, pollError, "Error polling device: %s", comedi_strerror(pollError));
            return -1;
        }
        pollUnsupported = true;
    }
    const int bytes = comedi_get_buffer_contents(h->dev, h->subdev);
    if (bytes < 0) {
        const int bufferError = comedi_errno();
        if (bufferError == EBUF_OVR) {
            /* Everything buffered before the overrun has been read; the kernel has now freed the
             * subdevice, so the overrun can be reported only this once. */
            *condition = STREAM_OVERRUN;
            return h->partialBytes / h->bytesPerSample;
        }
        if (pollUnsupported && bufferError == EINVAL) {
            throwFormattedException(env, COMEDI_EXCEPTION, "Error polling device: %s", comedi_strerror(EINVAL));
        } else {
            throwComediErrorNumber(env, bufferError, "Error getting buffer size: %s",
                                    comedi_strerror(bufferError));
        }
        return -1;
    }
    const int64_t total = static_cast<int64_t>(bytes) + h->partialBytes;
    return static_cast<int>(total / h->bytesPerSample);
}

int samplesToTake(const ComediHandle *h, int ready, int maxSamples, bool wholeScans)
{
    int n = ready < maxSamples ? ready : maxSamples;
    if (wholeScans && n > 0) {
        /* Up to the last scan boundary: the position after the read must be 0. */
        n -= (h->channelIndex + n) % h->nChannels;
    }
    return n;
}

int drainSamples(JNIEnv *env, ComediHandle *h, unsigned char *dst, int nSamples, int *condition)
{
    const int bytesPerSample = h->bytesPerSample;
    const size_t want = static_cast<size_t>(nSamples) * static_cast<size_t>(bytesPerSample);
    size_t have = static_cast<size_t>(h->partialBytes);
    memcpy(dst, h->partialSample, have);
    h->partialBytes = 0;

    const int fd = comedi_fileno(h->dev);
    int readError = 0;
    /* The bytes are in the driver's buffer (readySamples counted them), so no read here waits; a
     * short one is followed by another rather than splitting the stream. */
    while (have < want) {
        const ssize_t n = read(fd, dst + have, want - have);
        if (n > 0) {
            have += static_cast<size_t>(n);
        } else if (n == 0) {
            *condition = STREAM_ENDED;
            break;
        } else {
            readError = errno;
            if (readError == EPIPE) {
                *condition = STREAM_OVERRUN;
                readError = 0;
            }
            break;
        }
    }

    const size_t whole = have / static_cast<size_t>(bytesPerSample);
    const size_t rest = have % static_cast<size_t>(bytesPerSample);
    memcpy(h->partialSample, dst + whole * static_cast<size_t>(bytesPerSample), rest);
    h->partialBytes = static_cast<int>(rest);
    if (whole == 0 && readError != 0) {
        throwComediErrorNumber(env, readError, "Error reading comedi data: %s", strerror(readError));
        return -1;
    }
    /* A failed read after some whole samples: they are delivered now, and the failure shows again
     * at the next read if it persists. */
    h->channelIndex = static_cast<int>((h->channelIndex + whole) % static_cast<size_t>(h->nChannels));
    return static_cast<int>(whole);
}

void convertDrained(const ComediHandle *h, const unsigned char *raw, int nSamples, int position, unsigned char *out)
{
    if ((h->subdevFlags & SDF_LSAMPL) != 0) {
        convertAs<lsampl_t>(raw, nSamples, position, h, out);
    } else {
        convertAs<sampl_t>(raw, nSamples, position, h, out);
    }
}
