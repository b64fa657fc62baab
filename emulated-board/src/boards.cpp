// SPDX-License-Identifier: LGPL-2.1-or-later
// The emulated boards: what each one is, and its power-on state.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <comedi.h>

#include "device.h"
#include "signals.h"

namespace emu {

namespace {

constexpr unsigned V = UNIT_volt;
const Range kAiRanges[] = {{-10000000, 10000000, V}, {-5000000, 5000000, V}, {-1000000, 1000000, V},
                           {0, 10000000, V},          {0, 5000000, V}};
const Range kAoRanges[] = {{-10000000, 10000000, V}, {0, 10000000, V}};
const Range kDigital[] = {{0, 1000000, V}};
const Range kCtRanges[] = {{-10000000, 10000000, V}, {-5000000, 5000000, V}};

constexpr unsigned kAiFlags = SDF_CMD | SDF_CMD_READ | SDF_READABLE | SDF_GROUND | SDF_COMMON | SDF_DIFF;

SubdevDesc ai16(bool cmd) {
    return {COMEDI_SUBD_AI, 16, cmd ? kAiFlags : (kAiFlags & ~(SDF_CMD | SDF_CMD_READ)), 65535, 256, kAiRanges, 5,
            false, cmd ? &kVornAnalogIn : &kVornAnalogInNoCmd};
}
SubdevDesc ao2() { return {COMEDI_SUBD_AO, 2, SDF_WRITABLE | SDF_GROUND, 65535, 1, kAoRanges, 2, false, &kVornAnalogOut}; }
SubdevDesc ao2_cmd(const SubdevOps *ops) {
    return {COMEDI_SUBD_AO, 2, SDF_WRITABLE | SDF_GROUND | SDF_CMD | SDF_CMD_WRITE, 65535, 2, kAoRanges, 2, false, ops};
}
SubdevDesc digital(unsigned type, unsigned n) {
    unsigned fl = type == COMEDI_SUBD_DO ? SDF_WRITABLE : type == COMEDI_SUBD_DI ? SDF_READABLE
                                                                                 : SDF_READABLE | SDF_WRITABLE;
    return {type, n, fl, 1, n, kDigital, 1, false, type == COMEDI_SUBD_DIO ? &kVornDigitalConfig : &kVornDigital};
}

std::vector<BoardDesc> make_descs() {
    std::vector<BoardDesc> v;
    v.push_back({"multi", "vorn_emu", "emu-multi", {ai16(true), ao2_cmd(&kVornAnalogOutCmd), digital(COMEDI_SUBD_DIO, 24)},
                 0, 1});
    SubdevDesc ai18 = ai16(true);
    ai18.maxdata = 262143;
    ai18.flags |= SDF_LSAMPL;
    ai18.lsampl = true;
    v.push_back({"ai18", "vorn_emu", "emu-ai18", {ai18, ao2()}, 0, -1});
    v.push_back({"nocmd", "vorn_emu", "emu-nocmd", {ai16(false), ao2()}, -1, -1});
    v.push_back({"do-only", "vorn_emu", "emu-do16", {digital(COMEDI_SUBD_DO, 16)}, -1, -1});
    v.push_back({"dio64", "vorn_emu", "emu-dio64", {digital(COMEDI_SUBD_DIO, 64)}, -1, -1});
    v.push_back({"di16", "vorn_emu", "emu-di16", {digital(COMEDI_SUBD_DI, 16)}, -1, -1});
    SubdevDesc ct_ai = {COMEDI_SUBD_AI, 8, SDF_READABLE | SDF_GROUND | SDF_CMD_READ | SDF_CMD, 0xffff, 16,
                        kCtRanges, 2, false, &kComediTestAnalogIn};
    SubdevDesc ct_ao = {COMEDI_SUBD_AO, 8, SDF_WRITABLE | SDF_GROUND | SDF_CMD_WRITE | SDF_CMD, 0xffff, 8,
                        kCtRanges, 2, false, &kComediTestAnalogOut};
    ct_ao.out_power_on = 32767; // the driver's ao_loopbacks start at mid-scale
    v.push_back({"comedi_test", "comedi_test", "comedi_test", {ct_ai, ct_ao}, 0, 1});
    // The stimulus-response rig: AO0 looped back directly and through a 1 ms low-pass, line 0
    // of its digital port wired as the external trigger and scan clock input.
    SubdevDesc rig_ai = {COMEDI_SUBD_AI, 8, SDF_CMD | SDF_CMD_READ | SDF_READABLE | SDF_GROUND | SDF_COMMON, 65535, 64,
                         kAiRanges, 5, false, &kRigAnalogIn};
    v.push_back({"rig", "vorn_emu", "emu-rig", {rig_ai, ao2_cmd(&kRigAnalogOut), digital(COMEDI_SUBD_DIO, 8)}, 0, 1,
                 true});
    // multi with converters that need software calibration: its AI and AO carry the flag the
    // kernel sets for such boards, and their errors are softcal.cpp's.
    SubdevDesc sc_ai = ai16(true), sc_ao = ao2_cmd(&kSoftcalAnalogOut);
    sc_ai.flags |= SDF_SOFT_CALIBRATED;
    sc_ai.ops = &kSoftcalAnalogIn;
    sc_ao.flags |= SDF_SOFT_CALIBRATED;
    v.push_back({"softcal", "vorn_emu", "emu-softcal", {sc_ai, sc_ao, digital(COMEDI_SUBD_DIO, 24)}, 0, 1});
    return v;
}

// The state is plain data of fixed size: a board beyond its bounds is a build mistake.
std::vector<BoardDesc> checked(std::vector<BoardDesc> v) {
    bool ok = v.size() <= kMaxBoards;
    for (const BoardDesc &b : v) {
        ok = ok && b.subs.size() <= kMaxSubdevs;
        for (const SubdevDesc &sd : b.subs) {
            ok = ok && (!sd.has_cmd() || sd.len_chanlist <= kMaxChanlist);
            ok = ok && (sd.type != COMEDI_SUBD_AO || sd.n_chan <= kMaxOutChan);
        }
    }
    if (!ok) {
        fprintf(stderr, "vornemu: a board exceeds kMaxBoards/kMaxSubdevs/kMaxChanlist/kMaxOutChan\n");
        abort();
    }
    return v;
}

} // namespace

const std::vector<BoardDesc> &board_descs() {
    // Never destroyed, like the state.
    static const std::vector<BoardDesc> *d = new std::vector<BoardDesc>(checked(make_descs()));
    return *d;
}

void power_on(State &st, Board &b) {
    uint32_t mapped[kMaxSubdevs]; // mappings survive a reset, as they survive a kernel's cancel
    for (unsigned i = 0; i < kMaxSubdevs; ++i) mapped[i] = b.s->subs[i].mapped;
    *b.s = BoardState();
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        const SubdevDesc &sd = b.desc(i);
        SubState &ss = b.sub(i);
        ss.mapped = mapped[i];
        ss.bufsize = st.sh->default_bufsize;
        ss.max_bufsize = std::max(kDefaultMaxBufSize, ss.bufsize);
        if (sd.type == COMEDI_SUBD_AO) {
            // Power-on output is 0 V unless the driver says otherwise: the code nearest 0 V on
            // the first range.
            long long zero = sd.out_power_on >= 0 ? sd.out_power_on
                                                  : (long long)sig::volts_to_raw(0.0, sd.ranges[0], sd.maxdata);
            for (unsigned ch = 0; ch < sd.n_chan; ++ch) ss.out_raw[ch] = zero;
        }
        if (sd.type == COMEDI_SUBD_DO) ss.dir = sd.n_chan >= 64 ? ~0ull : ((1ull << sd.n_chan) - 1);
    }
}

} // namespace emu
