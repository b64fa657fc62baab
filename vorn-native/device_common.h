// SPDX-License-Identifier: LGPL-2.1-or-later
/* The per-device record that lives in a Java handle buffer, and the operations every device
 * module shares. */
#ifndef VORN_DEVICE_COMMON_H
#define VORN_DEVICE_COMMON_H

#include <comedilib.h>
#include <jni.h>
#include <stdint.h>

#define COMEDI_EXCEPTION "org/vorn/exception/ComediException"
#define MAX_CHANNELS 256

#ifdef __cplusplus
extern "C" {
#endif

/* One position's conversion as a polynomial in u = (x - origin) / divisor, evaluated by Horner:
 * a calibration file's (divisor 1), or the linear map of the range written so that it gives the
 * very doubles of the linear conversion (calibration.h). */
typedef struct VornConversion {
    double origin;
    double divisor;
    double c[4];
} VornConversion;

/* Java owns the memory (a direct buffer that never moves), so the pointers into the record itself
 * stay valid for the life of the handle. The layout is shared with every device module. */
typedef struct ComediHandle {
    char *deviceName;
    comedi_t *dev;
    unsigned int subdev;
    jint nChannels;
    int subdevFlags;
    int bytesPerSample;
    comedi_range rangeInfo[MAX_CHANNELS];
    lsampl_t maxSample[MAX_CHANNELS];
    unsigned int chanlist[MAX_CHANNELS];
    comedi_cmd cmd;
    sampl_t *sampleBuffer;
    jint bufferSize;
    int channelIndex;
    comedi_insnlist insnList;
    comedi_insn insn[MAX_CHANNELS];
    lsampl_t sample[MAX_CHANNELS];
    int ports[MAX_CHANNELS];
    int nPorts;
    unsigned int portMask;
    int linesPerPort;
    /* The streaming reads of stream_read: the bytes of a sample the driver split across two reads,
     * completed by the next read. */
    unsigned char partialSample[sizeof(lsampl_t)];
    int partialBytes;
    /* The wake-up of a read that sleeps in poll (stream_wait). Other threads touch these three only
     * through the atomic protocol of stream_wait, which keeps a descriptor number from being
     * written after the handle released it. */
    int wakeState;
    int wakeFd;
    int wakeUsers;
    /* What the driver answered to the last command test of nConfigTask (a stage 0..5, or -1 when
     * the test itself failed), for a refusal that says why. */
    int lastTestResult;
    /* The checks on handles that Java passes in (device_common.cpp). */
    /* The handle buffer itself while the handle is live, null once released: a view of the same
     * memory (read-only or not) is another object and is refused. */
    jweak self;
    /* The record's own address mixed with a constant: a buffer of any other bytes, or a copy of a
     * real record at another address, does not carry it. Last, so that the capacity check alone
     * proves it readable. */
    uint64_t cookie;
    /* Software calibration (calibration.h): how each position converts, fetched when it is
     * configured, and the calibration file the device found or was given. */
    VornConversion conversion[MAX_CHANNELS];
    unsigned char calibrationState[MAX_CHANNELS];
    /* Positions converting with a file's polynomial: while there are any, the converting loops
     * take conversion[] for every position. */
    int calibratedPositions;
    int calibrationMode;
    char *calibrationPath;
    comedi_calibration_t *calibrationFile;
    int calibrationLookup;
} ComediHandle;

/* comedilib's text for its current error number. */
const char *getComediError(void);

/* Closes the device if it is open; harmless on a closed handle. */
void closeComediDevice(ComediHandle *h);

/* Closes the eventfd that wakes a sleeping streaming read, once no waker can still write to it
 * (stream_wait.cpp); harmless on a handle that never had one. */
void releaseStreamWake(ComediHandle *h);

/* Closes the device and releases the device-name copy: what a failed creation or a destroy leaves
 * behind is nothing. */
void releaseComediHandle(ComediHandle *h);

/* A zero-filled handle buffer with the device-name copy and the open device (stored in *record),
 * no subdevice chosen yet. On failure nothing is left open or allocated, and null is returned with
 * an exception pending. */
jobject openComediHandle(JNIEnv *env, jstring devString, ComediHandle **record);

/* What every device creation shares: a zero-filled handle buffer, the device-name copy, the open
 * device and its first subdevice of `devType` (stored in *record). A missing subdevice raises
 * `missingSubdeviceFormat` filled with the device name and the reason. On failure nothing is left
 * open or allocated, and null is returned with an exception pending. */
jobject openComediTask(JNIEnv *env, jstring devString, int devType, const char *missingSubdeviceFormat,
                       ComediHandle **record);

/* As openComediTask, on subdevice `requested` when it is 0 or more (refused with the same text
 * when it is not of `devType`), the first one of the type when it is negative. */
jobject openComediTaskOn(JNIEnv *env, jstring devString, int devType, jint requested,
                         const char *missingSubdeviceFormat, ComediHandle **record);

jobject createComediInsnTask(JNIEnv *env, jstring devString, jint nChannels, int devType);

/* As createComediInsnTask, on subdevice `subdevice` (negative: the first of `devType`). */
jobject createComediInsnTaskOn(JNIEnv *env, jstring devString, jint nChannels, int devType, jint subdevice);

/* The nCreateChannels of both instruction-list devices: configComediChannel on the handle's
 * record, then instruction i of the list: `insnCode` (INSN_READ or INSN_WRITE) on one data word,
 * sample[i]. A failed configuration leaves instruction i as it was. */
void configComediInsnChannel(JNIEnv *env, jobject handle, jint i, jshort chan, jdouble min, jdouble max,
                             jstring aref, unsigned insnCode);

/* The destroy call of every device: closes the device and releases what the library allocated.
 * A second call finds nothing left. */
void destroyComediTask(JNIEnv *env, jobject handle);

void configComediChannel(ComediHandle *h, JNIEnv *env, jint i, jshort chan, jdouble min, jdouble max, jstring aref);

/* The record behind a handle buffer, or null with a ComediException pending when the buffer is
 * null, not direct, too small, not a record that a creation here made, or a view of a live
 * handle rather than the handle itself. A released handle stays valid: its calls raise their
 * "device is closed" texts. */
ComediHandle *getComediHandle(JNIEnv *env, jobject handle);

/* The checks of getComediHandle that read no field a release changes (capacity and cookie), for
 * a native that other threads call without the device's lock, possibly while or after the handle
 * is released: it must touch only what stays valid then. */
ComediHandle *getComediHandleUnlocked(JNIEnv *env, jobject handle);

/* The last step of every successful creation: marks the record as one of ours and remembers its
 * buffer. Returns `handle`, or null with an exception pending (the record then released). */
jobject finishComediTask(JNIEnv *env, jobject handle, ComediHandle *h);

/* Forgets the buffer of a released handle; harmless when already forgotten. */
void forgetHandleBuffer(JNIEnv *env, ComediHandle *h);

/* The memory of a data buffer, or null with a ComediException pending that names `what` when the
 * buffer is null or not direct. */
void *getDataBufferAddress(JNIEnv *env, jobject buf, const char *what);

/* Text for a failed comedi_find_subdevice_by_type: comedilib sets its error only when the search
 * cannot start, and leaves a stale one when no subdevice has the type. */
const char *subdeviceSearchError(comedi_t *dev, int type);

/* Text used in place of comedilib's error when a call finds the device already closed. */
extern const char deviceClosedText[];

/* True while the record's device is open; otherwise raises "<prefix>: device is closed", the
 * text callers already match for the failure of the call itself. */
bool requireOpenDevice(JNIEnv *env, const ComediHandle *h, const char *prefix);

#ifdef __cplusplus
}

/* The prologue of every call that moves values through a data buffer: the record, then the
 * buffer's memory as `T`. Null, with the first failed check's exception pending, unless both are
 * sound. No allocation and no lookup: the hot paths start with it. */
template <typename T>
inline ComediHandle *getComediHandleAndData(JNIEnv *env, jobject handle, jobject buf, const char *what, T **data)
{
    ComediHandle *h = getComediHandle(env, handle);
    if (h == nullptr) {
        return nullptr;
    }
    *data = static_cast<T *>(getDataBufferAddress(env, buf, what));
    return *data == nullptr ? nullptr : h;
}

/* The record at an address that nHandleAddress returned (getComediHandle's checks passed then);
 * the Java side passes it only with the device's lock held and the device open. */
inline ComediHandle *recordAt(jlong address)
{
    return reinterpret_cast<ComediHandle *>(static_cast<uintptr_t>(address));
}

/* True while comedilib converts the ends of a range to numbers (COMEDI_OOR_NUMBER, which every
 * device creation selects), the only mode rawToPhys reproduces. The mode is process-wide and any
 * code in the process may change it, so the converting loops ask once per call: raw 0 becomes NaN
 * only in the other mode. */
static inline bool comediConvertsRangeEnds()
{
    comedi_range probe = {0.0, 1.0, UNIT_volt};
    return comedi_to_phys(0, &probe, 1) == 0.0;
}

/* comedi_to_phys without a library call per sample: its NUMBER-mode arithmetic, operation for
 * operation in doubles, so every value is bit for bit what comedilib returns (tests/native prove it
 * over whole ranges). A fused multiply-add would round once where comedilib rounds twice: the
 * empty asm keeps the product a rounded double in any translation unit, whatever -march or
 * -ffp-contract it is compiled with (libvorn's own modules also use -ffp-contract=off). Anything
 * this does not reproduce (the NaN mode, maxdata 0) goes to comedilib itself. */
static inline double rawToPhys(lsampl_t raw, comedi_range *range, lsampl_t maxdata, bool rangeEndsAreNumbers)
{
    if (!rangeEndsAreNumbers || maxdata == 0) {
        return comedi_to_phys(raw, range, maxdata);
    }
    double x = raw;
    x /= maxdata;
    x *= range->max - range->min;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(x));
#endif
    x += range->min;
    return x;
}
#endif

#endif
