// SPDX-License-Identifier: LGPL-2.1-or-later
/* Hardware-timed analog output: one Comedi output command takes whole scans from the driver's
 * buffer at the board's clock, and the writes fill that buffer, converting volts to codes on the
 * way in. The device stays open from creation to release: an armed command and its preload must
 * survive between calls, and closing the file would cancel them. */
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogStreamingOutDevice.h"
#include "stream_input.h"
#include "stream_output.h"

#include "calibration.h"
#include "util.h"

namespace {

/* Below this a wake-up costs more than the room it would find. */
constexpr int64_t minimumSleepNs = 20000;

/* What a write's source holds (the Java side's SOURCE_* constants). SOURCE_IN_RING has no source:
 * the codes are in the driver's ring already (a regenerated period, stored once through the
 * mapping), and the write only marks them written again as the board frees them. */
enum SourceKind : int { SOURCE_VOLTS_BUFFER = 0, SOURCE_RAW_BUFFER = 1, SOURCE_VOLTS_ARRAY = 2, SOURCE_IN_RING = 3 };

/* A NaN in the source: the scans before it were written, it was not. Above OutputCondition. */
constexpr int OUTPUT_NAN = 4;

int64_t monotonicNowNs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline jlong packWriteResult(int scans, int condition)
{
    return (static_cast<jlong>(condition) << 32) | static_cast<jlong>(static_cast<unsigned>(scans));
}

/* comedi_from_phys, operation for operation (the module is built without fused multiply-add), so
 * a streamed code is the code the software-timed output writes for the same volts; NaN is refused
 * by the caller before it gets here. */
inline lsampl_t physToRaw(double volts, const comedi_range *range, lsampl_t maxdata)
{
    double s = (volts - range->min) / (range->max - range->min) * maxdata;
    /* Also a position never configured (an empty range, maxdata 0) gives 0 rather than a NaN cast. */
    if (!(s >= 0)) {
        return 0;
    }
    if (s > maxdata) {
        return maxdata;
    }
    return static_cast<lsampl_t>(floor(s + 0.5));
}

/* Converts `samples` volts (8 bytes each, any alignment; whole scans, so position 0 first) into
 * codes in the handle's raw buffer. Returns the index of the first NaN, which is not converted,
 * or -1. */
template <typename Code, bool Calibrated>
int convertVolts(ComediHandle *h, const unsigned char *volts, int samples, void *codes)
{
    Code *out = static_cast<Code *>(codes);
    const int n = h->nChannels;
    int position = 0;
    for (int i = 0; i < samples; ++i) {
        double v;
        memcpy(&v, volts + 8 * static_cast<size_t>(i), sizeof v);
        if (v != v) {
            return i;
        }
        out[i] = static_cast<Code>(Calibrated ? conversionToRaw(&h->conversion[position], v, h->maxSample[position])
                                              : physToRaw(v, &h->rangeInfo[position], h->maxSample[position]));
        if (++position == n) {
            position = 0;
        }
    }
    return -1;
}

} // namespace

int convertOutputVolts(ComediHandle *h, const unsigned char *volts, int samples, void *codes)
{
    if (h->calibratedPositions > 0) {
        return h->bytesPerSample == 2 ? convertVolts<uint16_t, true>(h, volts, samples, codes)
                                      : convertVolts<lsampl_t, true>(h, volts, samples, codes);
    }
    return h->bytesPerSample == 2 ? convertVolts<uint16_t, false>(h, volts, samples, codes)
                                  : convertVolts<lsampl_t, false>(h, volts, samples, codes);
}

namespace {

int convertChunk(ComediHandle *h, const unsigned char *volts, int samples)
{
    return convertOutputVolts(h, volts, samples, h->sampleBuffer);
}

/* Marks `bytes` (whole scans) of the ring written: the codes are there already. Returns the bytes
 * taken, or -1 with *condition set when the command is over, or -2 with an exception pending. */
int64_t markScans(JNIEnv *env, ComediHandle *h, int64_t count, int scanBytes, int *condition)
{
    int64_t done = 0;
    while (done < count) {
        const int64_t left = count - done;
        const int m = comedi_mark_buffer_written(h->dev, h->subdev,
                                                 static_cast<unsigned>(left < INT32_MAX ? left : INT32_MAX));
        if (m > 0) {
            done += m;
            continue;
        }
        if (m == 0) {
            if (done % scanBytes == 0 && done > 0) {
                break;
            }
            /* A running command takes what its measured room holds; 0 means it stopped, and this look
             * freed the subdevice: the next look would not tell how it ended. */
            const int flags = comedi_get_subdevice_flags(h->dev, h->subdev);
            if (flags != -1 && (flags & SDF_RUNNING) != 0) {
                struct pollfd room = {comedi_fileno(h->dev), POLLOUT, 0};
                (void)poll(&room, 1, 1);
                continue;
            }
            *condition = OUTPUT_ENDED;
            return -1;
        }
        if (errno == EPIPE) {
            *condition = OUTPUT_UNDERRUN;
            return -1;
        }
        if (errno == EINVAL) {
            *condition = OUTPUT_ENDED;
            return -1;
        }
        throwFormattedException(env, COMEDI_EXCEPTION, "Error writing comedi data: %s", getComediError());
        return -2;
    }
    return done;
}

/* Writes `bytes` (whole scans) to the driver. Returns the bytes taken, or -1 with *condition set
 * when the command is over, or -2 with an exception pending. The room was measured first, so the
 * driver takes everything; should it split a scan, the rest follows as soon as the board frees room,
 * because the buffer must never hold part of a scan the next write does not complete. */
int64_t writeScans(JNIEnv *env, ComediHandle *h, const unsigned char *bytes, int64_t count, int scanBytes,
                   int *condition)
{
    const int fd = comedi_fileno(h->dev);
    int64_t done = 0;
    while (done < count) {
        const ssize_t w = write(fd, bytes + done, static_cast<size_t>(count - done));
        if (w > 0) {
            done += w;
            continue;
        }
        const int error = w == 0 ? 0 : errno;
        if (error == EAGAIN) {
            if (done % scanBytes == 0) {
                break;
            }
            struct pollfd room = {fd, POLLOUT, 0};
            (void)poll(&room, 1, 1);
            continue;
        }
        if (error == EINTR) {
            continue;
        }
        if (error == EPIPE) {
            *condition = OUTPUT_UNDERRUN;
            return -1;
        }
        if (error == 0 || error == EINVAL) {
            /* 0: the command stopped without an underrun; EINVAL: a look at the stopped command
             * already freed the subdevice. Either way it ended. */
            *condition = OUTPUT_ENDED;
            return -1;
        }
        throwFormattedException(env, COMEDI_EXCEPTION, "Error writing comedi data: %s", strerror(error));
        return -2;
    }
    return done;
}

/* The driver's test corrects what it can in place; a second test says whether the corrected
 * command is acceptable. The trace is the streaming input's. */
bool testOutputCommand(JNIEnv *env, ComediHandle *h)
{
    for (int pass = 0; pass < 2; ++pass) {
        fputs("Trying command ...\n", stdout);
        dump_cmd(stdout, &h->cmd);
        const int ret = comedi_command_test(h->dev, &h->cmd);
        h->lastTestResult = ret;
        if (ret < 0) {
            throwFormattedException(env, COMEDI_EXCEPTION, "Comedi command test error: %s", getComediError());
            return false;
        }
        printf("%s test returned %d (%s)\n", pass == 0 ? "First" : "Second", ret, cmdtestResultText(ret));
        if (ret == 0) {
            return true;
        }
        if (ret == 1) {
            /* A source the board lacks is never corrected: name the ones it has. */
            comedi_cmd mask;
            memset(&mask, 0, sizeof mask);
            char wanted[CMD_SRC_BUFFER_SIZE];
            char has[CMD_SRC_BUFFER_SIZE];
            char clock[CMD_SRC_BUFFER_SIZE];
            if (comedi_get_cmd_src_mask(h->dev, h->subdev, &mask) == 0) {
                throwFormattedException(env, COMEDI_EXCEPTION,
                                        "Error preparing command: analog output subdevice %u of %s has no start "
                                        "source %s or scan clock %s; its start sources: %s, its scan clocks: %s",
                                        h->subdev, h->deviceName, cmd_src(static_cast<int>(h->cmd.start_src), wanted),
                                        cmd_src(static_cast<int>(h->cmd.scan_begin_src), clock),
                                        cmd_src(static_cast<int>(mask.start_src), has),
                                        cmd_src(static_cast<int>(mask.scan_begin_src), clock));
                return false;
            }
        }
        if (pass == 1) {
            throwFormattedException(env, COMEDI_EXCEPTION, "Error preparing command: the driver answered %d (%s)", ret,
                                    cmdtestResultText(ret));
            return false;
        }
    }
    return false;
}

} // namespace

int idleOutputBufferSize(JNIEnv *env, ComediHandle *h)
{
    /* A command that ended or ran dry keeps the subdevice until someone looks; this frees it. */
    (void)comedi_cancel(h->dev, h->subdev);
    const int size = comedi_get_buffer_size(h->dev, h->subdev);
    if (size <= 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error getting buffer size: %s", getComediError());
    }
    return size;
}

extern "C" {

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nCreateTask(
    JNIEnv *env, jobject, jstring devString, jint nChannels, jdouble freq, jint bufSize)
{
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);
    if (!requireStreamShape(env, nChannels, freq)) {
        return nullptr;
    }
    if (bufSize < nChannels) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "Buffer size must hold at least one scan of %d samples, requesting %d", nChannels,
                                bufSize);
        return nullptr;
    }
    ComediHandle *h = nullptr;
    jobject handle = openComediTask(env, devString, COMEDI_SUBD_AO,
                                    "Error finding analog output subdevice for %s: %s", &h);
    if (handle == nullptr) {
        return nullptr;
    }
    h->subdevFlags = comedi_get_subdevice_flags(h->dev, h->subdev);
    if (h->subdevFlags == -1 || (h->subdevFlags & SDF_CMD_WRITE) == 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Analog output subdevice %u of %s has no output commands%s%s",
                                h->subdev, h->deviceName, h->subdevFlags == -1 ? ": " : "",
                                h->subdevFlags == -1 ? getComediError() : "");
        releaseComediHandle(h);
        return nullptr;
    }
    h->bytesPerSample = (h->subdevFlags & SDF_LSAMPL) != 0 ? 4 : 2;
    h->nChannels = nChannels;
    /* Whole scans only: the raw buffer holds the largest whole number of scans of bufSize samples. */
    const int64_t rawBytes = static_cast<int64_t>(bufSize / nChannels) * nChannels * h->bytesPerSample;
    if (rawBytes > INT32_MAX) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "Buffer size of %d samples of %d bytes exceeds the largest raw buffer of %d bytes",
                                bufSize, h->bytesPerSample, INT32_MAX);
        releaseComediHandle(h);
        return nullptr;
    }
    if (!allocateSampleBuffer(env, h, static_cast<jint>(rawBytes))) {
        releaseComediHandle(h);
        return nullptr;
    }
    /* The file writes to its write subdevice; a board whose first AO is not it gets it named. */
    if (comedi_get_write_subdevice(h->dev) != static_cast<int>(h->subdev) &&
        comedi_set_write_subdevice(h->dev, h->subdev) == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error making subdevice %u of %s the write subdevice: %s",
                                h->subdev, h->deviceName, getComediError());
        releaseComediHandle(h);
        return nullptr;
    }
    /* Writes never sleep in the driver: the waiting write sleeps in poll, where a stop can wake it. */
    const int fd = comedi_fileno(h->dev);
    const int fileFlags = fcntl(fd, F_GETFL);
    if (fileFlags == -1 || fcntl(fd, F_SETFL, fileFlags | O_NONBLOCK) == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error making the writes of %s non-blocking: %s",
                                h->deviceName, strerror(errno));
        releaseComediHandle(h);
        return nullptr;
    }

    const double period = 1e9 / freq;
    memset(&h->cmd, 0, sizeof h->cmd);
    h->cmd.subdev = h->subdev;
    h->cmd.flags = CMDF_WRITE;
    /* Armed first, started by an internal trigger: an output command must be preloaded. */
    h->cmd.start_src = TRIG_INT;
    h->cmd.start_arg = 0;
    h->cmd.scan_begin_src = TRIG_TIMER;
    h->cmd.scan_begin_arg = static_cast<unsigned>(static_cast<int64_t>(period));
    h->cmd.convert_src = TRIG_NOW;
    h->cmd.convert_arg = 0;
    h->cmd.scan_end_src = TRIG_COUNT;
    h->cmd.scan_end_arg = static_cast<unsigned>(nChannels);
    h->cmd.stop_src = TRIG_NONE;
    h->cmd.stop_arg = 0;
    h->cmd.chanlist = h->chanlist;
    h->cmd.chanlist_len = static_cast<unsigned>(nChannels);
    return finishComediTask(env, handle, h);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nCreateChannels(
    JNIEnv *env, jobject, jobject handle, jint i, jshort chan, jdouble min, jdouble max, jstring aref)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h != nullptr) {
        configComediChannel(h, env, i, chan, min, max, aref);
    }
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nSetStopCount(JNIEnv *env, jobject,
                                                                                             jobject handle,
                                                                                             jlong scans)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    if (scans < 0 || scans > static_cast<jlong>(UINT32_MAX)) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Scan count must be 0 (continuous) to %u, requesting %lld",
                                UINT32_MAX, static_cast<long long>(scans));
        return;
    }
    h->cmd.stop_src = scans == 0 ? TRIG_NONE : TRIG_COUNT;
    h->cmd.stop_arg = static_cast<unsigned>(scans);
}

/* Returns the accepted scan period in ns. */
JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nConfigTask(JNIEnv *env, jobject,
                                                                                           jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Comedi command test error")) {
        return 0;
    }
    const bool accepted = testOutputCommand(env, h);
    fflush(stdout);
    return accepted ? static_cast<jlong>(h->cmd.scan_begin_arg) : 0;
}

JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nDriverBufferSize(JNIEnv *env, jobject,
                                                                                                jobject handle,
                                                                                                jint bytes)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error sizing the driver buffer")) {
        return 0;
    }
    const int size = bytes > 0 ? comedi_set_buffer_size(h->dev, h->subdev, static_cast<unsigned>(bytes))
                               : comedi_get_buffer_size(h->dev, h->subdev);
    if (size < 0) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error sizing the driver buffer of %s: %s", h->deviceName,
                                getComediError());
    }
    return size;
}

/* Submits the tested command, which waits for its trigger with an empty buffer. Returns the
 * driver's buffer size in bytes, which the writes measure their room against. */
JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nArm(JNIEnv *env, jobject,
                                                                                   jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error starting command")) {
        return 0;
    }
    const int size = idleOutputBufferSize(env, h);
    if (size <= 0) {
        return 0;
    }
    comedi_cmd cmd = h->cmd;
    if (comedi_command(h->dev, &cmd) == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error starting command: %s", getComediError());
        return 0;
    }
    return size;
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nTrigger(JNIEnv *env, jobject,
                                                                                       jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error starting command")) {
        return;
    }
    if (comedi_internal_trigger(h->dev, h->subdev, h->cmd.start_arg) == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error starting command: %s", getComediError());
    }
}

/* Cancels the command; with `park` (one value a position), then writes those volts to the
 * positions' channels, which hold them. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nStop(JNIEnv *env, jobject,
                                                                                    jobject handle,
                                                                                    jdoubleArray park)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error stopping command")) {
        return;
    }
    if (comedi_cancel(h->dev, h->subdev) == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error stopping command: %s", getComediError());
        return;
    }
    if (park == nullptr) {
        return;
    }
    const jsize n = env->GetArrayLength(park);
    for (jsize i = 0; i < n && i < h->nChannels; ++i) {
        jdouble volts;
        env->GetDoubleArrayRegion(park, i, 1, &volts);
        const lsampl_t code = h->calibratedPositions > 0 ? conversionToRaw(&h->conversion[i], volts, h->maxSample[i])
                                                         : physToRaw(volts, &h->rangeInfo[i], h->maxSample[i]);
        if (comedi_data_write(h->dev, h->subdev, CR_CHAN(h->chanlist[i]), CR_RANGE(h->chanlist[i]),
                              CR_AREF(h->chanlist[i]), code) == -1) {
            throwFormattedException(env, COMEDI_EXCEPTION, "Error parking position %d: %s", static_cast<int>(i),
                                    getComediError());
            return;
        }
    }
}

JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nGetBytesPerSample(JNIEnv *env,
                                                                                                 jobject,
                                                                                                 jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    return h == nullptr ? 0 : h->bytesPerSample;
}

/* Writes up to `scans` whole scans from `src` (from scan `offsetScans`), as many as the driver's
 * buffer has room for; with a timeout, sleeps in poll for more room until all are written, the
 * timeout passes or nWake wakes it. Returns the scans written, with an OutputCondition (or
 * OUTPUT_NAN) in the high word. */
JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nWrite(
    JNIEnv *env, jobject, jobject handle, jobject src, jint kind, jint offsetScans, jint scans, jint driverBytes,
    jlong scanPeriodNs, jlong timeoutNanos)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error writing comedi data")) {
        return 0;
    }
    const int n = h->nChannels;
    const int scanBytes = n * h->bytesPerSample;
    /* A handle that no output creation made has no raw buffer of whole scans. */
    if (h->sampleBuffer == nullptr || scanBytes <= 0 || h->bufferSize < scanBytes) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error writing comedi data: %s",
                                "the handle is not a streaming output's");
        return 0;
    }
    const int64_t srcValueBytes = kind == SOURCE_RAW_BUFFER ? h->bytesPerSample : kind == SOURCE_IN_RING ? 0 : 8;
    unsigned char *direct = nullptr;
    int64_t capacity = 0;
    if (kind < SOURCE_VOLTS_BUFFER || kind > SOURCE_IN_RING || (kind == SOURCE_VOLTS_ARRAY && src == nullptr)) {
        throwFormattedException(env, COMEDI_EXCEPTION, "A write takes a sample buffer or an array of volts, given %s",
                                src == nullptr ? "null" : "an unknown kind");
        return 0;
    }
    if (kind == SOURCE_VOLTS_ARRAY) {
        capacity = 8 * static_cast<int64_t>(env->GetArrayLength(static_cast<jarray>(src)));
    } else if (kind != SOURCE_IN_RING) {
        direct = static_cast<unsigned char *>(getDataBufferAddress(env, src, "sample buffer"));
        if (direct == nullptr) {
            return 0;
        }
        capacity = env->GetDirectBufferCapacity(src);
    }
    const int64_t needed = (static_cast<int64_t>(offsetScans) + scans) * n * srcValueBytes;
    if (offsetScans < 0 || scans < 0 || driverBytes < scanBytes || capacity < needed) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "A write takes whole scans from its buffer: %d scans at scan %d need %lld bytes, the "
                                "buffer holds %lld",
                                scans, offsetScans, static_cast<long long>(needed), static_cast<long long>(capacity));
        return 0;
    }
    const int chunkScans = h->bufferSize / scanBytes;
    const int64_t driverScans = driverBytes / scanBytes;
    const bool waits = timeoutNanos > 0;
    const int wakeFd = waits ? streamWakeDescriptor(env, h) : -1;
    if (waits && wakeFd < 0) {
        return 0;
    }
    const int64_t deadline =
        waits ? monotonicNowNs() + (timeoutNanos < INT64_MAX / 2 ? timeoutNanos : INT64_MAX / 2) : 0;

    int written = 0;
    for (;;) {
        const int contents = comedi_get_buffer_contents(h->dev, h->subdev);
        if (contents < 0) {
            if (errno == EPIPE) {
                return packWriteResult(written, OUTPUT_UNDERRUN);
            }
            throwFormattedException(env, COMEDI_EXCEPTION, "Error getting buffer size: %s", getComediError());
            return packWriteResult(written, OUTPUT_RUNNING);
        }
        int64_t room = (static_cast<int64_t>(driverBytes) - contents) / scanBytes;
        while (room > 0 && written < scans) {
            int chunk = static_cast<int>(room < scans - written ? room : scans - written);
            const unsigned char *bytes;
            int nanScan = -1;
            const int64_t firstSample = (static_cast<int64_t>(offsetScans) + written) * n;
            if (kind == SOURCE_IN_RING) {
                bytes = nullptr;
            } else if (kind == SOURCE_RAW_BUFFER) {
                bytes = direct + firstSample * h->bytesPerSample;
            } else {
                if (chunk > chunkScans) {
                    chunk = chunkScans;
                }
                int nan;
                if (kind == SOURCE_VOLTS_BUFFER) {
                    nan = convertChunk(h, direct + firstSample * 8, chunk * n);
                } else {
                    void *array = env->GetPrimitiveArrayCritical(static_cast<jarray>(src), nullptr);
                    if (array == nullptr) {
                        return packWriteResult(written, OUTPUT_RUNNING); /* OutOfMemoryError pending */
                    }
                    nan = convertChunk(h, static_cast<unsigned char *>(array) + firstSample * 8, chunk * n);
                    env->ReleasePrimitiveArrayCritical(static_cast<jarray>(src), array, JNI_ABORT);
                }
                if (nan >= 0) {
                    nanScan = nan / n;
                    chunk = nanScan;
                }
                bytes = reinterpret_cast<const unsigned char *>(h->sampleBuffer);
            }
            int condition = OUTPUT_RUNNING;
            const int64_t chunkBytes = static_cast<int64_t>(chunk) * scanBytes;
            const int64_t done = chunk <= 0 ? 0
                                 : bytes == nullptr
                                     ? markScans(env, h, chunkBytes, scanBytes, &condition)
                                     : writeScans(env, h, bytes, chunkBytes, scanBytes, &condition);
            if (done == -2) {
                return packWriteResult(written, OUTPUT_RUNNING);
            }
            if (done < 0) {
                return packWriteResult(written, condition);
            }
            written += static_cast<int>(done / scanBytes);
            if (nanScan >= 0) {
                return packWriteResult(written, OUTPUT_NAN);
            }
            if (done < static_cast<int64_t>(chunk) * scanBytes) {
                break; /* the driver had less room than it said: look again */
            }
            room -= chunk;
        }
        if (written == scans) {
            return packWriteResult(written, OUTPUT_RUNNING);
        }
        const int64_t remaining = waits ? deadline - monotonicNowNs() : 0;
        if (remaining <= 0) {
            return packWriteResult(written, OUTPUT_RUNNING);
        }
        /* Asleep until the board has taken a quarter of its buffer (or the rest of this write):
         * one wake-up per quarter rather than one per scan. */
        int64_t wantScans = driverScans / 4 > 0 ? driverScans / 4 : 1;
        if (wantScans > scans - written) {
            wantScans = scans - written;
        }
        int64_t sleepNs = wantScans * (scanPeriodNs > 0 ? scanPeriodNs : 1);
        if (sleepNs < minimumSleepNs) {
            sleepNs = minimumSleepNs;
        }
        if (sleepNs > remaining) {
            sleepNs = remaining;
        }
        struct pollfd wake = {wakeFd, POLLIN, 0};
        const struct timespec timeout = {static_cast<time_t>(sleepNs / 1000000000),
                                         static_cast<long>(sleepNs % 1000000000)};
        if (ppoll(&wake, 1, &timeout, nullptr) > 0 && (wake.revents & POLLIN) != 0) {
            uint64_t count;
            while (read(wakeFd, &count, sizeof count) > 0) {
            }
            return packWriteResult(written, OUTPUT_WOKEN);
        }
    }
}

JNIEXPORT jboolean JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nCommandRunning(JNIEnv *env,
                                                                                                   jobject,
                                                                                                   jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || !requireOpenDevice(env, h, "Error getting subdevice flags")) {
        return JNI_FALSE;
    }
    const int flags = comedi_get_subdevice_flags(h->dev, h->subdev);
    if (flags == -1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error getting subdevice flags: %s", getComediError());
        return JNI_FALSE;
    }
    return (flags & SDF_RUNNING) != 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingOutDevice_nDestroy(JNIEnv *env, jobject,
                                                                                       jobject handle)
{
    destroyComediTask(env, handle);
}

} // extern "C"
