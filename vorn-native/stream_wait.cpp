// SPDX-License-Identifier: LGPL-2.1-or-later
/* The waiting read of the streaming input device: it sleeps in the kernel (ppoll on the Comedi
 * file and on the handle's wake-up eventfd) until enough samples have arrived, the timeout passes,
 * or another thread wakes it through nWake (stop or close).
 *
 * The wake-up descriptor is the one piece of a handle that another thread touches while a call is
 * in flight, and after the handle may have been released: nWake runs without the device's lock.
 * wakeState is 0 before the eventfd exists, 3 when a wake-up came before it, 1 while wakeFd holds
 * it and 2 once it is released. A
 * waker announces itself in wakeUsers before it looks at wakeState; the release marks the state 2
 * and waits for announced wakers to leave before it closes the descriptor. So a waker either sees
 * 2 and writes nothing, or the release waits for its write: never a write to a number that was
 * closed and may belong to another file. */
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediAnalogStreamingDevice.h"
#include "stream_output.h"
#include "stream_read.h"
#include "util.h"

namespace {

enum WakeState : int { WAKE_NONE = 0, WAKE_OPEN = 1, WAKE_RELEASED = 2, WAKE_PENDING = 3 };

/* The shortest sleep while samples are still missing: below it a wake-up costs more than the
 * samples it would gain. */
constexpr int64_t minimumSleepNs = 20000;
/* The longest sleep between looks at a driver that delivers in blocks, later than the accepted
 * timing predicts: bounds the delay such a driver adds. */
constexpr int64_t maximumPredictedSleepNs = 1000000;
/* The longest sleep between two looks at the reading thread's interrupt status: Thread.interrupt()
 * does not end a sleep in ppoll, so this bounds how late an interrupted read returns. */
constexpr int64_t interruptCheckNs = 40000000;

/* Thread.currentThread() and Thread.isInterrupted(), looked up once. Two threads that look them up
 * at once store the same values; the class reference is global, so a second one is only a leak of
 * one reference, once. */
jclass threadClass;
jmethodID currentThreadMethod;
jmethodID isInterruptedMethod;

/* True when the calling Java thread's interrupt status is set; false, with nothing pending, when
 * the JVM cannot tell. */
bool threadInterrupted(JNIEnv *env)
{
    if (__atomic_load_n(&isInterruptedMethod, __ATOMIC_ACQUIRE) == nullptr) {
        jclass local = env->FindClass("java/lang/Thread");
        if (local == nullptr) {
            env->ExceptionClear();
            return false;
        }
        jclass global = static_cast<jclass>(env->NewGlobalRef(local));
        env->DeleteLocalRef(local);
        jmethodID current = env->GetStaticMethodID(global, "currentThread", "()Ljava/lang/Thread;");
        jmethodID interrupted = env->GetMethodID(global, "isInterrupted", "()Z");
        if (global == nullptr || current == nullptr || interrupted == nullptr) {
            env->ExceptionClear();
            return false;
        }
        __atomic_store_n(&threadClass, global, __ATOMIC_RELEASE);
        __atomic_store_n(&currentThreadMethod, current, __ATOMIC_RELEASE);
        __atomic_store_n(&isInterruptedMethod, interrupted, __ATOMIC_RELEASE);
    }
    jobject self = env->CallStaticObjectMethod(__atomic_load_n(&threadClass, __ATOMIC_ACQUIRE),
                                               __atomic_load_n(&currentThreadMethod, __ATOMIC_ACQUIRE));
    if (env->ExceptionCheck() || self == nullptr) {
        env->ExceptionClear();
        return false;
    }
    const bool interrupted = env->CallBooleanMethod(self, isInterruptedMethod) == JNI_TRUE;
    const bool failed = env->ExceptionCheck();
    if (failed) {
        env->ExceptionClear();
    }
    env->DeleteLocalRef(self);
    return interrupted && !failed;
}

int64_t monotonicNowNs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

/* The accepted time between two samples of the stream, from the command as the driver corrected it. */
int64_t samplePeriodNs(const ComediHandle *h)
{
    int64_t scanPeriod = h->cmd.scan_begin_src == TRIG_TIMER
                             ? static_cast<int64_t>(h->cmd.scan_begin_arg)
                             : static_cast<int64_t>(h->cmd.convert_arg) * h->nChannels;
    const int64_t period = scanPeriod / h->nChannels;
    return period > 0 ? period : 1;
}

/* The command no longer runs: it ended, or an overrun or a driver error stopped it. */
bool commandStopped(const ComediHandle *h)
{
    const int flags = comedi_get_subdevice_flags(h->dev, h->subdev);
    return flags != -1 && (flags & SDF_RUNNING) == 0;
}

/* The handle's eventfd, made on the first waiting read; -1 with an exception pending. A wake-up
 * that came before it existed (WAKE_PENDING) is not lost: the new eventfd starts signalled. */
int wakeDescriptor(JNIEnv *env, ComediHandle *h)
{
    int fd = -1;
    for (;;) {
        int state = __atomic_load_n(&h->wakeState, __ATOMIC_SEQ_CST);
        if (state == WAKE_OPEN) {
            return h->wakeFd;
        }
        if (state == WAKE_RELEASED) {
            if (fd >= 0) {
                close(fd);
            }
            throwFormattedException(env, COMEDI_EXCEPTION, "Error polling device: %s", deviceClosedText);
            return -1;
        }
        if (fd < 0) {
            fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (fd < 0) {
                const int error = errno;
                throwFormattedException(env, COMEDI_EXCEPTION, "Error creating the wake-up descriptor of %s: %s",
                                        h->deviceName, strerror(error));
                return -1;
            }
        }
        /* Set before the state says so: a waker reads the number only once it sees WAKE_OPEN. */
        h->wakeFd = fd;
        if (__atomic_compare_exchange_n(&h->wakeState, &state, WAKE_OPEN, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            if (state == WAKE_PENDING) {
                const uint64_t one = 1;
                (void)!write(fd, &one, sizeof one);
            }
            return fd;
        }
    }
}

void clearWake(int wakeFd)
{
    uint64_t count;
    while (read(wakeFd, &count, sizeof count) > 0) {
    }
}

/* Sleeps until the device has data (when `untilData`), a wake-up, or `sleepNs`; true if woken. */
bool sleepOnStream(ComediHandle *h, int wakeFd, bool untilData, int64_t sleepNs)
{
    struct pollfd fds[2] = {{wakeFd, POLLIN, 0}, {comedi_fileno(h->dev), POLLIN, 0}};
    const struct timespec timeout = {static_cast<time_t>(sleepNs / 1000000000), static_cast<long>(sleepNs % 1000000000)};
    const int n = ppoll(fds, untilData ? 2 : 1, &timeout, nullptr);
    if (n > 0 && (fds[0].revents & POLLIN) != 0) {
        clearWake(wakeFd);
        return true;
    }
    return false;
}

} // namespace

int streamWakeDescriptor(JNIEnv *env, ComediHandle *h)
{
    return wakeDescriptor(env, h);
}

extern "C" void releaseStreamWake(ComediHandle *h)
{
    const int previous = __atomic_exchange_n(&h->wakeState, WAKE_RELEASED, __ATOMIC_SEQ_CST);
    while (__atomic_load_n(&h->wakeUsers, __ATOMIC_SEQ_CST) != 0) {
        sched_yield();
    }
    if (previous == WAKE_OPEN) {
        close(h->wakeFd);
        h->wakeFd = -1;
    }
}

extern "C" {

JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nWake(JNIEnv *env, jclass, jobject handle)
{
    /* Without the lock, possibly during the release: no look at the buffer reference it deletes. */
    ComediHandle *h = getComediHandleUnlocked(env, handle);
    if (h == nullptr) {
        return;
    }
    __atomic_add_fetch(&h->wakeUsers, 1, __ATOMIC_SEQ_CST);
    int state = __atomic_load_n(&h->wakeState, __ATOMIC_SEQ_CST);
    if (state == WAKE_NONE) {
        /* No eventfd yet: the read that makes it finds the wake-up pending. If it made it meanwhile,
         * the exchange fails and the state says OPEN. */
        __atomic_compare_exchange_n(&h->wakeState, &state, WAKE_PENDING, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
    if (state == WAKE_OPEN) {
        const uint64_t one = 1;
        /* A full counter (never reached) still leaves the descriptor readable: nothing to report. */
        (void)!write(h->wakeFd, &one, sizeof one);
    }
    __atomic_sub_fetch(&h->wakeUsers, 1, __ATOMIC_SEQ_CST);
}

/* The Java side resolved both addresses once, holds the device's lock (which close() needs before
 * it releases the record) and checked that the buffer holds the stream's bufSize values, raw codes
 * or doubles as `raw` says: so the values asked for must lie within bufSize. */
JNIEXPORT jlong JNICALL Java_org_vorn_acq_comedi_ComediAnalogStreamingDevice_nReadWaitAt(
    JNIEnv *env, jclass, jlong handle, jlong buf, jint offset, jint maxValues, jint minValues, jlong timeoutNanos,
    jboolean raw, jboolean wholeScans)
{
    ComediHandle *h = recordAt(handle);
    if (!requireReadableStream(env, h, "Error polling device")) {
        return 0;
    }
    const int bufSize = h->bufferSize / h->bytesPerSample;
    if (maxValues < 1 || offset < 0 || minValues < 0 || maxValues > bufSize - offset) {
        throwFormattedException(env, COMEDI_EXCEPTION,
                                "A read takes 1 to %d values at a non-negative offset, requesting %d at %d (at least %d)",
                                bufSize, maxValues, offset, minValues);
        return 0;
    }
    const int64_t valueBytes = raw ? h->bytesPerSample : 8;
    unsigned char *out = reinterpret_cast<unsigned char *>(static_cast<uintptr_t>(buf)) + offset * valueBytes;
    const int wanted = minValues < maxValues ? minValues : maxValues;
    const bool waits = timeoutNanos > 0 && wanted > 0;
    const int wakeFd = waits ? wakeDescriptor(env, h) : -1;
    if (waits && wakeFd < 0) {
        return 0;
    }
    const int64_t deadline = waits ? monotonicNowNs() + (timeoutNanos < INT64_MAX / 2 ? timeoutNanos : INT64_MAX / 2) : 0;
    const int64_t period = samplePeriodNs(h);

    int condition = STREAM_RUNNING;
    int lastReady = -1;
    int64_t lastSleep = 0;
    /* The Java side looked at the interrupt status just before this call, so the first sleep goes
     * without the two calls into the JVM that the look costs; every later one asks again, which
     * keeps the bound of interruptCheckNs. */
    bool interruptLooked = true;
    /* The board is asked to move what it holds (comedi_poll) at the looks after a sleep, when
     * samples are due. A streaming loop's next read comes a moment after the previous read's last
     * look did that, so its first look asks the driver's buffer only: one call instead of two, as
     * often as reads come. Samples the board still holds then are taken at the next look, after a
     * sleep no longer than the missing values take. A read that does not wait looks once, fully. */
    bool pollBoard = !waits;
    for (;;) {
        const int ready = readySamples(env, h, &condition, pollBoard);
        pollBoard = true;
        if (ready < 0) {
            return 0;
        }
        int take = samplesToTake(h, ready, maxValues, wholeScans == JNI_TRUE);
        int64_t remaining = waits ? deadline - monotonicNowNs() : 0;
        /* A whole-scan read leaves the start of a scan in the driver until the scan's other values
         * come. A stopped command never brings them, and the driver says why it stopped only once
         * everything before is read: so that part is taken as it is, for the caller to hold. Asked
         * only when the read would give up on it (its last look, or a look that found nothing new). */
        const bool partLeft = take < ready && ready <= maxValues;
        const bool stoppedInsideAScan =
            partLeft && (remaining <= 0 || ready == lastReady) && commandStopped(h);
        if (stoppedInsideAScan) {
            take = ready;
        }
        if (condition != STREAM_RUNNING || take >= wanted || remaining <= 0 || stoppedInsideAScan) {
            if (take == 0) {
                return packReadResult(0, condition);
            }
            unsigned char *rawOut = raw ? out : reinterpret_cast<unsigned char *>(h->sampleBuffer);
            const int position = h->channelIndex;
            const int got = drainSamples(env, h, rawOut, take, &condition);
            if (got < 0) {
                return 0;
            }
            if (!raw) {
                convertDrained(h, rawOut, got, position, out);
            }
            return packReadResult(got, condition);
        }
        /* Asleep until the missing samples are due by the accepted timing; with nothing ready the
         * driver's own wake-up (data arrived) may end the sleep sooner. A look that found no more
         * than the last one means the driver delivers in blocks: the next sleep is longer. */
        int64_t sleepNs = static_cast<int64_t>(wanted - take) * period;
        if (ready == lastReady && lastSleep * 2 > sleepNs) {
            sleepNs = lastSleep * 2;
        }
        if (sleepNs > maximumPredictedSleepNs && ready > 0) {
            sleepNs = maximumPredictedSleepNs;
        }
        if (sleepNs < minimumSleepNs) {
            sleepNs = minimumSleepNs;
        }
        if (sleepNs > remaining) {
            sleepNs = remaining;
        }
        if (sleepNs > interruptCheckNs) {
            sleepNs = interruptCheckNs;
        }
        if (!interruptLooked && threadInterrupted(env)) {
            return packReadResult(0, STREAM_INTERRUPTED);
        }
        interruptLooked = false;
        lastReady = ready;
        lastSleep = sleepNs;
        /* The device file wakes the sleep when data arrive after an empty buffer: for a long wait
         * (a slow stream), where the prediction matters least. A short one ends on its timer, with
         * one wake-up a read instead of one at the first sample and another when the rest is due. */
        if (sleepOnStream(h, wakeFd, ready == 0 && sleepNs > maximumPredictedSleepNs, sleepNs)) {
            return packReadResult(0, STREAM_WOKEN);
        }
    }
}

} // extern "C"
