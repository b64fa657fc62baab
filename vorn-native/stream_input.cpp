// SPDX-License-Identifier: LGPL-2.1-or-later
/* Hardware-timed continuous analog input: one Comedi command scans the channels into the driver's
 * buffer, and nScan drains what has arrived, converted with each channel's range. The device is
 * open from creation to the end of nConfigTask, then again from nStart to nStop. */
#include "stream_input.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogStreamingDevice.h"
#include "stream_read.h"
#include "util.h"

extern "C" const char *const cmdtest_messages[6] = {
    "success", "invalid source", "source conflict", "invalid argument", "argument conflict", "invalid chanlist",
};

namespace {

struct TriggerSourceWord {
    unsigned bit;
    const char *word;
};

constexpr TriggerSourceWord triggerSourceWords[] = {
    {TRIG_NONE, "none"},   {TRIG_NOW, "now"}, {TRIG_FOLLOW, "follow"}, {TRIG_TIME, "time"},
    {TRIG_TIMER, "timer"}, {TRIG_COUNT, "count"}, {TRIG_EXT, "ext"}, {TRIG_INT, "int"},
    {TRIG_OTHER, "other"},
};

/* A result the table lacks is named by this text rather than looked up. */
constexpr char unknownCmdtestResult[] = "unknown result";

/* The command's timer arguments are unsigned 32-bit nanoseconds. */
constexpr double timerArgumentLimit = 4294967296.0;

constexpr char outOfMemoryError[] = "java/lang/OutOfMemoryError";

void writeCommandTrace(FILE *out, ComediHandle *h)
{
    fputs("Trying command ...\n", out);
    dump_cmd(out, &h->cmd);
}

/* The driver's test corrects what it can in place; a second test tells whether the corrected
 * command is acceptable. There is never a third. The trace goes to `out`. */
void testCommand(JNIEnv *env, ComediHandle *h, FILE *out)
{
    writeCommandTrace(out, h);
    int ret = comedi_command_test(h->dev, &h->cmd);
    h->lastTestResult = ret;
    if (ret < 0) {
        /* comedilib maps EIO to its own number, so only the C errno still says "no commands". */
        const int testError = errno;
        if (testError == EIO) {
            throwException(env, COMEDI_EXCEPTION, "Ummm... this subdevice doesn't support commands.");
        } else {
            throwComediErrorNumber(env, comedi_errno(), "Comedi command test error: %s", getComediError());
        }
        return;
    }
    fprintf(out, "First test returned %d (%s)\n", ret, cmdtestResultText(ret));
    if (ret == 0) {
        return;
    }

    writeCommandTrace(out, h);
    ret = comedi_command_test(h->dev, &h->cmd);
    h->lastTestResult = ret;
    if (ret < 0) {
        throwComediErrorNumber(env, comedi_errno(), "Comedi command test error: %s", getComediError());
        return;
    }
    fprintf(out, "Second test returned %d (%s)\n", ret, cmdtestResultText(ret));
    if (ret != 0) {
        throwException(env, COMEDI_EXCEPTION, "Error preparing command.");
    }
}

void buildCommand(ComediHandle *h, jint nChannels, double freq)
{
    memset(&h->cmd, 0, sizeof h->cmd);
    const double period = 1e9 / freq;
    h->cmd.subdev = h->subdev;
    h->cmd.flags = 0;
    h->cmd.start_src = TRIG_NOW;
    h->cmd.start_arg = 0;
    h->cmd.scan_begin_src = TRIG_TIMER;
    h->cmd.scan_begin_arg = static_cast<unsigned>(static_cast<int64_t>(period));
    h->cmd.convert_src = TRIG_TIMER;
    /* Divided before truncation, so 3000 Hz over 3 channels gives 111111 and not 333333 / 3. */
    h->cmd.convert_arg = static_cast<unsigned>(static_cast<int64_t>(period / nChannels));
    h->cmd.scan_end_src = TRIG_COUNT;
    h->cmd.scan_end_arg = static_cast<unsigned>(nChannels);
    h->cmd.stop_src = TRIG_NONE;
    h->cmd.stop_arg = 0;
    h->cmd.chanlist = h->chanlist;
    h->cmd.chanlist_len = static_cast<unsigned>(nChannels);
}

/* Room for lostSampleText: the separator, the report and the numbers in it. */
constexpr size_t lostSampleTextSize = 160;

/* The report of a split sample whose rest can no longer arrive (the stream ended), after
 * `separator`; forgets the sample's bytes. */
void lostSampleText(ComediHandle *h, const char *separator, char (&text)[lostSampleTextSize])
{
    snprintf(text, sizeof text,
             "%sData should come in as %i bytes per sample. 1 sample lost: the stream ended after %d of its %d bytes",
             separator, h->bytesPerSample, h->partialBytes, h->bytesPerSample);
    h->partialBytes = 0;
}

} // namespace

extern "C" char *cmd_src(int src, char *buf)
{
    char *end = buf;
    *end = '\0';
    for (const TriggerSourceWord &entry : triggerSourceWords) {
        if ((static_cast<unsigned>(src) & entry.bit) != 0) {
            const size_t length = strlen(entry.word);
            memcpy(end, entry.word, length);
            end += length;
            *end++ = '|';
            *end = '\0';
        }
    }
    if (end != buf) {
        end[-1] = '\0';
    } else {
        snprintf(buf, CMD_SRC_BUFFER_SIZE, "unknown(0x%08x)", static_cast<unsigned>(src));
    }
    return buf;
}

extern "C" void dump_cmd(FILE *out, comedi_cmd *cmd)
{
    char buf[100];
    fprintf(out, "start:      %-8s %d\n", cmd_src(static_cast<int>(cmd->start_src), buf),
            static_cast<int>(cmd->start_arg));
    fprintf(out, "scan_begin: %-8s %d\n", cmd_src(static_cast<int>(cmd->scan_begin_src), buf),
            static_cast<int>(cmd->scan_begin_arg));
    fprintf(out, "convert:    %-8s %d\n", cmd_src(static_cast<int>(cmd->convert_src), buf),
            static_cast<int>(cmd->convert_arg));
    fprintf(out, "scan_end:   %-8s %d\n", cmd_src(static_cast<int>(cmd->scan_end_src), buf),
            static_cast<int>(cmd->scan_end_arg));
    fprintf(out, "stop:       %-8s %d\n", cmd_src(static_cast<int>(cmd->stop_src), buf),
            static_cast<int>(cmd->stop_arg));
}

extern "C" const char *cmdtestResultText(int result)
{
    if (result < 0 || result >= static_cast<int>(sizeof cmdtest_messages / sizeof cmdtest_messages[0])) {
        return unknownCmdtestResult;
    }
    return cmdtest_messages[result];
}

extern "C" {

int requireStreamShape(JNIEnv *env, jint nChannels, jdouble freq)
{
    if (nChannels < 1 || nChannels > MAX_CHANNELS) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Number of channels must be 1 to %d, requesting %d",
                                MAX_CHANNELS, nChannels);
        return 0;
    }
    if (!std::isfinite(freq) || !(freq > 0.0) || !(1e9 / freq < timerArgumentLimit)) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "Scan frequency must be a finite number of Hz whose period 1e9/freq ns is below "
                                "2^32 ns (freq above 0.2328306437 Hz), requesting %g",
                                freq);
        return 0;
    }
    return 1;
}

int allocateSampleBuffer(JNIEnv *env, ComediHandle *h, jint bytes)
{
    h->bufferSize = bytes;
    h->sampleBuffer = static_cast<sampl_t *>(malloc(static_cast<size_t>(bytes)));
    if (h->sampleBuffer == nullptr) {
        throwFormattedException(env, outOfMemoryError, "Cannot allocate %d bytes for the raw samples of %s", bytes,
                                h->deviceName);
        return 0;
    }
    return 1;
}

namespace {

jobject createStreamTask(JNIEnv *env, jstring devString, jint subdevice, jint nChannels, jdouble freq, jint bufSize)
{
    comedi_set_global_oor_behavior(COMEDI_OOR_NUMBER);

    /* Checked before anything exists, so a refusal leaves nothing behind. A channel count of 0
     * would divide the period by zero and let the scan position run past the tables; a period
     * that is not a finite number below 2^32 ns has no defined conversion to the timer argument. */
    if (!requireStreamShape(env, nChannels, freq)) {
        return nullptr;
    }
    if (bufSize < 1) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Buffer size must be at least 1 sample, requesting %d",
                                bufSize);
        return nullptr;
    }

    ComediHandle *h = nullptr;
    jobject handle = openComediTaskOn(env, devString, COMEDI_SUBD_AI, subdevice,
                                      "Error finding analog input subdevice for %s: %s", &h);
    if (handle == nullptr) {
        return nullptr;
    }

    /* -1 has every bit set, SDF_LSAMPL among them: taken as flags it would pick the wrong width. */
    h->subdevFlags = comedi_get_subdevice_flags(h->dev, h->subdev);
    if (h->subdevFlags == -1) {
        throwComediErrorNumber(env, comedi_errno(), "Error getting the flags of subdevice %u of %s: %s", h->subdev,
                                h->deviceName, getComediError());
        releaseComediHandle(h);
        return nullptr;
    }
    h->bytesPerSample = (h->subdevFlags & SDF_LSAMPL) != 0 ? 4 : 2;
    h->nChannels = nChannels;

    if (bufSize > INT32_MAX / h->bytesPerSample) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "Buffer size of %d samples of %d bytes exceeds the largest raw buffer of %d bytes",
                                bufSize, h->bytesPerSample, INT32_MAX);
        releaseComediHandle(h);
        return nullptr;
    }
    if (!allocateSampleBuffer(env, h, h->bytesPerSample * bufSize)) {
        releaseComediHandle(h);
        return nullptr;
    }

    buildCommand(h, nChannels, freq);
    return finishComediTask(env, handle, h);
}

} // namespace

JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nCreateTask(JNIEnv *env, jobject,
                                                                                           jstring devString,
                                                                                           jint nChannels, jdouble freq,
                                                                                           jint bufSize)
{
    return createStreamTask(env, devString, -1, nChannels, freq, bufSize);
}

/* As nCreateTask, on a chosen analog input subdevice (negative: the first). */
JNIEXPORT jobject JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nCreateTaskOn(JNIEnv *env, jobject,
                                                                                             jstring devString,
                                                                                             jint subdevice,
                                                                                             jint nChannels,
                                                                                             jdouble freq, jint bufSize)
{
    return createStreamTask(env, devString, subdevice, nChannels, freq, bufSize);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nCreateChannels(
    JNIEnv *env, jobject, jobject handle, jint i, jshort chan, jdouble min, jdouble max, jstring aref)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    /* Raises by itself when the device is closed. */
    configComediChannel(h, env, i, chan, min, max, aref);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nConfigTask(JNIEnv *env, jobject,
                                                                                        jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    if (requireOpenDevice(env, h, "Comedi command test error")) {
        testCommand(env, h, stdout);
    }
    /* Whatever the outcome: the device stays closed until nStart, and the trace is out. */
    closeComediDevice(h);
    fflush(stdout);
}

/* nConfigTask with the trace as text for Java (trace[0]) instead of on standard output: the same
 * tests, the same texts, the same failures, and the device closed afterwards. The trace is stored
 * also when the test fails, for the refusal to be logged with it. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nConfigTaskTraced(JNIEnv *env, jobject,
                                                                                              jobject handle,
                                                                                              jobjectArray trace)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    if (trace == nullptr || env->GetArrayLength(trace) < 1) {
        throwException(env, COMEDI_EXCEPTION, "The trace array must hold 1 element");
        return;
    }
    char *text = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (out == nullptr) {
        throwFormattedException(env, outOfMemoryError, "Cannot allocate the command-test trace of %s",
                                h->deviceName != nullptr ? h->deviceName : "(none)");
        return;
    }
    /* No answer yet: a failure before the driver's test must not look like its refusal. */
    h->lastTestResult = -1;
    if (requireOpenDevice(env, h, "Comedi command test error")) {
        testCommand(env, h, out);
    }
    closeComediDevice(h);
    fclose(out);
    /* The failure, if any, waits while the trace is handed over: no JNI call with one pending. */
    jthrowable failure = env->ExceptionOccurred();
    if (failure != nullptr) {
        env->ExceptionClear();
    }
    jstring traceText = text != nullptr ? env->NewStringUTF(text) : nullptr;
    free(text);
    if (traceText != nullptr) {
        env->SetObjectArrayElement(trace, 0, traceText);
    }
    if (failure != nullptr) {
        env->ExceptionClear();
        env->Throw(failure);
    }
}

/* Opens the device of a stream that is not running, for setting it up again (channels, the
 * command test) after configure() or stop() closed it; an open device stays as it is. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nOpenForSetup(JNIEnv *env, jobject,
                                                                                          jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr || h->dev != nullptr) {
        return;
    }
    if (h->deviceName == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error opening comedi device %s: %s", "(none)",
                                deviceClosedText);
        return;
    }
    h->dev = comedi_open(h->deviceName);
    if (h->dev == nullptr) {
        throwComediErrorNumber(env, comedi_errno(), "Error opening comedi device %s: %s", h->deviceName,
                               getComediError());
    }
}

/* Closes a device that nOpenForSetup (or the creation) left open and that runs no command, so that
 * nStart finds it closed; nothing to cancel. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nCloseIdle(JNIEnv *env, jobject,
                                                                                       jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h != nullptr) {
        closeComediDevice(h);
    }
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nStart(JNIEnv *env, jobject,
                                                                                   jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    /* Opening again would lose the open device, and with it a running command's unread samples;
     * the scan position of that command must survive too. */
    if (h->dev != nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error starting command: %s",
                                "the device is already open (stop it first)");
        return;
    }
    /* A released record is left untouched: it may be seen through a read-only view. */
    if (h->deviceName == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error opening comedi device %s: %s", "(none)",
                                deviceClosedText);
        return;
    }
    h->channelIndex = 0;
    h->partialBytes = 0;
    h->dev = comedi_open(h->deviceName);
    if (h->dev == nullptr) {
        throwComediErrorNumber(env, comedi_errno(), "Error opening comedi device %s: %s", h->deviceName,
                                getComediError());
        return;
    }
    if (comedi_command(h->dev, &h->cmd) == -1) {
        throwComediErrorNumber(env, comedi_errno(), "Error starting command: %s", getComediError());
    }
}

JNIEXPORT jint JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nScan(JNIEnv *env, jobject,
                                                                                  jobject handle, jobject buf)
{
    /* Every check on the output comes before the driver is touched: a sample read and then
     * refused would be lost. */
    unsigned char *out = nullptr;
    ComediHandle *h = getComediHandleAndData(env, handle, buf, "sample buffer", &out);
    if (h == nullptr) {
        return 0;
    }
    if (h->dev == nullptr || h->sampleBuffer == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error polling device: %s", deviceClosedText);
        return 0;
    }
    const int bytesPerSample = h->bytesPerSample;
    const jlong needed = 8 * static_cast<jlong>(h->bufferSize / bytesPerSample);
    const jlong capacity = env->GetDirectBufferCapacity(buf);
    if (capacity < needed) {
        throwFormattedException(env, COMEDI_EXCEPTION, "The sample buffer holds %lld bytes, needs at least %lld",
                                static_cast<long long>(capacity), static_cast<long long>(needed));
        return 0;
    }

    /* A driver without a poll handler answers EINVAL while its command runs. That is only
     * "nothing to poll" if the command is this handle's own, which the buffer query below proves:
     * the kernel answers it with EINVAL for a subdevice this file does not own. */
    bool pollUnsupported = false;
    if (comedi_poll(h->dev, h->subdev) == -1) {
        const int pollError = comedi_errno();
        if (pollError != EINVAL) {
            throwComediErrorNumber(env, pollError, "Error polling device: %s", comedi_strerror(pollError));
            return 0;
        }
        pollUnsupported = true;
    }
    int bytesToRead = comedi_get_buffer_contents(h->dev, h->subdev);
    if (bytesToRead < 0) {
        const int bufferError = comedi_errno();
        char lost[lostSampleTextSize] = "";
        if (h->partialBytes > 0) {
            lostSampleText(h, ". ", lost);
        }
        if (pollUnsupported && bufferError == EINVAL) {
            throwFormattedException(env, COMEDI_EXCEPTION, "Error polling device: %s%s", comedi_strerror(EINVAL), lost);
        } else {
            throwComediErrorNumber(env, bufferError, "Error getting buffer size: %s%s",
                                    comedi_strerror(bufferError), lost);
        }
        return 0;
    }
    /* Whole samples only, counting the bytes of a split one that the handle keeps: the rest of a
     * sample stays in the driver and completes with the next call. */
    int ready = static_cast<int>((static_cast<int64_t>(bytesToRead) + h->partialBytes) / bytesPerSample);
    const int bufSize = h->bufferSize / bytesPerSample;
    if (ready > bufSize) {
        ready = bufSize;
    }
    if (ready == 0) {
        return 0;
    }

    const int position = h->channelIndex;
    int condition = STREAM_RUNNING;
    const int nSample = drainSamples(env, h, reinterpret_cast<unsigned char *>(h->sampleBuffer), ready, &condition);
    if (nSample < 0) {
        return 0; /* "Error reading comedi data: ..." pending; a split sample's bytes stay kept */
    }
    if (nSample == 0) {
        /* The stream is over with nothing whole to deliver: an overrun after the buffered samples
         * (EPIPE), or a finished command. A split sample kept from before can never complete. */
        char lost[lostSampleTextSize] = "";
        if (h->partialBytes > 0) {
            lostSampleText(h, ". ", lost);
        }
        if (condition == STREAM_OVERRUN) {
            throwFormattedException(env, COMEDI_EXCEPTION, "Error reading comedi data: %s%s", strerror(EPIPE), lost);
        } else if (lost[0] != '\0') {
            throwException(env, COMEDI_EXCEPTION, lost + 2);
        }
        return 0;
    }
    convertDrained(h, reinterpret_cast<const unsigned char *>(h->sampleBuffer), nSample, position, out);
    return nSample;
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nStop(JNIEnv *env, jobject,
                                                                                  jobject handle)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return;
    }
    if (!requireOpenDevice(env, h, "Error stopping command")) {
        return;
    }
    if (comedi_cancel(h->dev, h->subdev) == -1) {
        throwComediErrorNumber(env, comedi_errno(), "Error stopping command: %s", getComediError());
    }
    /* Closed even when the cancel failed: closing the file makes the kernel cancel its command. */
    closeComediDevice(h);
}

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nDestroy(JNIEnv *env, jobject,
                                                                                     jobject handle)
{
    /* Does not cancel a running command first: closing the file makes the kernel cancel it. */
    destroyComediTask(env, handle);
}

} // extern "C"
