// SPDX-License-Identifier: LGPL-2.1-or-later
// The kernel's comedi_test driver: fake waveforms on AI, an AO whose values loop back to every
// instruction read, its own command tests and timing, and no poll handler.
#include <algorithm>

#include <comedi.h>

#include "device.h"
#include "signals.h"

namespace emu {

namespace {

constexpr unsigned kAoSubdev = 1;     // holds the driver's ao_loopbacks
constexpr uint64_t kPeriodUs = 100000; // waveform period, the driver's default option
constexpr unsigned kConfigGetCmdTimingConstraints = 5005; // the one INSN_CONFIG id it accepts

// Instruction reads of AI and AO alike return the loopback value, not the waveform.
long loopback_read(State &st, Board &b, unsigned, const comedi_insn &in, unsigned *data) {
    advance_board(st, b); // the timer has written every scan due by now
    const unsigned ch = CR_CHAN(in.chanspec);
    for (unsigned i = 0; i < in.n; ++i) data[i] = unsigned(b.sub(kAoSubdev).out_raw[ch]);
    return in.n;
}

long config(State &, Board &, unsigned, const comedi_insn &in, unsigned *data) {
    return data[0] == kConfigGetCmdTimingConstraints ? long(in.n) : -EINVAL;
}

int ai_cmdtest(comedi_cmd &c, const unsigned *) {
    int err = 0;
    err |= check_src(&c.start_src, TRIG_NOW);
    err |= check_src(&c.scan_begin_src, TRIG_FOLLOW | TRIG_TIMER);
    err |= check_src(&c.convert_src, TRIG_NOW | TRIG_TIMER);
    err |= check_src(&c.scan_end_src, TRIG_COUNT);
    err |= check_src(&c.stop_src, TRIG_COUNT | TRIG_NONE);
    if (err) return 1;

    err |= check_unique(c.convert_src);
    err |= check_unique(c.stop_src);
    if (c.scan_begin_src == TRIG_FOLLOW && c.convert_src == TRIG_NOW) err |= 1;
    if (err) return 2;

    err |= arg_is(&c.start_arg, 0);
    if (c.convert_src == TRIG_NOW) {
        err |= arg_is(&c.convert_arg, 0);
    } else if (c.scan_begin_src == TRIG_FOLLOW) {
        err |= arg_min(&c.convert_arg, kNsPerUs);
    }
    if (c.scan_begin_src == TRIG_FOLLOW) err |= arg_is(&c.scan_begin_arg, 0);
    else err |= arg_min(&c.scan_begin_arg, kNsPerUs);
    err |= check_scan_and_stop_args(c);
    if (err) return 3;

    if (c.convert_src == TRIG_TIMER) {
        unsigned arg = round_to_us(c.convert_arg);
        // Mirrors the driver, which compares the argument (not the source) with TRIG_TIMER.
        if (c.scan_begin_arg == TRIG_TIMER) {
            unsigned limit = 0xffffffffu / c.scan_end_arg;
            limit = limit / 1000000000u * 1000000000u;
            arg = std::min(arg, limit);
        }
        err |= arg_is(&c.convert_arg, arg);
    }
    if (c.scan_begin_src == TRIG_TIMER) {
        unsigned arg = round_to_us(c.scan_begin_arg);
        if (c.convert_src == TRIG_TIMER) arg = std::max(arg, c.convert_arg * c.scan_end_arg);
        err |= arg_is(&c.scan_begin_arg, arg);
    }
    if (err) return 4;
    return 0;
}

int ao_cmdtest(comedi_cmd &c, const unsigned *) {
    int err = 0;
    err |= check_src(&c.start_src, TRIG_INT);
    err |= check_src(&c.scan_begin_src, TRIG_TIMER);
    err |= check_src(&c.convert_src, TRIG_NOW);
    err |= check_src(&c.scan_end_src, TRIG_COUNT);
    err |= check_src(&c.stop_src, TRIG_COUNT | TRIG_NONE);
    if (err) return 1;
    err |= check_unique(c.stop_src);
    if (err) return 2;
    err |= arg_min(&c.scan_begin_arg, kNsPerUs);
    err |= arg_is(&c.convert_arg, 0);
    err |= check_scan_and_stop_args(c);
    if (err) return 3;
    err |= arg_is(&c.scan_begin_arg, round_to_us(c.scan_begin_arg));
    if (err) return 4;
    return 0;
}

long ai_cmd(const comedi_cmd &c, Cmd &k) {
    if (c.flags & CMDF_PRIORITY) return -EPERM;
    // The first conversion comes one convert period (plus a scan period when timed) after the start.
    k.first = k.cp + (c.scan_begin_src == TRIG_TIMER ? k.sp : 0);
    return 0;
}

// The timer fires one scan period after the internal trigger, and at each firing writes the
// last scan due into the loopback (the ones before it are taken from the buffer unseen).
long ao_cmd(const comedi_cmd &c, Cmd &k) {
    if (c.flags & CMDF_PRIORITY) return -EPERM;
    k.first = k.sp;
    return 0;
}

// The waveform starts at the phase: the start time in µs, modulo the period.
void ai_start(Cmd &k) { k.phase_ns = (k.start_ns / kNsPerUs) % kPeriodUs * kNsPerUs; }

uint64_t waveform_time(const Cmd &c, uint64_t k) { return c.phase_ns + (k / c.len) * c.sp + (k % c.len) * c.cp; }

unsigned ai_sample(const Board &, const SubdevDesc &sd, const Cmd &c, uint64_t k) {
    unsigned chanspec = c.chanlist[k % c.len];
    return sig::ct_waveform(sd, CR_CHAN(chanspec), CR_RANGE(chanspec), waveform_time(c, k) / kNsPerUs);
}

long long ai_expected(const Board &, const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_ns, uint64_t) {
    return sig::ct_waveform(sd, ch, range, t_ns / kNsPerUs);
}

} // namespace

const SubdevOps kComediTestAnalogIn = {.insn_read = loopback_read,
                                       .insn_config = config,
                                       .do_cmdtest = ai_cmdtest,
                                       .do_cmd = ai_cmd,
                                       .on_start = ai_start,
                                       .sample = ai_sample,
                                       .signal_time = waveform_time,
                                       .expected = ai_expected};
const SubdevOps kComediTestAnalogOut = {.insn_read = loopback_read,
                                        .insn_write = ao_write,
                                        .insn_config = config,
                                        .do_cmdtest = ao_cmdtest,
                                        .do_cmd = ao_cmd};

} // namespace emu
