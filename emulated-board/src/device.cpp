// What the Comedi core and the board drivers do behind /dev/comediN, for the emulated boards.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <comedi.h>

#include "device.h"
#include "emu_internal.h"
#include "signals.h"

namespace emu {

namespace {

constexpr unsigned kNsPerUs = 1000;
constexpr unsigned kMinPeriodNs = 1000; // fastest conversion the emulated ADCs do

using Lock = std::unique_lock<std::mutex>;

int take_fault(State &st, int op) {
    Faults &f = st.faults;
    if (f.next[op]) {
        if (f.next_skip[op] > 0) {
            --f.next_skip[op];
            return f.always[op];
        }
        int e = f.next[op];
        f.next[op] = 0;
        return e;
    }
    return f.always[op];
}

const SubdevDesc &desc(const Board &b, unsigned s) { return b.d->subs[s]; }

} // namespace

// ---- streaming model ------------------------------------------------------------------

unsigned bytes_per_sample(const SubdevDesc &sd) { return sd.lsampl ? 4 : 2; }

uint64_t sample_time_ns(const Cmd &c, uint64_t k) {
    uint64_t L = c.chanlist.size();
    return c.start_ns + c.first + (k / L) * c.sp + (k % L) * c.cp;
}

unsigned stream_raw(const Board &b, const SubdevDesc &sd, const Cmd &c, uint64_t k) {
    uint64_t L = c.chanlist.size();
    unsigned chanspec = c.chanlist[k % L];
    unsigned ch = CR_CHAN(chanspec), rng = CR_RANGE(chanspec);
    if (b.d->model == Model::ComediTest) {
        uint64_t wf = c.phase_ns + (k / L) * c.sp + (k % L) * c.cp;
        return sig::ct_waveform(sd, ch, rng, wf / kNsPerUs);
    }
    return sig::generic_raw(b, sd, ch, rng, sample_time_ns(c, k), k);
}

// Samples whose conversion time lies at or before `e` ns after the start.
static uint64_t due_samples(const Cmd &c, uint64_t e) {
    uint64_t L = c.chanlist.size();
    if (e < c.first) return 0;
    uint64_t last_off = c.first + (L - 1) * c.cp;
    uint64_t full = e < last_off ? 0 : (e - last_off) / c.sp + 1;
    uint64_t base = c.first + full * c.sp;
    uint64_t partial = 0;
    if (e >= base) partial = c.cp ? std::min<uint64_t>((e - base) / c.cp + 1, L) : L;
    return full * L + partial;
}

void update(State &st, Board &b, unsigned s) {
    SubState &ss = b.subs[s];
    Cmd &c = ss.cmd;
    if (!ss.busy || !c.running || !c.triggered) return;
    const SubdevDesc &sd = desc(b, s);
    uint64_t bps = bytes_per_sample(sd);
    uint64_t fit = (c.rc + ss.bufsize) / bps; // whole samples the buffer can hold
    if (st.clock_mode == EMU_CLOCK_INSTANT) {
        // The board always keeps the buffer full, and never overruns.
        uint64_t target = fit;
        if (c.total && target > c.total) target = c.total;
        if (target > c.wc) c.wc = target;
    } else {
        uint64_t now = now_locked(st);
        uint64_t due = due_samples(c, now >= c.start_ns ? now - c.start_ns : 0);
        if (c.total && due > c.total) due = c.total;
        if (due > fit) {
            c.wc = std::max(c.wc, fit);
            c.running = false;
            c.error = true;
            wake_waiters(st);
            return;
        }
        if (due > c.wc) c.wc = due;
    }
    if (c.total && c.wc >= c.total) {
        c.running = false;
        wake_waiters(st);
    }
}

void become_nonbusy(State &st, SubState &ss) {
    ss.cmd = Cmd();
    ss.busy = nullptr;
    wake_waiters(st);
}

static void build_pattern(const Board &b, const SubdevDesc &sd, Cmd &c) {
    uint64_t L = c.chanlist.size(), bps = bytes_per_sample(sd);
    uint64_t scans = std::max<uint64_t>(1, 65536 / (L * bps));
    c.pattern.resize(scans * L * bps);
    for (uint64_t k = 0; k < scans * L; ++k) {
        unsigned v = stream_raw(b, sd, c, k);
        memcpy(&c.pattern[k * bps], &v, bps); // little-endian host
    }
}

void start_acquisition(State &st, Board &b, unsigned s) {
    Cmd &c = b.subs[s].cmd;
    c.triggered = true;
    c.start_ns = now_locked(st);
    if (b.d->model == Model::ComediTest) c.phase_ns = (c.start_ns / kNsPerUs) % 100000 * kNsPerUs;
    if (st.clock_mode == EMU_CLOCK_INSTANT) build_pattern(b, desc(b, s), c);
    wake_waiters(st);
}

// Copies stream bytes [c.rc, c.rc+n) into buf; partial samples at both ends are allowed.
static void fill(const Board &b, const SubdevDesc &sd, const Cmd &c, State &st, uint8_t *buf, uint64_t n) {
    const uint64_t bps = bytes_per_sample(sd);
    const uint64_t from = c.rc, to = c.rc + n;
    if (st.clock_mode == EMU_CLOCK_INSTANT && !c.pattern.empty()) {
        const uint64_t plen = c.pattern.size();
        uint64_t off = from % plen, done = 0;
        while (done < n) {
            uint64_t m = std::min(n - done, plen - off);
            memcpy(buf + done, &c.pattern[off], m);
            done += m;
            off = 0;
        }
        if (!c.has_counter) return;
        // The pattern repeats, the counter does not: patch its samples in place.
        const uint64_t L = c.chanlist.size();
        const uint64_t k0 = from / bps, k1 = (to + bps - 1) / bps; // samples overlapping the copy
        const uint64_t mod = uint64_t(sd.maxdata) + 1;
        const bool pow2 = (mod & (mod - 1)) == 0; // every board here: a mask instead of a division
        for (uint64_t scan = k0 / L; scan * L < k1; ++scan) {
            for (unsigned p : c.counter_pos) {
                uint64_t k = scan * L + p;
                if (k < k0 || k >= k1) continue;
                unsigned v = unsigned(pow2 ? (k & (mod - 1)) : (k % mod));
                if (k * bps >= from && (k + 1) * bps <= to) {
                    uint8_t *dst = buf + (k * bps - from);
                    if (bps == 2) {
                        uint16_t v16 = uint16_t(v);
                        memcpy(dst, &v16, 2);
                    } else {
                        memcpy(dst, &v, 4);
                    }
                    continue;
                }
                uint8_t tmp[4];
                memcpy(tmp, &v, 4);
                uint64_t a = std::max(from, k * bps), z = std::min(to, (k + 1) * bps);
                memcpy(buf + (a - from), tmp + (a - k * bps), z - a);
            }
        }
        return;
    }
    for (uint64_t k = from / bps; k * bps < to; ++k) {
        unsigned v = stream_raw(b, sd, c, k);
        uint8_t tmp[4];
        memcpy(tmp, &v, 4);
        uint64_t a = std::max(from, k * bps), z = std::min(to, (k + 1) * bps);
        memcpy(buf + (a - from), tmp + (a - k * bps), z - a);
    }
}

// ---- open / close ---------------------------------------------------------------------

int dev_open(const char *path, int flags, int *handled) {
    *handled = 0;
    if (!path || path[0] != '/') return 0;
    State &st = state();
    Lock lk(st.mu);
    int bi = board_index_for_path(st, path);
    if (bi < 0) return 0;
    *handled = 1;
    if (int e = take_fault(st, EMU_OP_OPEN)) return -e;
    int efl = 0;
    if (flags & O_CLOEXEC) efl |= EFD_CLOEXEC;
    if (flags & O_NONBLOCK) efl |= EFD_NONBLOCK;
    // A real descriptor keeps numbers unique and lets fcntl/O_NONBLOCK work natively.
    int fd = eventfd(0, efl);
    if (fd < 0) return -errno;
    if (fd >= kMaxFd) {
        real_close(fd);
        return -EMFILE;
    }
    Board &b = st.boards[bi];
    File *f = new File{fd, &b, b.d->read_subdev, b.d->write_subdev};
    g_fds[fd].store(f, std::memory_order_release);
    st.open_count++;
    return fd;
}

int dev_close(int fd, File *f) {
    State &st = state();
    {
        Lock lk(st.mu);
        if (file_for_fd(fd) != f) return -EBADF; // lost a race with another close
        Board &b = *f->board;
        for (auto &ss : b.subs) {
            if (ss.busy == f) become_nonbusy(st, ss);
            if (ss.lock == f) ss.lock = nullptr;
        }
        g_fds[fd].store(nullptr, std::memory_order_release);
        st.open_count--;
        wake_waiters(st);
        // Every user of a File revalidates it against g_fds under the mutex before touching it.
        delete f;
    }
    int r = real_close(fd);
    return r < 0 ? -errno : 0;
}

// ---- ioctls ---------------------------------------------------------------------------

static long do_devinfo(File *f, void *arg) {
    comedi_devinfo di;
    memset(&di, 0, sizeof di);
    const BoardDesc &d = *f->board->d;
    di.version_code = 0x00074c;
    di.n_subdevs = unsigned(d.subs.size());
    strncpy(di.driver_name, d.driver_name, sizeof di.driver_name - 1);
    strncpy(di.board_name, d.board_name, sizeof di.board_name - 1);
    di.read_subdevice = f->read_subdev;
    di.write_subdevice = f->write_subdev;
    memcpy(arg, &di, sizeof di);
    return 0;
}

static long do_subdinfo(State &st, File *f, void *arg) {
    Board &b = *f->board;
    auto *out = static_cast<comedi_subdinfo *>(arg);
    for (unsigned i = 0; i < b.subs.size(); ++i) {
        const SubdevDesc &sd = desc(b, i);
        update(st, b, i);
        const SubState &ss = b.subs[i];
        comedi_subdinfo si;
        memset(&si, 0, sizeof si);
        si.type = sd.type;
        si.n_chan = sd.n_chan;
        si.subd_flags = sd.flags;
        if (ss.busy) si.subd_flags |= SDF_BUSY;
        if (ss.busy == f) si.subd_flags |= SDF_BUSY_OWNER;
        if (ss.busy && ss.cmd.running) si.subd_flags |= SDF_RUNNING;
        if (ss.lock) si.subd_flags |= SDF_LOCKED;
        if (ss.lock == f) si.subd_flags |= SDF_LOCK_OWNER;
        si.timer_type = 5;
        si.len_chanlist = sd.len_chanlist;
        si.maxdata = sd.maxdata;
        si.flags = 0;
        si.range_type = (i << 24) | sd.n_ranges;
        si.insn_bits_support = sd.has_bits ? COMEDI_SUPPORTED : COMEDI_UNSUPPORTED;
        memcpy(&out[i], &si, sizeof si);
    }
    return 0;
}

static long do_chaninfo(File *f, void *arg) {
    comedi_chaninfo ci;
    memcpy(&ci, arg, sizeof ci);
    if (ci.subdev >= f->board->subs.size()) return -EINVAL;
    // Every table here is per subdevice; per-channel lists do not exist, and flag lists
    // are refused by the core anyway.
    if (ci.maxdata_list) return -EINVAL;
    if (ci.flaglist) return -EINVAL;
    if (ci.rangelist) return -EINVAL;
    return 0;
}

static long do_rangeinfo(File *f, void *arg) {
    comedi_rangeinfo ri;
    memcpy(&ri, arg, sizeof ri);
    unsigned subd = (ri.range_type >> 24) & 0xf;
    if (subd >= f->board->subs.size()) return -EINVAL;
    const SubdevDesc &sd = desc(*f->board, subd);
    if (RANGE_LENGTH(ri.range_type) != sd.n_ranges) return -EINVAL;
    auto *kr = static_cast<comedi_krange *>(ri.range_ptr);
    for (unsigned i = 0; i < sd.n_ranges; ++i) {
        comedi_krange k = {sd.ranges[i].min_uv, sd.ranges[i].max_uv, sd.ranges[i].flags};
        memcpy(&kr[i], &k, sizeof k);
    }
    return 0;
}

static bool chanspec_ok(const SubdevDesc &sd, unsigned chanspec) {
    return CR_CHAN(chanspec) < sd.n_chan && CR_RANGE(chanspec) < sd.n_ranges;
}

// Digital lines [base, base+32) as the driver's insn_bits sees them.
static void dio_bits(SubState &ss, const SubdevDesc &sd, unsigned base, unsigned *data) {
    uint64_t all = sd.n_chan >= 64 ? ~0ull : ((1ull << sd.n_chan) - 1);
    uint64_t mask = (uint64_t(data[0]) << base) & all;
    uint64_t bits = uint64_t(data[1]) << base;
    if (mask) ss.latch = (ss.latch & ~mask) | (bits & mask);
    uint64_t lines = (ss.latch & ss.dir) | (ss.ext & ~ss.dir);
    data[1] = unsigned((lines & all) >> base);
}

static long run_subdev_insn(State &st, File *f, comedi_insn &in, unsigned *data) {
    Board &b = *f->board;
    if (in.subdev >= b.subs.size()) return -EINVAL;
    const SubdevDesc &sd = desc(b, in.subdev);
    SubState &ss = b.subs[in.subdev];
    if (sd.type == COMEDI_SUBD_UNUSED) return -EIO;
    if (ss.lock && ss.lock != f) return -EACCES;
    if (!chanspec_ok(sd, in.chanspec)) return -EINVAL;
    if (ss.busy) return -EBUSY;
    const unsigned ch = CR_CHAN(in.chanspec), rng = CR_RANGE(in.chanspec);
    const bool ct = b.d->model == Model::ComediTest;
    b.insn_count++;
    switch (in.insn) {
    case INSN_READ:
        if (ct) {
            for (unsigned i = 0; i < in.n; ++i) data[i] = b.ct_loop[ch];
            return in.n;
        }
        if (sd.type == COMEDI_SUBD_AI) {
            uint64_t t = now_locked(st);
            for (unsigned i = 0; i < in.n; ++i) {
                unsigned idx = 0;
                if (ch == 7) idx = unsigned(b.counter_reads++ % (uint64_t(sd.maxdata) + 1));
                data[i] = sig::generic_raw(b, sd, ch, rng, t, idx);
            }
            return in.n;
        }
        if (sd.type == COMEDI_SUBD_AO) {
            for (unsigned i = 0; i < in.n; ++i) data[i] = unsigned(ss.out_raw[ch]);
            return in.n;
        }
        if (sd.has_bits) { // read emulated through insn_bits, like the core does
            for (unsigned i = 0; i < in.n; ++i) {
                unsigned d[2] = {0, 0};
                dio_bits(ss, sd, 0, d);
                uint64_t lines = (ss.latch & ss.dir) | (ss.ext & ~ss.dir);
                data[i] = unsigned((lines >> ch) & 1);
            }
            return in.n;
        }
        return -EINVAL;
    case INSN_WRITE:
        for (unsigned i = 0; i < in.n; ++i)
            if (data[i] > sd.maxdata) return -EINVAL;
        if (ct) {
            if (sd.type != COMEDI_SUBD_AO) return -EINVAL;
            if (in.n) b.ct_loop[ch] = data[in.n - 1];
            return in.n;
        }
        if (sd.type == COMEDI_SUBD_AO) {
            if (in.n) {
                ss.out_raw[ch] = data[in.n - 1];
                ss.out_range[ch] = rng;
                ss.ao_volt[ch] = sig::raw_to_volts(data[in.n - 1], sd.ranges[rng], sd.maxdata);
            }
            return in.n;
        }
        if (sd.has_bits) {
            for (unsigned i = 0; i < in.n; ++i) {
                uint64_t m = 1ull << ch;
                ss.latch = data[i] ? (ss.latch | m) : (ss.latch & ~m);
            }
            return in.n;
        }
        return -EINVAL;
    case INSN_BITS: {
        if (!sd.has_bits) return -EINVAL;
        if (in.n != 2) return -EINVAL;
        unsigned orig_mask = data[0];
        unsigned base = CR_CHAN(in.chanspec);
        if (sd.n_chan <= 32 && base > 0) {
            // The core shifts for drivers that ignore the base channel.
            unsigned d[2] = {base >= 32 ? 0u : data[0] << base, base >= 32 ? 0u : data[1] << base};
            dio_bits(ss, sd, 0, d);
            data[1] = d[1] >> base;
        } else {
            dio_bits(ss, sd, base, data); // wide subdevices: the driver honours the base itself
        }
        data[0] = orig_mask;
        return in.n;
    }
    case INSN_CONFIG: {
        if (in.n < 1) return -EINVAL;
        unsigned id = data[0];
        if (id == INSN_CONFIG_DIO_INPUT || id == INSN_CONFIG_DIO_OUTPUT) {
            if (in.n != 1) return -EINVAL;
        } else if (id == INSN_CONFIG_DIO_QUERY) {
            if (in.n != 2) return -EINVAL;
        }
        if (ct) return id == 5005 ? long(in.n) : -EINVAL;
        if (sd.type != COMEDI_SUBD_DIO) return -EINVAL;
        uint64_t m = 1ull << ch;
        switch (id) {
        case INSN_CONFIG_DIO_INPUT: ss.dir &= ~m; return in.n;
        case INSN_CONFIG_DIO_OUTPUT: ss.dir |= m; return in.n;
        case INSN_CONFIG_DIO_QUERY: data[1] = (ss.dir & m) ? COMEDI_OUTPUT : COMEDI_INPUT; return in.n;
        default: return -EINVAL;
        }
    }
    default: return -EINVAL;
    }
}

static long run_insn(State &st, File *f, comedi_insn &in, unsigned *data) {
    Board &b = *f->board;
    if (in.insn & INSN_MASK_SPECIAL) {
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
            if (st.clock_mode == EMU_CLOCK_MANUAL) {
                st.manual_ns += data[0]; // the board's time moves with the delay
            } else if (st.clock_mode == EMU_CLOCK_REALTIME) {
                timespec ts = {0, long(data[0])};
                nanosleep(&ts, nullptr);
            }
            return 1;
        }
        case INSN_INTTRIG: {
            if (in.n != 1) return -EINVAL;
            if (in.subdev >= b.subs.size()) return -EINVAL;
            SubState &ss = b.subs[in.subdev];
            if (!desc(b, in.subdev).has_cmd) return -EINVAL;
            if (!ss.busy || ss.cmd.triggered || ss.cmd.start_src != TRIG_INT) return -EAGAIN;
            if (data[0] != ss.cmd.start_arg) return -EINVAL;
            start_acquisition(st, b, in.subdev);
            return 1;
        }
        default: return -EINVAL;
        }
    }
    return run_subdev_insn(st, f, in, data);
}

// Runs one instruction with the kernel's copy-in / copy-out rules.
static long insn_copy_run(State &st, File *f, comedi_insn &in) {
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

static long do_insn(State &st, File *f, void *arg) {
    comedi_insn in;
    memcpy(&in, arg, sizeof in);
    return insn_copy_run(st, f, in);
}

static long do_insnlist(State &st, File *f, void *arg) {
    comedi_insnlist il;
    memcpy(&il, arg, sizeof il);
    for (unsigned i = 0; i < il.n_insns; ++i)
        if (il.insns[i].n > 65536) return -EINVAL;
    long fail_at = st.faults.insnlist_after;
    int fail_err = st.faults.insnlist_err;
    st.faults.insnlist_after = -1;
    for (unsigned i = 0; i < il.n_insns; ++i) {
        if (long(i) == fail_at) return -fail_err;
        comedi_insn in;
        memcpy(&in, &il.insns[i], sizeof in);
        long r = insn_copy_run(st, f, in);
        if (r < 0) return r;
    }
    return il.n_insns;
}

// --- command test -----------------------------------------------------------------------

static int check_src(unsigned *src, unsigned allowed) {
    unsigned orig = *src;
    *src &= allowed;
    return (*src == 0 || *src != orig) ? 1 : 0;
}
static int check_unique(unsigned src) { return (src & (src - 1)) ? 1 : 0; }
static int arg_is(unsigned *arg, unsigned v) {
    if (*arg != v) { *arg = v; return 1; }
    return 0;
}
static int arg_min(unsigned *arg, unsigned v) {
    if (*arg < v) { *arg = v; return 1; }
    return 0;
}

// Timers of the emulated boards tick in whole microseconds.
static unsigned round_period(unsigned arg, unsigned flags) {
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

static int cmdtest_generic(comedi_cmd &c, const unsigned *chanlist) {
    int err = 0;
    err |= check_src(&c.start_src, TRIG_NOW | TRIG_INT);
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
    if (c.convert_src == TRIG_TIMER) err |= arg_min(&c.convert_arg, kMinPeriodNs);
    else err |= arg_is(&c.convert_arg, 0);
    if (c.scan_begin_src == TRIG_TIMER) err |= arg_min(&c.scan_begin_arg, kMinPeriodNs);
    else err |= arg_is(&c.scan_begin_arg, 0);
    err |= arg_min(&c.chanlist_len, 1);
    err |= arg_is(&c.scan_end_arg, c.chanlist_len);
    if (c.stop_src == TRIG_COUNT) err |= arg_min(&c.stop_arg, 1);
    else err |= arg_is(&c.stop_arg, 0);
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

static int cmdtest_ct_ai(comedi_cmd &c) {
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
    err |= arg_min(&c.chanlist_len, 1);
    err |= arg_is(&c.scan_end_arg, c.chanlist_len);
    if (c.stop_src == TRIG_COUNT) err |= arg_min(&c.stop_arg, 1);
    else err |= arg_is(&c.stop_arg, 0);
    if (err) return 3;

    const unsigned umax_us = 4294967000u; // rounddown(UINT_MAX, 1000)
    if (c.convert_src == TRIG_TIMER) {
        unsigned arg = std::min(c.convert_arg, umax_us);
        arg = kNsPerUs * ((arg + kNsPerUs / 2) / kNsPerUs);
        // Mirrors the driver, which compares the argument (not the source) with TRIG_TIMER.
        if (c.scan_begin_arg == TRIG_TIMER) {
            unsigned limit = 0xffffffffu / c.scan_end_arg;
            limit = limit / 1000000000u * 1000000000u;
            arg = std::min(arg, limit);
        }
        err |= arg_is(&c.convert_arg, arg);
    }
    if (c.scan_begin_src == TRIG_TIMER) {
        unsigned arg = std::min(c.scan_begin_arg, umax_us);
        arg = kNsPerUs * ((arg + kNsPerUs / 2) / kNsPerUs);
        if (c.convert_src == TRIG_TIMER) arg = std::max(arg, c.convert_arg * c.scan_end_arg);
        err |= arg_is(&c.scan_begin_arg, arg);
    }
    if (err) return 4;
    return 0;
}

static int cmdtest_ct_ao(comedi_cmd &c) {
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
    err |= arg_min(&c.chanlist_len, 1);
    err |= arg_is(&c.scan_end_arg, c.chanlist_len);
    if (c.stop_src == TRIG_COUNT) err |= arg_min(&c.stop_arg, 1);
    else err |= arg_is(&c.stop_arg, 0);
    if (err) return 3;
    unsigned arg = std::min(c.scan_begin_arg, 4294967000u);
    arg = kNsPerUs * ((arg + kNsPerUs / 2) / kNsPerUs);
    err |= arg_is(&c.scan_begin_arg, arg);
    if (err) return 4;
    return 0;
}

static int driver_cmdtest(const Board &b, comedi_cmd &c, const unsigned *chanlist) {
    if (b.d->model == Model::ComediTest) return c.subdev == 0 ? cmdtest_ct_ai(c) : cmdtest_ct_ao(c);
    return cmdtest_generic(c, chanlist);
}

// Checks shared by CMDTEST and CMD before the driver sees the command.
static long cmd_common(File *f, comedi_cmd &c) {
    Board &b = *f->board;
    if (c.subdev >= b.subs.size()) return -ENODEV;
    const SubdevDesc &sd = desc(b, c.subdev);
    if (sd.type == COMEDI_SUBD_UNUSED) return -EIO;
    if (!sd.has_cmd) return -EIO;
    if (sd.flags & SDF_CMD_WRITE) c.flags |= CMDF_WRITE;
    else c.flags &= ~CMDF_WRITE;
    if (c.chanlist_len > sd.len_chanlist) return -EINVAL;
    return 0;
}

static long copy_chanlist(const SubdevDesc &sd, const comedi_cmd &c, std::vector<unsigned> &out) {
    if (!c.chanlist) return -EFAULT;
    out.assign(c.chanlist, c.chanlist + c.chanlist_len);
    for (unsigned chanspec : out)
        if (!chanspec_ok(sd, chanspec)) return -EINVAL;
    return 0;
}

static long do_cmdtest(State &st, File *f, void *arg) {
    comedi_cmd c;
    memcpy(&c, arg, sizeof c);
    if (long r = cmd_common(f, c)) return r;
    const SubdevDesc &sd = desc(*f->board, c.subdev);
    std::vector<unsigned> chanlist;
    unsigned *user_list = c.chanlist;
    if (c.chanlist && c.chanlist_len)
        if (long r = copy_chanlist(sd, c, chanlist)) return r;
    int stage = driver_cmdtest(*f->board, c, chanlist.empty() ? nullptr : chanlist.data());
    c.chanlist = user_list;
    memcpy(arg, &c, sizeof c);
    int *forced = st.faults.forced_stage;
    int f1 = forced[1];
    forced[1] = forced[2];
    forced[2] = -1;
    return f1 >= 0 ? f1 : stage;
}

static long do_cmd(State &st, File *f, void *arg) {
    comedi_cmd c;
    memcpy(&c, arg, sizeof c);
    if (long r = cmd_common(f, c)) return r;
    Board &b = *f->board;
    const SubdevDesc &sd = desc(b, c.subdev);
    SubState &ss = b.subs[c.subdev];
    if (ss.lock && ss.lock != f) return -EACCES;
    if (ss.busy) return -EBUSY;
    if (c.chanlist_len < 1) return -EINVAL;
    std::vector<unsigned> chanlist;
    if (long r = copy_chanlist(sd, c, chanlist)) return r;
    unsigned *user_list = c.chanlist;
    int stage = driver_cmdtest(b, c, chanlist.data());
    if (stage != 0 || (c.flags & CMDF_BOGUS)) {
        c.chanlist = user_list;
        c.data = nullptr;
        memcpy(arg, &c, sizeof c);
        return -EAGAIN;
    }
    if (b.d->model == Model::ComediTest) {
        if (c.flags & CMDF_PRIORITY) return -EPERM;
        if (c.subdev != 0) return -EIO; // output streaming is not emulated
    }
    Cmd &k = ss.cmd;
    k = Cmd();
    k.flags = c.flags;
    k.start_src = c.start_src, k.start_arg = c.start_arg;
    k.scan_begin_src = c.scan_begin_src, k.scan_begin_arg = c.scan_begin_arg;
    k.convert_src = c.convert_src, k.convert_arg = c.convert_arg;
    k.scan_end_src = c.scan_end_src, k.scan_end_arg = c.scan_end_arg;
    k.stop_src = c.stop_src, k.stop_arg = c.stop_arg;
    k.chanlist = std::move(chanlist);
    uint64_t L = k.chanlist.size();
    k.total = c.stop_src == TRIG_COUNT ? uint64_t(c.stop_arg) * L : 0;
    k.cp = c.convert_src == TRIG_TIMER ? c.convert_arg : 0;
    k.sp = c.scan_begin_src == TRIG_TIMER ? c.scan_begin_arg : k.cp * L;
    if (b.d->model == Model::ComediTest)
        k.first = k.cp + (c.scan_begin_src == TRIG_TIMER ? k.sp : 0);
    else
        k.first = k.sp - (L - 1) * k.cp; // a scan's last conversion ends its scan period
    for (size_t p = 0; p < k.chanlist.size(); ++p)
        if (CR_CHAN(k.chanlist[p]) == 7 && b.d->model == Model::Generic) k.counter_pos.push_back(unsigned(p));
    k.has_counter = !k.counter_pos.empty();
    k.running = true;
    ss.busy = f;
    b.cmd_count++;
    if (c.start_src == TRIG_NOW) start_acquisition(st, b, c.subdev);
    return 0;
}

static long do_cancel(State &st, File *f, unsigned long s) {
    Board &b = *f->board;
    if (s >= b.subs.size() || !desc(b, unsigned(s)).has_cmd) return -EINVAL;
    SubState &ss = b.subs[s];
    if (!ss.busy) return 0;
    if (ss.busy != f) return -EBUSY;
    become_nonbusy(st, ss);
    return 0;
}

static long do_poll(State &st, File *f, unsigned long s) {
    Board &b = *f->board;
    if (s >= b.subs.size()) return -EINVAL;
    SubState &ss = b.subs[s];
    if (!ss.busy) return 0;
    if (ss.busy != f) return -EBUSY;
    if (b.d->model == Model::ComediTest) return -EINVAL; // that driver has no poll handler
    update(st, b, unsigned(s));
    uint64_t avail = ss.cmd.wc * bytes_per_sample(desc(b, unsigned(s))) - ss.cmd.rc;
    return long(std::min<uint64_t>(avail, 0x7fffffff));
}

static long do_bufinfo(State &st, File *f, void *arg) {
    comedi_bufinfo bi;
    memcpy(&bi, arg, sizeof bi);
    Board &b = *f->board;
    if (bi.subdevice >= b.subs.size()) return -EINVAL;
    const SubdevDesc &sd = desc(b, bi.subdevice);
    SubState &ss = b.subs[bi.subdevice];
    if (!sd.has_cmd || ss.busy != f) return -EINVAL;
    update(st, b, bi.subdevice);
    Cmd &c = ss.cmd;
    const uint64_t bps = bytes_per_sample(sd);
    uint64_t avail = c.wc * bps - c.rc;
    if (bi.bytes_read) {
        uint64_t n = std::min<uint64_t>(bi.bytes_read, avail);
        c.rc += n;
        bi.bytes_read = unsigned(n);
        avail -= n;
    }
    bool nonbusy = false;
    long ret = 0;
    if (avail == 0 && !c.running && (bi.bytes_read == 0 || !c.error)) {
        nonbusy = true;
        if (c.error) ret = -EPIPE;
    }
    bi.bytes_written = 0;
    uint64_t wcb = c.wc * bps;
    bi.buf_write_count = unsigned(wcb);
    bi.buf_write_ptr = unsigned(wcb % ss.bufsize);
    bi.buf_read_count = unsigned(c.rc);
    bi.buf_read_ptr = unsigned(c.rc % ss.bufsize);
    if (nonbusy) become_nonbusy(st, ss);
    if (ret) return ret;
    memcpy(arg, &bi, sizeof bi);
    return 0;
}

static long do_bufconfig(File *f, void *arg) {
    comedi_bufconfig bc;
    memcpy(&bc, arg, sizeof bc);
    Board &b = *f->board;
    if (bc.subdevice >= b.subs.size()) return -EINVAL;
    SubState &ss = b.subs[bc.subdevice];
    if (!desc(b, bc.subdevice).has_cmd) {
        bc.size = bc.maximum_size = 0;
    } else {
        if (bc.size) {
            if (ss.busy) return -EBUSY;
            ss.bufsize = std::max<unsigned>((bc.size + 4095) / 4096 * 4096, 4096);
        }
        bc.size = ss.bufsize;
        bc.maximum_size = std::max<unsigned>(20u << 20, ss.bufsize);
    }
    memcpy(arg, &bc, sizeof bc);
    return 0;
}

static long do_setrsubd(File *f, unsigned long s, bool read_dir) {
    Board &b = *f->board;
    if (s >= b.subs.size()) return -EINVAL;
    const SubdevDesc &sd = desc(b, unsigned(s));
    if (!sd.has_cmd || !(sd.flags & (read_dir ? SDF_CMD_READ : SDF_CMD_WRITE))) return -EINVAL;
    int &cur = read_dir ? f->read_subdev : f->write_subdev;
    if (cur >= 0 && b.subs[cur].busy == f) return -EBUSY;
    cur = int(s);
    return 0;
}

static long do_lock(File *f, unsigned long s, bool lock) {
    Board &b = *f->board;
    if (s >= b.subs.size()) return -EINVAL;
    SubState &ss = b.subs[s];
    if (lock) {
        if (ss.busy || ss.lock) return -EBUSY;
        ss.lock = f;
        return 0;
    }
    if (ss.busy) return -EBUSY;
    if (ss.lock && ss.lock != f) return -EACCES;
    ss.lock = nullptr;
    return 0;
}

long dev_ioctl(int fd, File *f, unsigned req, void *arg) {
    State &st = state();
    Lock lk(st.mu);
    if (file_for_fd(fd) != f) return -EBADF;
    auto fault = [&](int op) { return take_fault(st, op); };
    unsigned long a = reinterpret_cast<unsigned long>(arg);
    switch (req) {
    case COMEDI_DEVINFO: if (int e = fault(EMU_OP_DEVINFO)) return -e; return do_devinfo(f, arg);
    case COMEDI_SUBDINFO: if (int e = fault(EMU_OP_SUBDINFO)) return -e; return do_subdinfo(st, f, arg);
    case COMEDI_CHANINFO: if (int e = fault(EMU_OP_CHANINFO)) return -e; return do_chaninfo(f, arg);
    case COMEDI_RANGEINFO: if (int e = fault(EMU_OP_RANGEINFO)) return -e; return do_rangeinfo(f, arg);
    case COMEDI_INSN: if (int e = fault(EMU_OP_INSN)) return -e; return do_insn(st, f, arg);
    case COMEDI_INSNLIST: if (int e = fault(EMU_OP_INSNLIST)) return -e; return do_insnlist(st, f, arg);
    case COMEDI_CMDTEST: if (int e = fault(EMU_OP_CMDTEST)) return -e; return do_cmdtest(st, f, arg);
    case COMEDI_CMD: if (int e = fault(EMU_OP_CMD)) return -e; return do_cmd(st, f, arg);
    case COMEDI_CANCEL: if (int e = fault(EMU_OP_CANCEL)) return -e; return do_cancel(st, f, a);
    case COMEDI_POLL: if (int e = fault(EMU_OP_POLL)) return -e; return do_poll(st, f, a);
    case COMEDI_BUFINFO: if (int e = fault(EMU_OP_BUFINFO)) return -e; return do_bufinfo(st, f, arg);
    case COMEDI_BUFCONFIG: return do_bufconfig(f, arg);
    case COMEDI_SETRSUBD: return do_setrsubd(f, a, true);
    case COMEDI_SETWSUBD: return do_setrsubd(f, a, false);
    case COMEDI_LOCK: return do_lock(f, a, true);
    case COMEDI_UNLOCK: return do_lock(f, a, false);
    default: return -ENOTTY;
    }
}

// ---- read -----------------------------------------------------------------------------

long dev_read(int fd, File *f, void *buf, size_t n) {
    State &st = state();
    Lock lk(st.mu);
    if (file_for_fd(fd) != f) return -EBADF;
    if (int e = take_fault(st, EMU_OP_READ)) return -e;
    long limit = st.faults.short_read;
    st.faults.short_read = -1;
    for (;;) {
        if (file_for_fd(fd) != f) return -EBADF; // closed while we slept
        Board &b = *f->board;
        int s = f->read_subdev;
        if (s < 0 || !desc(b, unsigned(s)).has_cmd) return -EIO;
        SubState &ss = b.subs[s];
        if (ss.busy != f || (ss.cmd.flags & CMDF_WRITE)) return -EINVAL;
        if (n == 0) return 0;
        update(st, b, unsigned(s));
        Cmd &c = ss.cmd;
        const SubdevDesc &sd = desc(b, unsigned(s));
        uint64_t avail = c.wc * bytes_per_sample(sd) - c.rc;
        if (avail) {
            uint64_t m = std::min<uint64_t>(avail, n);
            if (limit >= 0) m = std::min<uint64_t>(m, uint64_t(limit));
            if (m == 0) return 0;
            fill(b, sd, c, st, static_cast<uint8_t *>(buf), m);
            c.rc += m;
            return long(m);
        }
        if (!c.running) {
            bool err = c.error;
            become_nonbusy(st, ss);
            return err ? -EPIPE : 0;
        }
        int fl = fcntl(fd, F_GETFL);
        if (fl >= 0 && (fl & O_NONBLOCK)) return -EAGAIN;
        if (st.clock_mode == EMU_CLOCK_REALTIME && c.triggered) {
            uint64_t next = sample_time_ns(c, c.wc);
            uint64_t now = now_locked(st);
            uint64_t wait = next > now ? next - now : 0;
            wait = std::min<uint64_t>(wait + 1000, 100000000ull);
            st.cv.wait_for(lk, std::chrono::nanoseconds(wait));
        } else {
            st.cv.wait_for(lk, std::chrono::milliseconds(100));
        }
    }
}

} // namespace emu
