// SPDX-License-Identifier: LGPL-2.1-or-later
// The emu_* control API used by tests to steer and inspect the emulated boards.
#include <algorithm>
#include <cstring>
#include <ctime>

#include <comedi.h>

#include "device.h"
#include "emu_internal.h"
#include "signals.h"

#define EMU_API extern "C" __attribute__((visibility("default")))

using namespace emu;

namespace {

int find_sub(const Board &b, unsigned type_a, unsigned type_b = ~0u, unsigned type_c = ~0u) {
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        unsigned t = b.desc(i).type;
        if (t == type_a || t == type_b || t == type_c) return int(i);
    }
    return -1;
}

int find_digital(const Board &b) { return find_sub(b, COMEDI_SUBD_DIO, COMEDI_SUBD_DO, COMEDI_SUBD_DI); }

// The digital subdevice of the board at path when chan is one of its lines; st must be locked.
SubState *digital_line_sub(State &st, const char *path, unsigned chan) {
    Board *b = board_for(st, path);
    if (!b) return nullptr;
    int s = find_digital(*b);
    if (s < 0 || chan >= b->desc(unsigned(s)).n_chan) return nullptr;
    return &b->sub(unsigned(s));
}

// The subdevice whose command emu_advance_scans / emu_overrun_now act on.
int busy_cmd_sub(const Board &b) {
    for (unsigned i = 0; i < b.n_subs(); ++i)
        if (b.sub(i).busy) return int(i);
    return -1;
}

const char *const kOpNames[EMU_OP_COUNT_] = {"OPEN",    "DEVINFO", "SUBDINFO", "CHANINFO", "RANGEINFO",
                                             "INSN",    "INSNLIST", "CMDTEST", "CMD",      "CANCEL",
                                             "POLL",    "BUFINFO", "READ"};

} // namespace

EMU_API void emu_reset(void) {
    State &st = state();
    Lock lk(st);
    st.faults = Faults();
    st.sh->default_bufsize = 2u << 20;
    st.sh->clock_mode = EMU_CLOCK_REALTIME;
    st.sh->origin_mono = mono_ns();
    st.sh->manual_ns = 0;
    for (Board &b : st.boards) power_on(st, b);
    wake_waiters(st);
}

EMU_API int emu_set_clock(int mode) {
    if (mode < EMU_CLOCK_REALTIME || mode > EMU_CLOCK_INSTANT) return -1;
    State &st = state();
    Lock lk(st);
    st.sh->clock_mode = mode;
    st.sh->manual_ns = 0;
    st.sh->origin_mono = mono_ns();
    // Time starts again: line changes scheduled on the old time are dropped, and the filter
    // has settled on its input.
    for (Board &b : st.boards) {
        b.s->n_events = 0;
        b.s->rc_y = b.s->rc_u;
        b.s->rc_t = 0;
    }
    wake_waiters(st);
    return 0;
}

EMU_API int emu_get_clock(void) {
    State &st = state();
    Lock lk(st);
    return st.sh->clock_mode;
}

EMU_API uint64_t emu_now_ns(void) {
    State &st = state();
    Lock lk(st);
    return now_locked(st);
}

EMU_API int emu_advance_ns(uint64_t ns) {
    State &st = state();
    Lock lk(st);
    if (st.sh->clock_mode != EMU_CLOCK_MANUAL) return -1;
    st.sh->manual_ns += ns;
    wake_waiters(st);
    return 0;
}

EMU_API int emu_advance_scans(const char *path, uint64_t scans) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || st.sh->clock_mode != EMU_CLOCK_MANUAL) return -1;
    int s = busy_cmd_sub(*b);
    if (s < 0 || !b->sub(unsigned(s)).cmd.triggered) return -1;
    update(st, *b, unsigned(s));
    const Cmd &c = b->sub(unsigned(s)).cmd;
    if (scans == 0) return 0;
    if (c.flags & CMDF_WRITE) {
        if (c.scan_begin_src != TRIG_TIMER) return -1; // clocked by a line, not by time
        uint64_t t = c.start_ns + c.first + (c.scans_out + scans - 1) * c.sp;
        if (t > st.sh->manual_ns) st.sh->manual_ns = t;
        wake_waiters(st);
        return 0;
    }
    uint64_t L = c.len;
    uint64_t done_scans = c.wc / L; // complete scans converted so far
    uint64_t last = (done_scans + scans) * L - 1;
    uint64_t t = sample_time_ns(c, last);
    if (t > st.sh->manual_ns) st.sh->manual_ns = t;
    wake_waiters(st);
    return 0;
}

EMU_API int emu_set_buffer_size(uint32_t bytes) {
    if (bytes < 4096) return -1;
    State &st = state();
    Lock lk(st);
    st.sh->default_bufsize = bytes;
    for (Board &b : st.boards)
        for (unsigned i = 0; i < b.n_subs(); ++i)
            if (!b.sub(i).busy) {
                b.sub(i).bufsize = bytes;
                b.sub(i).max_bufsize = std::max(b.sub(i).max_bufsize, bytes);
            }
    return 0;
}

EMU_API int emu_fail_next(int op, int err) { return emu_fail_nth(op, 1, err); }

EMU_API int emu_fail_nth(int op, unsigned nth, int err) {
    if (op < 0 || op >= EMU_OP_COUNT_ || nth == 0) return -1;
    State &st = state();
    Lock lk(st);
    st.faults.next[op] = err;
    st.faults.next_skip[op] = nth - 1;
    return 0;
}

EMU_API int emu_fail_always(int op, int err) {
    if (op < 0 || op >= EMU_OP_COUNT_) return -1;
    State &st = state();
    Lock lk(st);
    st.faults.always[op] = err;
    return 0;
}

EMU_API int emu_fail_insnlist_after(unsigned k, int err) {
    if (err <= 0) return -1;
    State &st = state();
    Lock lk(st);
    st.faults.insnlist_after = long(k);
    st.faults.insnlist_err = err;
    return 0;
}

EMU_API int emu_short_read_next(size_t max_bytes) {
    State &st = state();
    Lock lk(st);
    st.faults.short_read = long(max_bytes);
    return 0;
}

EMU_API int emu_force_cmdtest_stage(unsigned nth, int stage) {
    if (nth < 1 || nth > 2 || stage < -1 || stage > 5) return -1;
    State &st = state();
    Lock lk(st);
    st.faults.forced_stage[nth] = stage;
    return 0;
}

EMU_API int emu_overrun_now(const char *path) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b) return -1;
    int s = busy_cmd_sub(*b);
    if (s < 0) return -1;
    update(st, *b, unsigned(s));
    Cmd &c = b->sub(unsigned(s)).cmd;
    if (!c.running) return -1;
    c.running = false;
    c.error = true;
    wake_waiters(st);
    return 0;
}

EMU_API void emu_clear_faults(void) {
    State &st = state();
    Lock lk(st);
    st.faults = Faults();
}

EMU_API int emu_op_from_name(const char *name) {
    if (!name) return -1;
    for (int i = 0; i < EMU_OP_COUNT_; ++i)
        if (strcmp(kOpNames[i], name) == 0) return i;
    return -1;
}

EMU_API const char *emu_op_name(int op) { return op >= 0 && op < EMU_OP_COUNT_ ? kOpNames[op] : nullptr; }

EMU_API int emu_open_count(void) {
    State &st = state();
    Lock lk(st);
    return st.open_count;
}

EMU_API int emu_subdevice_busy(const char *path, unsigned subdev) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || subdev >= b->n_subs()) return -1;
    return b->sub(subdev).busy ? 1 : 0;
}

EMU_API int emu_subdevice_running(const char *path, unsigned subdev) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || subdev >= b->n_subs()) return -1;
    update(st, *b, subdev);
    return b->sub(subdev).busy && b->sub(subdev).cmd.running ? 1 : 0;
}

EMU_API long long emu_output_raw(const char *path, unsigned subdev, unsigned chan) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || subdev >= b->n_subs()) return -1;
    advance_board(st, *b); // what the output clock has written by now
    const SubdevDesc &sd = b->desc(subdev);
    const SubState &ss = b->sub(subdev);
    if (chan >= sd.n_chan) return -1;
    if (sd.type == COMEDI_SUBD_AO) return ss.out_raw[chan];
    if (sd.type == COMEDI_SUBD_DO || sd.type == COMEDI_SUBD_DIO) return (long long)((ss.latch >> chan) & 1);
    return -1;
}

EMU_API long long emu_ao_raw(const char *path, unsigned chan) {
    int s;
    {
        State &st = state();
        Lock lk(st);
        Board *b = board_for(st, path);
        if (!b) return -1;
        s = find_sub(*b, COMEDI_SUBD_AO);
    }
    return s < 0 ? -1 : emu_output_raw(path, unsigned(s), chan);
}

EMU_API int emu_dio_direction(const char *path, unsigned chan) {
    State &st = state();
    Lock lk(st);
    SubState *ss = digital_line_sub(st, path, chan);
    if (!ss) return -1;
    return int((ss->dir >> chan) & 1);
}

EMU_API int emu_dio_level(const char *path, unsigned chan) {
    State &st = state();
    Lock lk(st);
    SubState *ss = digital_line_sub(st, path, chan);
    if (!ss) return -1;
    advance_board(st, *board_for(st, path)); // changes scheduled up to now
    uint64_t lines = (ss->latch & ss->dir) | (ss->ext & ~ss->dir);
    return int((lines >> chan) & 1);
}

EMU_API int emu_dio_set_input(const char *path, unsigned chan, int level) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || !digital_line_sub(st, path, chan)) return -1;
    return schedule_line(st, *b, chan, level != 0, 0); // now: starts and scans it clocks happen at once
}

EMU_API int emu_dio_set_input_at(const char *path, unsigned chan, int level, uint64_t t_ns) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || !digital_line_sub(st, path, chan)) return -1;
    return schedule_line(st, *b, chan, level != 0, t_ns);
}

EMU_API long long emu_output_scans(const char *path, unsigned subdev) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || subdev >= b->n_subs() || !(b->desc(subdev).flags & SDF_CMD_WRITE)) return -1;
    update(st, *b, subdev);
    const SubState &ss = b->sub(subdev);
    if (ss.busy && (ss.cmd.flags & CMDF_WRITE)) return (long long)ss.cmd.scans_out;
    return (long long)ss.last_scans_out;
}

EMU_API int emu_underrun_now(const char *path) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b) return -1;
    for (unsigned s = 0; s < b->n_subs(); ++s) {
        SubState &ss = b->sub(s);
        if (!ss.busy || !(ss.cmd.flags & CMDF_WRITE)) continue;
        update(st, *b, s);
        if (!ss.cmd.running) return -1;
        ss.cmd.running = false;
        ss.cmd.error = true;
        ss.last_scans_out = ss.cmd.scans_out;
        wake_waiters(st);
        return 0;
    }
    return -1;
}

EMU_API unsigned long long emu_insn_count(const char *path) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    return b ? b->s->insn_count : 0;
}

EMU_API void emu_meter_making(int on) { meter_making(on != 0); }

EMU_API unsigned long long emu_making_cpu_ns(void) { return making_cpu(); }

EMU_API unsigned long long emu_making_bytes(void) { return making_bytes_total(); }

EMU_API unsigned long long emu_cmd_count(const char *path) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    return b ? b->s->cmd_count : 0;
}

EMU_API int emu_current_cmd(const char *path, unsigned subdev, struct emu_cmd_info *out) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || subdev >= b->n_subs() || !out) return -1;
    SubState &ss = b->sub(subdev);
    if (!ss.busy) return -1;
    update(st, *b, subdev);
    const Cmd &c = ss.cmd;
    memset(out, 0, sizeof *out);
    out->subdev = subdev;
    out->flags = c.flags;
    out->start_src = c.start_src, out->start_arg = c.start_arg;
    out->scan_begin_src = c.scan_begin_src, out->scan_begin_arg = c.scan_begin_arg;
    out->convert_src = c.convert_src, out->convert_arg = c.convert_arg;
    out->scan_end_src = c.scan_end_src, out->scan_end_arg = c.scan_end_arg;
    out->stop_src = c.stop_src, out->stop_arg = c.stop_arg;
    out->chanlist_len = c.len;
    out->triggered = c.triggered;
    out->running = c.running;
    out->overflow = c.error;
    out->start_ns = c.start_ns;
    if (c.flags & CMDF_WRITE) {
        const uint64_t bps = b->desc(subdev).lsampl ? 4 : 2;
        out->samples_written = c.wr / bps;
        out->bytes_read = c.scans_out * c.len * bps;
    } else {
        out->samples_written = c.wc;
        out->bytes_read = c.rc;
    }
    return 0;
}

EMU_API long long emu_expected_raw(const char *path, unsigned chan, unsigned range, uint64_t t_ns,
                                   uint64_t sample_index) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b) return -1;
    int s = find_sub(*b, COMEDI_SUBD_AI);
    if (s < 0) return -1;
    const SubdevDesc &sd = b->desc(unsigned(s));
    if (chan >= sd.n_chan || range >= sd.n_ranges) return -1;
    return sd.ops->expected ? sd.ops->expected(*b, sd, chan, range, t_ns, sample_index) : -1;
}

EMU_API int emu_sample_time_ns(const char *path, unsigned subdev, uint64_t sample_index, uint64_t *t_ns) {
    State &st = state();
    Lock lk(st);
    Board *b = board_for(st, path);
    if (!b || subdev >= b->n_subs() || !t_ns) return -1;
    const SubState &ss = b->sub(subdev);
    if (!ss.busy || !ss.cmd.triggered) return -1;
    const auto signal_time = b->desc(subdev).ops->signal_time;
    if (!signal_time) return -1;
    *t_ns = signal_time(ss.cmd, sample_index);
    return 0;
}
