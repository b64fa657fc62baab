// SPDX-License-Identifier: LGPL-2.1-or-later
/* The description of a device: what comedilib knows about every subdevice, read in one call that
 * opens the device and closes it again. The answer travels to Java as one byte array in native
 * order (32-bit integers, 64-bit doubles, length-prefixed names) that ComediDeviceDescription decodes, so
 * the native side builds no Java objects. */
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "device_common.h"
#include "org_vorn_acq_comedi_ComediDeviceDescription.h"
#include "util.h"

namespace {

constexpr char outOfMemoryError[] = "java/lang/OutOfMemoryError";

/* A growing byte buffer; after a failed allocation it only remembers that it failed. */
struct Encoder {
    unsigned char *bytes;
    size_t size;
    size_t capacity;
    bool failed;
};

void put(Encoder &e, const void *data, size_t length)
{
    if (e.failed) {
        return;
    }
    if (e.capacity - e.size < length) {
        size_t capacity = e.capacity == 0 ? 1024 : e.capacity;
        while (capacity - e.size < length) {
            capacity *= 2;
        }
        void *grown = realloc(e.bytes, capacity);
        if (grown == nullptr) {
            e.failed = true;
            return;
        }
        e.bytes = static_cast<unsigned char *>(grown);
        e.capacity = capacity;
    }
    memcpy(e.bytes + e.size, data, length);
    e.size += length;
}

void putInt(Encoder &e, int32_t value)
{
    put(e, &value, sizeof value);
}

void putDouble(Encoder &e, double value)
{
    put(e, &value, sizeof value);
}

/* A kernel name has at most 19 characters; a missing one is sent as empty. */
void putName(Encoder &e, const char *name)
{
    const size_t length = name != nullptr ? strnlen(name, 64) : 0;
    putInt(e, static_cast<int32_t>(length));
    put(e, name, length);
}

void putCommand(Encoder &e, const comedi_cmd &cmd)
{
    const unsigned fields[] = {cmd.start_src,    cmd.start_arg,   cmd.scan_begin_src, cmd.scan_begin_arg,
                               cmd.convert_src,  cmd.convert_arg, cmd.scan_end_src,   cmd.scan_end_arg,
                               cmd.stop_src,     cmd.stop_arg};
    for (unsigned field : fields) {
        putInt(e, static_cast<int32_t>(field));
    }
}

struct Description {
    JNIEnv *env;
    comedi_t *dev;
    const char *deviceName;
    Encoder out;
};

void raise(Description &d, const char *what, unsigned subdev, const char *reason)
{
    throwFormattedException(d.env, COMEDI_EXCEPTION, "Error reading the %s of subdevice %u of comedi device %s: %s",
                            what, subdev, d.deviceName, reason);
}

/* One list of ranges: those of `chan`. */
bool putRanges(Description &d, unsigned subdev, unsigned chan)
{
    const int nRanges = comedi_get_n_ranges(d.dev, subdev, chan);
    if (nRanges < 0) {
        raise(d, "ranges", subdev, getComediError());
        return false;
    }
    putInt(d.out, nRanges);
    for (int r = 0; r < nRanges; ++r) {
        const comedi_range *range = comedi_get_range(d.dev, subdev, chan, static_cast<unsigned>(r));
        if (range == nullptr) {
            raise(d, "ranges", subdev, "comedilib lost a range it had counted");
            return false;
        }
        putDouble(d.out, range->min);
        putDouble(d.out, range->max);
        putInt(d.out, static_cast<int32_t>(range->unit));
    }
    return true;
}

/* The sources a subdevice's commands accept, and its fastest one-channel timed scan. comedilib
 * answers both with -1 for "no" as well as for a failed request; only the C errno tells them apart:
 * EIO is the kernel's word for a subdevice without commands, and a timed command that the driver
 * does not accept fails without any request failing. */
bool putCommands(Description &d, unsigned subdev)
{
    comedi_cmd cmd;
    memset(&cmd, 0, sizeof cmd);
    errno = 0;
    if (comedi_get_cmd_src_mask(d.dev, subdev, &cmd) < 0) {
        if (errno != EIO) {
            raise(d, "command sources", subdev, getComediError());
            return false;
        }
        putInt(d.out, 0);
        return true;
    }
    putInt(d.out, 1);
    putCommand(d.out, cmd);

    memset(&cmd, 0, sizeof cmd);
    errno = 0;
    if (comedi_get_cmd_generic_timed(d.dev, subdev, &cmd, 1, 1) < 0) {
        if (errno != 0 && errno != EIO) {
            raise(d, "fastest timed scan", subdev, getComediError());
            return false;
        }
        putInt(d.out, 0);
        return true;
    }
    putInt(d.out, 1);
    putCommand(d.out, cmd);
    return true;
}

bool putSubdevice(Description &d, unsigned subdev)
{
    const int type = comedi_get_subdevice_type(d.dev, subdev);
    const int flags = comedi_get_subdevice_flags(d.dev, subdev);
    if (type < 0 || flags == -1) {
        raise(d, "flags", subdev, getComediError());
        return false;
    }
    const int nChannels = comedi_get_n_channels(d.dev, subdev);
    if (nChannels < 0) {
        raise(d, "channels", subdev, getComediError());
        return false;
    }
    putInt(d.out, type);
    putInt(d.out, flags);
    putInt(d.out, nChannels);

    /* Per channel only where comedilib keeps a list per channel; an unused subdevice has none. */
    const bool maxDataPerChannel = comedi_maxdata_is_chan_specific(d.dev, subdev) > 0;
    const int nMaxData = nChannels == 0 ? 0 : maxDataPerChannel ? nChannels : 1;
    putInt(d.out, maxDataPerChannel ? 1 : 0);
    putInt(d.out, nMaxData);
    for (int c = 0; c < nMaxData; ++c) {
        putInt(d.out, static_cast<int32_t>(comedi_get_maxdata(d.dev, subdev, static_cast<unsigned>(c))));
    }

    const bool rangesPerChannel = comedi_range_is_chan_specific(d.dev, subdev) > 0;
    const int nRangeLists = nChannels == 0 ? 0 : rangesPerChannel ? nChannels : 1;
    putInt(d.out, rangesPerChannel ? 1 : 0);
    putInt(d.out, nRangeLists);
    for (int c = 0; c < nRangeLists; ++c) {
        if (!putRanges(d, subdev, static_cast<unsigned>(c))) {
            return false;
        }
    }

    /* The kernel refuses every command of an unused subdevice; asking would only cost ioctls. */
    if (type == COMEDI_SUBD_UNUSED) {
        putInt(d.out, 0);
        return true;
    }
    return putCommands(d, subdev);
}

bool putDevice(Description &d)
{
    const int nSubdevices = comedi_get_n_subdevices(d.dev);
    if (nSubdevices < 0) {
        throwFormattedException(d.env, COMEDI_EXCEPTION, "Error reading the subdevices of comedi device %s: %s",
                                d.deviceName, getComediError());
        return false;
    }
    putInt(d.out, comedi_get_version_code(d.dev));
    putName(d.out, comedi_get_driver_name(d.dev));
    putName(d.out, comedi_get_board_name(d.dev));
    putInt(d.out, nSubdevices);
    for (int s = 0; s < nSubdevices; ++s) {
        if (!putSubdevice(d, static_cast<unsigned>(s))) {
            return false;
        }
    }
    return true;
}

jbyteArray toJava(Description &d)
{
    if (d.out.failed || d.out.size > INT32_MAX) {
        throwFormattedException(d.env, outOfMemoryError, "no memory for the description of comedi device %s",
                                d.deviceName);
        return nullptr;
    }
    const jsize length = static_cast<jsize>(d.out.size);
    jbyteArray bytes = d.env->NewByteArray(length);
    if (bytes == nullptr) {
        return nullptr;
    }
    d.env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte *>(d.out.bytes));
    return bytes;
}

} // namespace

extern "C" {

JNIEXPORT jbyteArray JNICALL Java_org_vorn_acq_comedi_ComediDeviceDescription_nDescribe(JNIEnv *env, jclass,
                                                                                jstring devString)
{
    char *deviceName = GetStringNativeChars(env, devString);
    if (deviceName == nullptr) {
        return nullptr;
    }
    comedi_t *dev = comedi_open(deviceName);
    if (dev == nullptr) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error opening comedi device %s: %s", deviceName,
                                getComediError());
        free(deviceName);
        return nullptr;
    }
    Description d = {env, dev, deviceName, {nullptr, 0, 0, false}};
    jbyteArray result = putDevice(d) ? toJava(d) : nullptr;
    comedi_close(dev);
    free(d.out.bytes);
    free(deviceName);
    return result;
}

} // extern "C"
