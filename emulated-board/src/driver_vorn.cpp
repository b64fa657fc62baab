// SPDX-License-Identifier: LGPL-2.1-or-later
// The vorn_emu driver behind multi, ai18, nocmd, do-only, dio64, di16, rig and softcal: its analog input with the
// documented signals and timing, analog outputs, and digital lines.
#include <algorithm>

#include <comedi.h>

#include "device.h"
#include "signals.h"
#include "softcal.h"

namespace emu {

namespace {

constexpr unsigned kCounterChannel = 7;

long ai_read(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data) {
    advance_board(st, b); // the outputs a loopback channel converts are those of now
    const SubdevDesc &sd = b.desc(s);
    const unsigned ch = CR_CHAN(in.chanspec), rng = CR_RANGE(in.chanspec);
    uint64_t t = now_locked(st);
    for (unsigned i = 0; i < in.n; ++i) {
        unsigned idx = 0;
        if (ch == kCounterChannel) idx = unsigned(b.s->counter_reads++ % (uint64_t(sd.maxdata) + 1));
        data[i] = sig::generic_raw(b, sd, ch, rng, t, idx);
    }
    return in.n;
}

// Timers tick in whole microseconds, rounded as the command asks.
unsigned round_period(unsigned arg, unsigned flags) {
    const uint64_t q = kMinPeriodNs;
    uint64_t a = std::min<uint64_t>(arg, 4294967000ull);
    switch (flags & CMDF_ROUND_MASK) {
    case CMDF_ROUND_DOWN: a = a / q * q; break;
    case CMDF_ROUND_UP:
    case CMDF_ROUND_UP_NEXT: a = (a + q - 1) / q * q; break;
    default: a = (a + q / 2) / q * q; break;
    }
    if (a > 4294967000ull) a = 4294967000ull;
    return unsigned(std::max<uint64_t>(a, q));
}

constexpr unsigned kRigLines = 8;
constexpr unsigned kEdgeFlags = CR_EDGE | CR_INVERT;

// An external source names one digital line of the board, with CR_EDGE and CR_INVERT as the
// only flags; a line the board lacks, or any other flag, is put right to line 0.
int ext_arg(unsigned *arg, unsigned lines) {
    if ((*arg & ~kEdgeFlags) < lines) return 0;
    *arg &= kEdgeFlags;
    return 1;
}

int ai_cmdtest_with(comedi_cmd &c, const unsigned *chanlist, unsigned start_srcs, unsigned lines) {
    int err = 0;
    err |= check_src(&c.start_src, start_srcs);
    err |= check_src(&c.scan_begin_src, TRIG_TIMER | TRIG_FOLLOW);
    err |= check_src(&c.convert_src, TRIG_TIMER | TRIG_NOW);
    err |= check_src(&c.scan_end_src, TRIG_COUNT);
    err |= check_src(&c.stop_src, TRIG_COUNT | TRIG_NONE);
    if (err) return 1;

    err |= check_unique(c.start_src);
    err |= check_unique(c.scan_begin_src);
    err |= check_unique(c.convert_src);
    err |= check_unique(c.stop_src);
    if (c.scan_begin_src == TRIG_FOLLOW && c.convert_src == TRIG_NOW) err |= 1;
    if (err) return 2;

    if (c.start_src == TRIG_NOW) err |= arg_is(&c.start_arg, 0);
    if (c.start_src == TRIG_EXT) err |= ext_arg(&c.start_arg, lines);
    if (c.convert_src == TRIG_TIMER) err |= arg_min(&c.convert_arg, kMinPeriodNs);
    else err |= arg_is(&c.convert_arg, 0);
    if (c.scan_begin_src == TRIG_TIMER) err |= arg_min(&c.scan_begin_arg, kMinPeriodNs);
    else err |= arg_is(&c.scan_begin_arg, 0);
    err |= check_scan_and_stop_args(c);
    if (err) return 3;

    if (c.convert_src == TRIG_TIMER) err |= arg_is(&c.convert_arg, round_period(c.convert_arg, c.flags));
    if (c.scan_begin_src == TRIG_TIMER) {
        unsigned a = round_period(c.scan_begin_arg, c.flags);
        // A scan must leave room for its conversions, one ADC period each.
        uint64_t per = c.convert_src == TRIG_TIMER ? c.convert_arg : kMinPeriodNs;
        uint64_t need = std::min<uint64_t>(per * c.scan_end_arg, 4294967000ull);
        if (a < need) a = unsigned(need);
        err |= arg_is(&c.scan_begin_arg, a);
    }
    if (err) return 4;

    if (chanlist) {
        // Differential inputs pair channel n with n+8, so only 0..7 can be differential.
        for (unsigned i = 0; i < c.chanlist_len; ++i) {
            unsigned aref = CR_AREF(chanlist[i]);
            if (aref == AREF_OTHER || (aref == AREF_DIFF && CR_CHAN(chanlist[i]) >= 8)) return 5;
        }
    }
    return 0;
}

int ai_cmdtest(comedi_cmd &c, const unsigned *chanlist) { return ai_cmdtest_with(c, chanlist, TRIG_NOW | TRIG_INT, 0); }
int rig_ai_cmdtest(comedi_cmd &c, const unsigned *chanlist) {
    return ai_cmdtest_with(c, chanlist, TRIG_NOW | TRIG_INT | TRIG_EXT, kRigLines);
}

long ai_cmd(const comedi_cmd &, Cmd &k) {
    k.first = k.sp - (k.len - 1) * k.cp; // a scan's last conversion ends its scan period
    for (unsigned p = 0; p < k.len; ++p) {
        const unsigned ch = CR_CHAN(k.chanlist[p]);
        if (ch == kCounterChannel) k.counter_pos[k.n_counter++] = uint16_t(p);
        if (ch == 14 || ch == 15) k.reads_outputs = true;
    }
    return 0;
}

long rig_ai_cmd(const comedi_cmd &, Cmd &k) {
    k.first = k.sp - (k.len - 1) * k.cp;
    for (unsigned p = 0; p < k.len; ++p)
        if (CR_CHAN(k.chanlist[p]) <= 2) k.reads_outputs = true; // AO0, its low-pass, AO1
    return 0;
}

// Timed output: one scan per scan period, all channels of a scan updated together.
int ao_cmdtest_with(comedi_cmd &c, unsigned start_srcs, unsigned scan_srcs, unsigned lines) {
    int err = 0;
    err |= check_src(&c.start_src, start_srcs);
    err |= check_src(&c.scan_begin_src, scan_srcs);
    err |= check_src(&c.convert_src, TRIG_NOW);
    err |= check_src(&c.scan_end_src, TRIG_COUNT);
    err |= check_src(&c.stop_src, TRIG_COUNT | TRIG_NONE);
    if (err) return 1;

    err |= check_unique(c.start_src);
    err |= check_unique(c.scan_begin_src);
    err |= check_unique(c.stop_src);
    if (err) return 2;

    if (c.start_src == TRIG_INT) err |= arg_is(&c.start_arg, 0);
    else err |= ext_arg(&c.start_arg, lines);
    if (c.scan_begin_src == TRIG_TIMER) err |= arg_min(&c.scan_begin_arg, kMinPeriodNs);
    else err |= ext_arg(&c.scan_begin_arg, lines);
    err |= arg_is(&c.convert_arg, 0);
    err |= check_scan_and_stop_args(c);
    if (err) return 3;

    if (c.scan_begin_src == TRIG_TIMER) err |= arg_is(&c.scan_begin_arg, round_period(c.scan_begin_arg, c.flags));
    if (err) return 4;
    return 0;
}

int ao_cmdtest(comedi_cmd &c, const unsigned *) { return ao_cmdtest_with(c, TRIG_INT, TRIG_TIMER, 0); }
int rig_ao_cmdtest(comedi_cmd &c, const unsigned *) {
    return ao_cmdtest_with(c, TRIG_INT | TRIG_EXT, TRIG_TIMER | TRIG_EXT, kRigLines);
}

// The first scan goes out one scan period after the start, as an input scan ends one.
long ao_cmd(const comedi_cmd &, Cmd &k) {
    k.first = k.sp;
    return 0;
}

unsigned rig_sample(const Board &b, const SubdevDesc &sd, const Cmd &c, uint64_t k) {
    unsigned chanspec = c.chanlist[k % c.len];
    const Range &r = sd.ranges[CR_RANGE(chanspec)];
    return sig::volts_to_raw(sig::rig_voltage(b, CR_CHAN(chanspec), sample_time_ns(c, k)), r, sd.maxdata);
}

long long rig_expected(const Board &b, const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_ns, uint64_t) {
    return sig::volts_to_raw(sig::rig_voltage(b, ch, t_ns), sd.ranges[range], sd.maxdata);
}

long rig_ai_read(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data) {
    advance_board(st, b);
    const SubdevDesc &sd = b.desc(s);
    const uint64_t t = now_locked(st);
    for (unsigned i = 0; i < in.n; ++i) data[i] = unsigned(rig_expected(b, sd, CR_CHAN(in.chanspec), CR_RANGE(in.chanspec), t, 0));
    return in.n;
}

long ai_poll(State &st, Board &b, unsigned s) {
    update(st, b, s);
    const Cmd &c = b.sub(s).cmd;
    uint64_t avail = c.wc * bytes_per_sample(b.desc(s)) - c.rc;
    return long(std::min<uint64_t>(avail, 0x7fffffff));
}

unsigned ai_sample(const Board &b, const SubdevDesc &sd, const Cmd &c, uint64_t k) {
    unsigned chanspec = c.chanlist[k % c.len];
    return sig::generic_raw(b, sd, CR_CHAN(chanspec), CR_RANGE(chanspec), sample_time_ns(c, k), k);
}

long long ai_expected(const Board &b, const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_ns,
                      uint64_t index) {
    return sig::generic_raw(b, sd, ch, range, t_ns, index);
}

// Digital lines [base, base+32) as the driver's insn_bits sees them.
void dio_bits(Board &b, unsigned s, unsigned base, unsigned *data) {
    const SubdevDesc &sd = b.desc(s);
    SubState &ss = b.sub(s);
    uint64_t all = sd.n_chan >= 64 ? ~0ull : ((1ull << sd.n_chan) - 1);
    uint64_t mask = (uint64_t(data[0]) << base) & all;
    uint64_t bits = uint64_t(data[1]) << base;
    if (mask) ss.latch = (ss.latch & ~mask) | (bits & mask);
    uint64_t lines = (ss.latch & ss.dir) | (ss.ext & ~ss.dir);
    data[1] = unsigned((lines & all) >> base);
}

long dio_config(State &, Board &b, unsigned s, const comedi_insn &in, unsigned *data) {
    SubState &ss = b.sub(s);
    uint64_t m = 1ull << CR_CHAN(in.chanspec);
    switch (data[0]) {
    case INSN_CONFIG_DIO_INPUT: ss.dir &= ~m; return in.n;
    case INSN_CONFIG_DIO_OUTPUT: ss.dir |= m; return in.n;
    case INSN_CONFIG_DIO_QUERY: data[1] = (ss.dir & m) ? COMEDI_OUTPUT : COMEDI_INPUT; return in.n;
    default: return -EINVAL;
    }
}

} // namespace

long ao_write(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data) {
    if (in.n) {
        advance_board(st, b);
        set_output(st, b, s, CR_CHAN(in.chanspec), data[in.n - 1], CR_RANGE(in.chanspec), instant_locked(st));
    }
    return in.n;
}

long ao_read(State &, Board &b, unsigned s, const comedi_insn &in, unsigned *data) {
    const unsigned ch = CR_CHAN(in.chanspec);
    for (unsigned i = 0; i < in.n; ++i) data[i] = unsigned(b.sub(s).out_raw[ch]);
    return in.n;
}

// Handlers left out are null: the core answers for them as it does for a driver without them.
const SubdevOps kVornAnalogIn = {.insn_read = ai_read,
                                 .do_cmdtest = ai_cmdtest,
                                 .do_cmd = ai_cmd,
                                 .poll = ai_poll,
                                 .sample = ai_sample,
                                 .signal_time = sample_time_ns,
                                 .expected = ai_expected};
const SubdevOps kVornAnalogInNoCmd = {.insn_read = ai_read, .expected = ai_expected};
const SubdevOps kVornAnalogOut = {.insn_read = ao_read, .insn_write = ao_write};
const SubdevOps kVornAnalogOutCmd = {
    .insn_read = ao_read, .insn_write = ao_write, .do_cmdtest = ao_cmdtest, .do_cmd = ao_cmd};
const SubdevOps kRigAnalogIn = {.insn_read = rig_ai_read,
                                .do_cmdtest = rig_ai_cmdtest,
                                .do_cmd = rig_ai_cmd,
                                .poll = ai_poll,
                                .sample = rig_sample,
                                .signal_time = sample_time_ns,
                                .expected = rig_expected};
const SubdevOps kRigAnalogOut = {
    .insn_read = ao_read, .insn_write = ao_write, .do_cmdtest = rig_ao_cmdtest, .do_cmd = ao_cmd};
// softcal: multi's converters with the errors of softcal.cpp.
const SubdevOps kSoftcalAnalogIn = {.insn_read = ai_read,
                                    .do_cmdtest = ai_cmdtest,
                                    .do_cmd = ai_cmd,
                                    .poll = ai_poll,
                                    .sample = ai_sample,
                                    .signal_time = sample_time_ns,
                                    .expected = ai_expected,
                                    .adc = softcal_adc};
const SubdevOps kSoftcalAnalogOut = {.insn_read = ao_read,
                                     .insn_write = ao_write,
                                     .do_cmdtest = ao_cmdtest,
                                     .do_cmd = ao_cmd,
                                     .dac = softcal_dac};
const SubdevOps kVornDigital = {.insn_bits = dio_bits};
const SubdevOps kVornDigitalConfig = {.insn_bits = dio_bits, .insn_config = dio_config};

} // namespace emu
