// SPDX-License-Identifier: LGPL-2.1-or-later
// Output commands and everything that happens on a board at an instant of its own: the DAC
// clock taking scans out of the buffer, level changes of digital lines (start triggers and the
// external scan clock), and the input samples that must be converted before an output changes
// under them (callers hold the state lock).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>

#include <comedi.h>

#include "device.h"
#include "ring.h"
#include "signals.h"

namespace emu {

namespace {

constexpr uint64_t kNever = UINT64_MAX;

bool is_output(const Cmd &c) { return (c.flags & CMDF_WRITE) != 0; }

uint64_t scan_bytes(const Board &b, unsigned s) { return uint64_t(b.sub(s).cmd.len) * bytes_per_sample(b.desc(s)); }

int digital_sub(const Board &b) {
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        unsigned t = b.desc(i).type;
        if (t == COMEDI_SUBD_DIO || t == COMEDI_SUBD_DI || t == COMEDI_SUBD_DO) return int(i);
    }
    return -1;
}

bool line_level(const SubState &ds, unsigned line) {
    uint64_t lines = (ds.latch & ds.dir) | (ds.ext & ~ds.dir);
    return (lines >> line) & 1;
}

// Whether each output scan must be applied on its own: something sees every step (the filter,
// or an input command converting the outputs). Otherwise only the last scan due matters.
bool every_scan_counts(State &st, const Board &b) {
    if (st.sh->clock_mode == EMU_CLOCK_INSTANT) return false;
    if (b.d->rc_on_ao0) return true;
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        const SubState &ss = b.sub(i);
        if (ss.busy && ss.cmd.triggered && !is_output(ss.cmd) && ss.cmd.reads_outputs) return true;
    }
    return false;
}

void end_output(State &st, SubState &ss, bool underrun) {
    ss.cmd.running = false;
    ss.cmd.error = underrun;
    ss.last_scans_out = ss.cmd.scans_out;
    wake_waiters(st);
}

// Scan j of the output command goes to the DAC at t.
void output_scan(State &st, Board &b, unsigned s, uint64_t j, uint64_t t) {
    SubState &ss = b.sub(s);
    const Cmd &c = ss.cmd;
    const SubdevDesc &sd = b.desc(s);
    const uint64_t bps = bytes_per_sample(sd);
    uint8_t buf[kMaxChanlist * 4];
    ring_get(st, b, s, j * c.len * bps, buf, c.len * bps);
    for (unsigned p = 0; p < c.len; ++p) {
        unsigned raw = 0;
        memcpy(&raw, buf + p * bps, bps); // little-endian host
        set_output(st, b, s, CR_CHAN(c.chanlist[p]), std::min(raw, sd.maxdata), CR_RANGE(c.chanlist[p]), t);
    }
}

// One scan clock edge of an output command at t: the next scan, an underrun when it has not
// been written yet, the end after the last one.
void output_next(State &st, Board &b, unsigned s, uint64_t t) {
    SubState &ss = b.sub(s);
    Cmd &c = ss.cmd;
    if (c.wr < (c.scans_out + 1) * scan_bytes(b, s)) {
        end_output(st, ss, true);
        return;
    }
    output_scan(st, b, s, c.scans_out, t);
    c.scans_out++;
    if (c.total && c.scans_out * c.len >= c.total) end_output(st, ss, false);
}

// The timer of a running output command, up to and including `limit`.
void run_output_timer(State &st, Board &b, unsigned s, uint64_t limit) {
    SubState &ss = b.sub(s);
    Cmd &c = ss.cmd;
    if (!ss.busy || !c.running || !c.triggered || !is_output(c) || c.scan_begin_src != TRIG_TIMER) return;
    const uint64_t sb = scan_bytes(b, s);
    const uint64_t total_scans = c.total / c.len; // 0: until cancelled
    if (st.sh->clock_mode == EMU_CLOCK_INSTANT) {
        // The DAC takes every complete scan as soon as it is written.
        uint64_t n = c.wr / sb - c.scans_out;
        if (total_scans) n = std::min(n, total_scans - c.scans_out);
        if (n) {
            c.scans_out += n - 1;
            output_next(st, b, s, now_locked(st));
        }
        return;
    }
    const bool each = every_scan_counts(st, b);
    while (c.running) {
        uint64_t t = c.start_ns + c.first + c.scans_out * c.sp;
        if (t > limit) break;
        if (!each) {
            // Only the last scan due reaches the outputs; the ones before it are taken unseen.
            uint64_t due = (limit - t) / c.sp + 1;
            uint64_t avail = c.wr / sb - c.scans_out;
            uint64_t n = std::min(due, avail);
            if (total_scans) n = std::min(n, total_scans - c.scans_out);
            if (n > 1) {
                c.scans_out += n - 1;
                t = c.start_ns + c.first + c.scans_out * c.sp;
            }
        }
        output_next(st, b, s, t);
    }
}

void start_if_triggered(State &st, Board &b, unsigned line, bool level, uint64_t t, bool edge) {
    for (unsigned s = 0; s < b.n_subs(); ++s) {
        SubState &ss = b.sub(s);
        Cmd &c = ss.cmd;
        if (!ss.busy || !c.running || c.triggered || c.start_src != TRIG_EXT) continue;
        if (CR_CHAN(c.start_arg) != line) continue;
        const bool active = (c.start_arg & CR_INVERT) ? !level : level;
        // CR_EDGE: only a change to the active level; without it the level itself.
        if (active && (edge || !(c.start_arg & CR_EDGE))) start_at(st, b, s, t);
    }
}

void apply_line_event(State &st, Board &b, const LineEvent &ev) {
    const int d = digital_sub(b);
    if (d < 0) return;
    SubState &ds = b.sub(unsigned(d));
    const bool before = line_level(ds, ev.line);
    const uint64_t m = 1ull << ev.line;
    ds.ext = ev.level ? (ds.ext | m) : (ds.ext & ~m);
    const bool after = line_level(ds, ev.line);
    if (before == after) return;
    // Scans clocked by this edge first: a command started by it waits for the next one.
    for (unsigned s = 0; s < b.n_subs(); ++s) {
        SubState &ss = b.sub(s);
        Cmd &c = ss.cmd;
        if (!ss.busy || !c.running || !c.triggered || c.scan_begin_src != TRIG_EXT) continue;
        if (CR_CHAN(c.scan_begin_arg) != ev.line) continue;
        const bool active = (c.scan_begin_arg & CR_INVERT) ? !after : after;
        if (!active) continue;
        c.last_edge_ns = ev.t_ns;
        if (is_output(c)) output_next(st, b, s, ev.t_ns);
    }
    start_if_triggered(st, b, ev.line, after, ev.t_ns, true);
    wake_waiters(st);
}

} // namespace

uint64_t instant_locked(State &st) { return st.sh->in_list ? st.sh->list_now : now_locked(st); }

void start_at(State &st, Board &b, unsigned s, uint64_t t) {
    Cmd &c = b.sub(s).cmd;
    c.triggered = true;
    c.start_ns = t;
    if (const auto on_start = b.desc(s).ops->on_start) on_start(c);
    wake_waiters(st);
}

void arm_level_start(State &st, Board &b, unsigned s) {
    const Cmd &c = b.sub(s).cmd;
    const int d = digital_sub(b);
    if (c.start_src != TRIG_EXT || d < 0) return;
    const unsigned line = CR_CHAN(c.start_arg);
    start_if_triggered(st, b, line, line_level(b.sub(unsigned(d)), line), instant_locked(st), false);
}

double rc_value(const BoardState &bs, uint64_t t) {
    if (t <= bs.rc_t) return bs.rc_y;
    return bs.rc_u + (bs.rc_y - bs.rc_u) * std::exp(-double(t - bs.rc_t) / 1e6);
}

void sync_inputs(State &st, Board &b, uint64_t t) {
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        SubState &ss = b.sub(i);
        Cmd &c = ss.cmd;
        if (!ss.busy || !c.triggered || is_output(c) || !c.reads_outputs) continue;
        if (st.sh->clock_mode == EMU_CLOCK_INSTANT) continue; // a repeated pattern, not a history
        advance_input(st, b, i);
        uint64_t before = t > c.start_ns ? samples_due(c, t - 1 - c.start_ns) : 0;
        before = std::min(before, c.wc);
        materialize_upto(st, b, i, before * bytes_per_sample(b.desc(i)));
    }
}

void set_output(State &st, Board &b, unsigned s, unsigned ch, unsigned raw, unsigned rng, uint64_t t) {
    const SubdevDesc &sd = b.desc(s);
    SubState &ss = b.sub(s);
    sync_inputs(st, b, t);
    ss.out_raw[ch] = raw;
    ss.out_range[ch] = rng;
    ss.ao_volt[ch] = sd.ops->dac ? sd.ops->dac(raw, sd, rng) : sig::raw_to_volts(raw, sd.ranges[rng], sd.maxdata);
    if (b.d->rc_on_ao0 && ch == 0 && sd.type == COMEDI_SUBD_AO) {
        BoardState &bs = *b.s;
        bs.rc_y = rc_value(bs, t);
        bs.rc_t = std::max(bs.rc_t, t);
        bs.rc_u = ss.ao_volt[0];
    }
}

void advance_board(State &st, Board &b) {
    BoardState &bs = *b.s;
    bool outputs = false;
    for (unsigned s = 0; s < b.n_subs(); ++s) {
        const SubState &ss = b.sub(s);
        outputs = outputs || (ss.busy && ss.cmd.running && ss.cmd.triggered && is_output(ss.cmd));
    }
    if (!outputs && bs.n_events == 0) return;
    const uint64_t now = now_locked(st);
    for (;;) {
        const uint64_t ev_t = bs.n_events ? bs.events[0].t_ns : kNever;
        const uint64_t limit = std::min(now, ev_t);
        for (unsigned s = 0; s < b.n_subs(); ++s) run_output_timer(st, b, s, limit);
        if (ev_t > now) break;
        LineEvent ev = bs.events[0];
        memmove(&bs.events[0], &bs.events[1], (bs.n_events - 1) * sizeof ev);
        bs.n_events--;
        apply_line_event(st, b, ev);
    }
}

int schedule_line(State &st, Board &b, unsigned line, bool level, uint64_t t) {
    const int d = digital_sub(b);
    if (d < 0 || line >= b.desc(unsigned(d)).n_chan) return -1;
    BoardState &bs = *b.s;
    advance_board(st, b);
    t = std::max(t, now_locked(st));
    if (bs.n_events == kMaxLineEvents) return -1;
    unsigned i = bs.n_events;
    while (i > 0 && bs.events[i - 1].t_ns > t) --i; // same instant: in the order given
    memmove(&bs.events[i + 1], &bs.events[i], (bs.n_events - i) * sizeof(LineEvent));
    bs.events[i] = LineEvent{t, line, level};
    bs.n_events++;
    advance_board(st, b);
    return 0;
}

uint64_t output_free(const Board &b, unsigned s) {
    const SubState &ss = b.sub(s);
    const Cmd &c = ss.cmd;
    const uint64_t used = c.wr - c.scans_out * scan_bytes(b, s);
    return ss.bufsize > used ? ss.bufsize - used : 0;
}

uint64_t next_output_ns(State &st, const Board &b, unsigned s) {
    const Cmd &c = b.sub(s).cmd;
    if (st.sh->clock_mode != EMU_CLOCK_REALTIME || !c.triggered || !c.running || c.scan_begin_src != TRIG_TIMER)
        return kNever;
    return c.start_ns + c.first + c.scans_out * c.sp;
}

// ---- write ----------------------------------------------------------------------------

long dev_write(int fd, File *f, const void *buf, size_t n) {
    State &st = state();
    Lock lk(st);
    if (file_for_fd(fd) != f) return -EBADF;
    for (;;) {
        if (file_for_fd(fd) != f) return -EBADF; // closed while we slept
        Board &b = *f->board;
        const int s = f->write_subdev;
        if (s < 0 || !b.desc(unsigned(s)).has_cmd()) return -EIO;
        SubState &ss = b.sub(unsigned(s));
        if (ss.busy != f->id || !is_output(ss.cmd)) return -EINVAL;
        update(st, b, unsigned(s));
        Cmd &c = ss.cmd;
        if (!c.running) {
            const bool err = c.error;
            if (err || n) become_nonbusy(st, ss);
            return err ? -EPIPE : 0;
        }
        if (n == 0) return 0;
        const uint64_t m = std::min<uint64_t>(output_free(b, unsigned(s)), n);
        if (m) {
            ring_put(st, b, unsigned(s), c.wr, static_cast<const uint8_t *>(buf), m);
            c.wr += m;
            advance_board(st, b); // INSTANT: the DAC takes it at once
            wake_waiters(st);
            return long(m);
        }
        int fl = fcntl(fd, F_GETFL);
        if (fl >= 0 && (fl & O_NONBLOCK)) return -EAGAIN;
        const uint64_t next = next_output_ns(st, b, unsigned(s)), now = now_locked(st);
        if (next != kNever) lk.wait_ns(std::min<uint64_t>((next > now ? next - now : 0) + 1000, 100000000ull));
        else lk.wait_ns(100000000ull);
    }
}

// BUFINFO of an output command: bytes the user marks as written through the mapping.
void bufinfo_write(State &st, Board &b, unsigned s, comedi_bufinfo &bi, bool *nonbusy, long *ret) {
    SubState &ss = b.sub(s);
    Cmd &c = ss.cmd;
    if (!c.running) {
        bi.bytes_written = 0;
        *nonbusy = true;
        if (c.error) *ret = -EPIPE;
    } else if (bi.bytes_written) {
        uint64_t m = std::min<uint64_t>(bi.bytes_written, output_free(b, s));
        c.wr += m;
        bi.bytes_written = unsigned(m);
        advance_board(st, b);
        wake_waiters(st);
    }
    bi.bytes_read = 0;
    const uint64_t consumed = c.scans_out * scan_bytes(b, s);
    bi.buf_write_count = unsigned(c.wr);
    bi.buf_write_ptr = unsigned(c.wr % ss.bufsize);
    bi.buf_read_count = unsigned(consumed);
    bi.buf_read_ptr = unsigned(consumed % ss.bufsize);
}

} // namespace emu
