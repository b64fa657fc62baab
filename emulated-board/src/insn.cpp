// SPDX-License-Identifier: LGPL-2.1-or-later
// Instructions: the core's checks and copy rules, the special instructions it runs itself, and
// the read/write emulation through insn_bits for digital subdevices.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/time.h>

#include <comedi.h>

#include "core.h"

namespace emu {

namespace {

// insn_rw_emulate_bits: one line through the driver's insn_bits, its 32-line window based at
// 0 for the low lines and at the line itself above them.
long read_via_bits(Board &b, unsigned s, unsigned ch, unsigned n, unsigned *data) {
    const unsigned base = ch < 32 ? 0 : ch;
    for (unsigned i = 0; i < n; ++i) {
        unsigned d[2] = {0, 0};
        b.desc(s).ops->insn_bits(b, s, base, d);
        data[i] = (d[1] >> (ch - base)) & 1;
    }
    return n;
}

long write_via_bits(Board &b, unsigned s, unsigned ch, unsigned n, const unsigned *data) {
    const unsigned base = ch < 32 ? 0 : ch;
    for (unsigned i = 0; i < n; ++i) {
        unsigned d[2] = {1u << (ch - base), data[i] ? 1u << (ch - base) : 0u};
        b.desc(s).ops->insn_bits(b, s, base, d);
    }
    return n;
}

long run_bits(Board &b, unsigned s, const comedi_insn &in, unsigned *data) {
    const SubdevDesc &sd = b.desc(s);
    if (in.n != 2) return -EINVAL;
    unsigned orig_mask = data[0];
    unsigned base = CR_CHAN(in.chanspec);
    if (sd.n_chan <= 32 && base > 0) {
        // The core shifts for drivers that ignore the base channel.
        unsigned d[2] = {base >= 32 ? 0u : data[0] << base, base >= 32 ? 0u : data[1] << base};
        sd.ops->insn_bits(b, s, 0, d);
        data[1] = d[1] >> base;
    } else {
        sd.ops->insn_bits(b, s, base, data); // wide subdevices: the driver honours the base itself
    }
    data[0] = orig_mask;
    return in.n;
}

long run_subdev_insn(State &st, File *f, comedi_insn &in, unsigned *data) {
    Board &b = *f->board;
    if (in.subdev >= b.n_subs()) return -EINVAL;
    const SubdevDesc &sd = b.desc(in.subdev);
    SubState &ss = b.sub(in.subdev);
    const SubdevOps &ops = *sd.ops;
    if (sd.type == COMEDI_SUBD_UNUSED) return -EIO;
    if (ss.lock && ss.lock != f->id) return -EACCES;
    if (!chanspec_ok(sd, in.chanspec)) return -EINVAL;
    if (ss.busy) return -EBUSY;
    advance_board(st, b); // lines and outputs as the clock has them now
    const unsigned ch = CR_CHAN(in.chanspec);
    b.s->insn_count++;
    switch (in.insn) {
    case INSN_READ:
        if (ops.insn_read) return ops.insn_read(st, b, in.subdev, in, data);
        if (ops.insn_bits) return read_via_bits(b, in.subdev, ch, in.n, data);
        return -EINVAL;
    case INSN_WRITE:
        for (unsigned i = 0; i < in.n; ++i)
            if (data[i] > sd.maxdata) return -EINVAL;
        if (ops.insn_write) return ops.insn_write(st, b, in.subdev, in, data);
        if (ops.insn_bits) return write_via_bits(b, in.subdev, ch, in.n, data);
        return -EINVAL;
    case INSN_BITS:
        if (!ops.insn_bits) return -EINVAL;
        return run_bits(b, in.subdev, in, data);
    case INSN_CONFIG: {
        if (in.n < 1) return -EINVAL;
        unsigned id = data[0];
        if (id == INSN_CONFIG_DIO_INPUT || id == INSN_CONFIG_DIO_OUTPUT) {
            if (in.n != 1) return -EINVAL;
        } else if (id == INSN_CONFIG_DIO_QUERY) {
            if (in.n != 2) return -EINVAL;
        }
        if (!ops.insn_config) return -EINVAL;
        return ops.insn_config(st, b, in.subdev, in, data);
    }
    default: return -EINVAL;
    }
}

long run_insn(State &st, File *f, comedi_insn &in, unsigned *data) {
    Board &b = *f->board;
    if (!(in.insn & INSN_MASK_SPECIAL)) return run_subdev_insn(st, f, in, data);
    switch (in.insn) {
    case INSN_GTOD: {
        if (in.n != 2) return -EINVAL;
        timeval tv;
        gettimeofday(&tv, nullptr);
        data[0] = unsigned(tv.tv_sec);
        data[1] = unsigned(tv.tv_usec);
        return 2;
    }
    case INSN_WAIT: {
        if (in.n != 1 || data[0] >= 100000) return -EINVAL;
        if (st.sh->clock_mode == EMU_CLOCK_MANUAL) {
            st.sh->manual_ns += data[0]; // the board's time moves with the delay
        } else if (st.sh->clock_mode == EMU_CLOCK_REALTIME) {
            timespec ts = {0, long(data[0])};
            nanosleep(&ts, nullptr);
        }
        st.sh->list_now += data[0];
        return 1;
    }
    case INSN_INTTRIG: {
        if (in.n != 1) return -EINVAL;
        if (in.subdev >= b.n_subs()) return -EINVAL;
        SubState &ss = b.sub(in.subdev);
        if (!b.desc(in.subdev).has_cmd()) return -EINVAL;
        if (!ss.busy || ss.cmd.triggered || ss.cmd.start_src != TRIG_INT) return -EAGAIN;
        if (data[0] != ss.cmd.start_arg) return -EINVAL;
        start_acquisition(st, b, in.subdev);
        return 1;
    }
    default: return -EINVAL;
    }
}

// Runs one instruction with the kernel's copy-in / copy-out rules.
long insn_copy_run(State &st, File *f, comedi_insn &in) {
    if (in.n > 65536) in.n = 65536;
    unsigned small[16];
    std::vector<unsigned> big;
    unsigned *data = small;
    if (in.n > 16) {
        big.assign(in.n, 0);
        data = big.data();
    } else {
        memset(small, 0, sizeof small);
    }
    if ((in.insn & INSN_MASK_WRITE) && in.n) memcpy(data, in.data, in.n * sizeof(unsigned));
    long r = run_insn(st, f, in, data);
    if (r < 0) return r;
    if ((in.insn & INSN_MASK_READ) && in.n) memcpy(in.data, data, in.n * sizeof(unsigned));
    return in.n;
}

} // namespace

long do_insn(State &st, File *f, void *arg) {
    comedi_insn in;
    memcpy(&in, arg, sizeof in);
    return insn_copy_run(st, f, in);
}

long do_insnlist(State &st, File *f, void *arg) {
    comedi_insnlist il;
    memcpy(&il, arg, sizeof il);
    for (unsigned i = 0; i < il.n_insns; ++i)
        if (il.insns[i].n > 65536) return -EINVAL;
    long fail_at = st.faults.insnlist_after;
    int fail_err = st.faults.insnlist_err;
    st.faults.insnlist_after = -1;
    // The instructions of one list run at one instant (moved on only by its INSN_WAITs), so
    // internal triggers of several subdevices in one list start them together.
    struct ListInstant {
        Shared &sh;
        ~ListInstant() { sh.in_list = false; }
    } instant{*st.sh};
    st.sh->list_now = now_locked(st);
    st.sh->in_list = true;
    for (unsigned i = 0; i < il.n_insns; ++i) {
        if (long(i) == fail_at) return -fail_err;
        comedi_insn in;
        memcpy(&in, &il.insns[i], sizeof in);
        long r = insn_copy_run(st, f, in);
        if (r < 0) return r;
    }
    return il.n_insns;
}

} // namespace emu
