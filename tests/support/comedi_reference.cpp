// SPDX-License-Identifier: LGPL-2.1-or-later
// Test-only JNI: comedilib's own answers, one plain library call each, so that tests can hold what
// libvorn reports against what comedilib says in the same process (over the same emulated board).
#include <jni.h>

#include <comedilib.h>
#include <cstring>
#include <cstdint>

namespace {

comedi_t *device(jlong handle)
{
    return reinterpret_cast<comedi_t *>(static_cast<intptr_t>(handle));
}

jintArray commandFields(JNIEnv *env, const comedi_cmd &c)
{
    const jint fields[] = {
        static_cast<jint>(c.start_src),    static_cast<jint>(c.start_arg),   static_cast<jint>(c.scan_begin_src),
        static_cast<jint>(c.scan_begin_arg), static_cast<jint>(c.convert_src), static_cast<jint>(c.convert_arg),
        static_cast<jint>(c.scan_end_src), static_cast<jint>(c.scan_end_arg), static_cast<jint>(c.stop_src),
        static_cast<jint>(c.stop_arg)};
    jintArray out = env->NewIntArray(10);
    if (out != nullptr) {
        env->SetIntArrayRegion(out, 0, 10, fields);
    }
    return out;
}

jstring text(JNIEnv *env, const char *s)
{
    return s != nullptr ? env->NewStringUTF(s) : nullptr;
}

} // namespace

#define REF(ret, name) extern "C" JNIEXPORT ret JNICALL Java_org_vorn_testsupport_ComediReference_##name

REF(jlong, open)(JNIEnv *env, jclass, jstring path)
{
    const char *chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) {
        return 0;
    }
    comedi_t *dev = comedi_open(chars);
    env->ReleaseStringUTFChars(path, chars);
    return static_cast<jlong>(reinterpret_cast<intptr_t>(dev));
}

REF(void, close)(JNIEnv *, jclass, jlong h)
{
    comedi_close(device(h));
}

REF(jint, versionCode)(JNIEnv *, jclass, jlong h)
{
    return comedi_get_version_code(device(h));
}

REF(jstring, driverName)(JNIEnv *env, jclass, jlong h)
{
    return text(env, comedi_get_driver_name(device(h)));
}

REF(jstring, boardName)(JNIEnv *env, jclass, jlong h)
{
    return text(env, comedi_get_board_name(device(h)));
}

REF(jint, subdeviceCount)(JNIEnv *, jclass, jlong h)
{
    return comedi_get_n_subdevices(device(h));
}

REF(jint, subdeviceType)(JNIEnv *, jclass, jlong h, jint s)
{
    return comedi_get_subdevice_type(device(h), static_cast<unsigned>(s));
}

REF(jint, subdeviceFlags)(JNIEnv *, jclass, jlong h, jint s)
{
    return comedi_get_subdevice_flags(device(h), static_cast<unsigned>(s));
}

REF(jint, channelCount)(JNIEnv *, jclass, jlong h, jint s)
{
    return comedi_get_n_channels(device(h), static_cast<unsigned>(s));
}

REF(jboolean, maxDataIsChannelSpecific)(JNIEnv *, jclass, jlong h, jint s)
{
    return comedi_maxdata_is_chan_specific(device(h), static_cast<unsigned>(s)) > 0;
}

REF(jboolean, rangeIsChannelSpecific)(JNIEnv *, jclass, jlong h, jint s)
{
    return comedi_range_is_chan_specific(device(h), static_cast<unsigned>(s)) > 0;
}

REF(jlong, maxData)(JNIEnv *, jclass, jlong h, jint s, jint c)
{
    return static_cast<jlong>(comedi_get_maxdata(device(h), static_cast<unsigned>(s), static_cast<unsigned>(c)));
}

REF(jint, rangeCount)(JNIEnv *, jclass, jlong h, jint s, jint c)
{
    return comedi_get_n_ranges(device(h), static_cast<unsigned>(s), static_cast<unsigned>(c));
}

/* {min, max, unit word}, or null if comedilib has no such range. */
REF(jdoubleArray, range)(JNIEnv *env, jclass, jlong h, jint s, jint c, jint r)
{
    const comedi_range *range = comedi_get_range(device(h), static_cast<unsigned>(s), static_cast<unsigned>(c),
                                                 static_cast<unsigned>(r));
    if (range == nullptr) {
        return nullptr;
    }
    const jdouble values[] = {range->min, range->max, static_cast<jdouble>(range->unit)};
    jdoubleArray out = env->NewDoubleArray(3);
    if (out != nullptr) {
        env->SetDoubleArrayRegion(out, 0, 3, values);
    }
    return out;
}

/* {start_src, start_arg, ..., stop_src, stop_arg}, or null if comedilib refuses. */
REF(jintArray, commandSourceMask)(JNIEnv *env, jclass, jlong h, jint s)
{
    comedi_cmd cmd;
    memset(&cmd, 0, sizeof cmd);
    if (comedi_get_cmd_src_mask(device(h), static_cast<unsigned>(s), &cmd) < 0) {
        return nullptr;
    }
    return commandFields(env, cmd);
}

REF(jintArray, genericTimed)(JNIEnv *env, jclass, jlong h, jint s, jint chanlistLength, jint scanPeriodNs)
{
    comedi_cmd cmd;
    memset(&cmd, 0, sizeof cmd);
    if (comedi_get_cmd_generic_timed(device(h), static_cast<unsigned>(s), &cmd, static_cast<unsigned>(chanlistLength),
                                     static_cast<unsigned>(scanPeriodNs)) < 0) {
        return nullptr;
    }
    return commandFields(env, cmd);
}

REF(jint, findRange)(JNIEnv *, jclass, jlong h, jint s, jint c, jdouble min, jdouble max)
{
    return comedi_find_range(device(h), static_cast<unsigned>(s), static_cast<unsigned>(c), UNIT_volt, min, max);
}

REF(jint, outOfRangeBehavior)(JNIEnv *, jclass, jint behavior)
{
    return comedi_set_global_oor_behavior(static_cast<comedi_oor_behavior>(behavior));
}
