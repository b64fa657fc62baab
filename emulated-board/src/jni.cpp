// SPDX-License-Identifier: LGPL-2.1-or-later
// JNI side of org.vorn.emu.EmulatedBoard: thin forwards to the emu_* API.
#include <jni.h>

#include <string>

#include "emuboard.h"

namespace {
// Copies a Java string; null becomes an empty path, which names no board.
std::string str(JNIEnv *env, jstring s) {
    if (!s) return std::string();
    const char *c = env->GetStringUTFChars(s, nullptr);
    if (!c) return std::string();
    std::string r(c);
    env->ReleaseStringUTFChars(s, c);
    return r;
}
} // namespace

#define FN(ret, name) extern "C" JNIEXPORT ret JNICALL Java_org_vorn_emu_EmulatedBoard_##name

FN(void, reset)(JNIEnv *, jclass) { emu_reset(); }
FN(jint, setClock)(JNIEnv *, jclass, jint mode) { return emu_set_clock(mode); }
FN(jint, getClock)(JNIEnv *, jclass) { return emu_get_clock(); }
FN(jlong, nowNs)(JNIEnv *, jclass) { return jlong(emu_now_ns()); }
FN(jint, advanceNs)(JNIEnv *, jclass, jlong ns) { return ns < 0 ? -1 : emu_advance_ns(uint64_t(ns)); }
FN(jint, advanceScans)(JNIEnv *env, jclass, jstring p, jlong n) {
    return n < 0 ? -1 : emu_advance_scans(str(env, p).c_str(), uint64_t(n));
}
FN(jint, setBufferSize)(JNIEnv *, jclass, jint bytes) { return bytes < 0 ? -1 : emu_set_buffer_size(uint32_t(bytes)); }
FN(jint, failNext__II)(JNIEnv *, jclass, jint op, jint err) { return emu_fail_next(op, err); }
FN(jint, failNth)(JNIEnv *, jclass, jint op, jint nth, jint err) { return nth < 1 ? -1 : emu_fail_nth(op, unsigned(nth), err); }
FN(jint, failAlways__II)(JNIEnv *, jclass, jint op, jint err) { return emu_fail_always(op, err); }
FN(jint, failInsnlistAfter)(JNIEnv *, jclass, jint k, jint err) { return k < 0 ? -1 : emu_fail_insnlist_after(unsigned(k), err); }
FN(jint, shortReadNext)(JNIEnv *, jclass, jlong n) { return n < 0 ? -1 : emu_short_read_next(size_t(n)); }
FN(jint, forceCmdtestStage)(JNIEnv *, jclass, jint nth, jint stage) {
    return nth < 1 ? -1 : emu_force_cmdtest_stage(unsigned(nth), stage);
}
FN(jint, overrunNow)(JNIEnv *env, jclass, jstring p) { return emu_overrun_now(str(env, p).c_str()); }
FN(void, clearFaults)(JNIEnv *, jclass) { emu_clear_faults(); }
FN(jint, opFromName)(JNIEnv *env, jclass, jstring n) { return emu_op_from_name(str(env, n).c_str()); }
FN(jint, openCount)(JNIEnv *, jclass) { return emu_open_count(); }
FN(jint, subdeviceBusy)(JNIEnv *env, jclass, jstring p, jint s) {
    return s < 0 ? -1 : emu_subdevice_busy(str(env, p).c_str(), unsigned(s));
}
FN(jint, subdeviceRunning)(JNIEnv *env, jclass, jstring p, jint s) {
    return s < 0 ? -1 : emu_subdevice_running(str(env, p).c_str(), unsigned(s));
}
FN(jlong, outputRaw)(JNIEnv *env, jclass, jstring p, jint s, jint c) {
    return s < 0 || c < 0 ? -1 : emu_output_raw(str(env, p).c_str(), unsigned(s), unsigned(c));
}
FN(jlong, aoRaw)(JNIEnv *env, jclass, jstring p, jint c) { return c < 0 ? -1 : emu_ao_raw(str(env, p).c_str(), unsigned(c)); }
FN(jint, dioDirection)(JNIEnv *env, jclass, jstring p, jint c) {
    return c < 0 ? -1 : emu_dio_direction(str(env, p).c_str(), unsigned(c));
}
FN(jint, dioLevel)(JNIEnv *env, jclass, jstring p, jint c) { return c < 0 ? -1 : emu_dio_level(str(env, p).c_str(), unsigned(c)); }
FN(jint, dioSetInput)(JNIEnv *env, jclass, jstring p, jint c, jint level) {
    return c < 0 ? -1 : emu_dio_set_input(str(env, p).c_str(), unsigned(c), level);
}
FN(jint, dioSetInputAt)(JNIEnv *env, jclass, jstring p, jint c, jint level, jlong t) {
    return c < 0 || t < 0 ? -1 : emu_dio_set_input_at(str(env, p).c_str(), unsigned(c), level, uint64_t(t));
}
FN(jlong, outputScans)(JNIEnv *env, jclass, jstring p, jint s) {
    return s < 0 ? -1 : jlong(emu_output_scans(str(env, p).c_str(), unsigned(s)));
}
FN(jint, underrunNow)(JNIEnv *env, jclass, jstring p) { return emu_underrun_now(str(env, p).c_str()); }
FN(jlong, insnCount)(JNIEnv *env, jclass, jstring p) { return jlong(emu_insn_count(str(env, p).c_str())); }
FN(jlong, cmdCount)(JNIEnv *env, jclass, jstring p) { return jlong(emu_cmd_count(str(env, p).c_str())); }
FN(void, meterMaking)(JNIEnv *, jclass, jboolean on) { emu_meter_making(on ? 1 : 0); }
FN(jlong, makingCpuNs)(JNIEnv *, jclass) { return jlong(emu_making_cpu_ns()); }
FN(jlong, makingBytes)(JNIEnv *, jclass) { return jlong(emu_making_bytes()); }
FN(jlongArray, currentCmd)(JNIEnv *env, jclass, jstring p, jint s) {
    emu_cmd_info ci;
    if (s < 0 || emu_current_cmd(str(env, p).c_str(), unsigned(s), &ci) != 0) return nullptr;
    jlong v[] = {ci.subdev,         ci.flags,           ci.start_src,       ci.start_arg,     ci.scan_begin_src,
                 ci.scan_begin_arg, ci.convert_src,     ci.convert_arg,     ci.scan_end_src,  ci.scan_end_arg,
                 ci.stop_src,       ci.stop_arg,        ci.chanlist_len,    ci.triggered,     ci.running,
                 ci.overflow,       jlong(ci.start_ns), jlong(ci.samples_written), jlong(ci.bytes_read)};
    jsize n = jsize(sizeof v / sizeof v[0]);
    jlongArray arr = env->NewLongArray(n);
    if (arr) env->SetLongArrayRegion(arr, 0, n, v);
    return arr;
}
FN(jlong, expectedRaw)(JNIEnv *env, jclass, jstring p, jint c, jint r, jlong t, jlong k) {
    if (c < 0 || r < 0 || t < 0 || k < 0) return -1;
    return emu_expected_raw(str(env, p).c_str(), unsigned(c), unsigned(r), uint64_t(t), uint64_t(k));
}
FN(jlong, sampleTimeNs)(JNIEnv *env, jclass, jstring p, jint s, jlong k) {
    uint64_t t;
    if (s < 0 || k < 0 || emu_sample_time_ns(str(env, p).c_str(), unsigned(s), uint64_t(k), &t) != 0) return -1;
    return jlong(t);
}
