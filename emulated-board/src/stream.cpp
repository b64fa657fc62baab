// SPDX-License-Identifier: LGPL-2.1-or-later
// The stream model: which samples of a command the emulated clock has converted, the buffer
// that holds them, overrun and end of acquisition, and the bytes a reader gets.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

#include <comedi.h>

#include "device.h"
#include "ring.h"

namespace emu {

namespace {

} // namespace

// Samples whose conversion time lies at or before `e` ns after the start.
uint64_t samples_due(const Cmd &c, uint64_t e) {
    uint64_t L = c.len;
    if (e < c.first) return 0;
    uint64_t last_off = c.first + (L - 1) * c.cp;
    uint64_t full = e < last_off ? 0 : (e - last_off) / c.sp + 1;
    uint64_t base = c.first + full * c.sp;
    uint64_t partial = 0;
    if (e >= base) partial = c.cp ? std::min<uint64_t>((e - base) / c.cp + 1, L) : L;
    return full * L + partial;
}

namespace {

// INSTANT mode copies from the first >= 64 KiB of the command's scans, computed once per
// command in each process that reads it.
struct Pattern {
    uint64_t serial = 0;
    std::vector<uint8_t> bytes;
};

const std::vector<uint8_t> &pattern_for(State &st, const Board &b, unsigned s) {
    // Guarded by the state lock; never destroyed, like the state (late closes at exit).
    static auto *cache = new std::vector<Pattern>(kMaxBoards * kMaxSubdevs);
    const Cmd &c = b.sub(s).cmd;
    Pattern &p = (*cache)[size_t(b.s - st.sh->boards) * kMaxSubdevs + s];
    if (p.serial == c.serial && !p.bytes.empty()) return p.bytes;
    const SubdevDesc &sd = b.desc(s);
    uint64_t L = c.len, bps = bytes_per_sample(sd);
    uint64_t scans = std::max<uint64_t>(1, 65536 / (L * bps));
    p.bytes.resize(scans * L * bps);
    for (uint64_t k = 0; k < scans * L; ++k) {
        unsigned v = sd.ops->sample(b, sd, c, k);
        memcpy(&p.bytes[k * bps], &v, bps); // little-endian host
    }
    p.serial = c.serial;
    return p.bytes;
}

// Writes the bytes of sample k that fall into [from, to) of the stream.
inline void put_sample(uint8_t *buf, uint64_t from, uint64_t to, uint64_t k, uint64_t bps, unsigned v) {
    uint8_t tmp[4];
    memcpy(tmp, &v, 4);
    uint64_t a = std::max(from, k * bps), z = std::min(to, (k + 1) * bps);
    memcpy(buf + (a - from), tmp + (a - k * bps), z - a);
}

void fill_instant(const std::vector<uint8_t> &pat, const SubdevDesc &sd, const Cmd &c, uint8_t *buf, uint64_t from,
                  uint64_t n) {
    const uint64_t bps = bytes_per_sample(sd);
    const uint64_t to = from + n;
    const uint64_t plen = pat.size();
    uint64_t off = from % plen, done = 0;
    while (done < n) {
        uint64_t m = std::min(n - done, plen - off);
        memcpy(buf + done, &pat[off], m);
        done += m;
        off = 0;
    }
    if (!c.n_counter) return;
    // The pattern repeats, the counter does not: patch its samples in place.
    const uint64_t L = c.len;
    const uint64_t k0 = from / bps, k1 = (to + bps - 1) / bps; // samples overlapping the copy
    const uint64_t mod = uint64_t(sd.maxdata) + 1;
    const bool pow2 = (mod & (mod - 1)) == 0; // every board here: a mask instead of a division
    for (uint64_t scan = k0 / L; scan * L < k1; ++scan) {
        for (unsigned i = 0; i < c.n_counter; ++i) {
            uint64_t k = scan * L + c.counter_pos[i];
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
            put_sample(buf, from, to, k, bps, v);
        }
    }
}

} // namespace

// Moves the command's write count up to the emulated clock: overrun, end of acquisition.
void advance_input(State &st, Board &b, unsigned s) {
    SubState &ss = b.sub(s);
    Cmd &c = ss.cmd;
    const SubdevDesc &sd = b.desc(s);
    uint64_t bps = bytes_per_sample(sd);
    uint64_t fit = (c.rc + ss.bufsize) / bps; // whole samples the buffer can hold
    if (st.sh->clock_mode == EMU_CLOCK_INSTANT) {
        // The board always keeps the buffer full, and never overruns.
        uint64_t target = fit;
        if (c.total && target > c.total) target = c.total;
        if (target > c.wc) c.wc = target;
    } else {
        uint64_t now = now_locked(st);
        uint64_t due = samples_due(c, now >= c.start_ns ? now - c.start_ns : 0);
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

namespace {

// The bytes [from, from+n) of the command's stream, partial samples at both ends allowed.
void compute(State &st, const Board &b, unsigned s, uint8_t *buf, uint64_t from, uint64_t n) {
    const SubdevDesc &sd = b.desc(s);
    const Cmd &c = b.sub(s).cmd;
    if (st.sh->clock_mode == EMU_CLOCK_INSTANT) {
        fill_instant(pattern_for(st, b, s), sd, c, buf, from, n);
        return;
    }
    const uint64_t bps = bytes_per_sample(sd);
    const uint64_t to = from + n;
    for (uint64_t k = from / bps; k * bps < to; ++k) put_sample(buf, from, to, k, bps, sd.ops->sample(b, sd, c, k));
}

} // namespace

namespace {

// The meter of the board's own sample making (emu_meter_making): per process, since the samples
// are made by the thread that reads them.
std::atomic<bool> making_metered{false};
std::atomic<uint64_t> making_cpu_ns{0};
std::atomic<uint64_t> making_bytes{0};

uint64_t thread_cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

} // namespace

// The converter's writes into the ring, done when someone can look: at once while the ring is
// mapped, otherwise for the bytes a read() takes. Bytes already consumed are never written.
void materialize_upto(State &st, Board &b, unsigned s, uint64_t upto) {
    Cmd &c = b.sub(s).cmd;
    uint64_t from = std::max(c.filled, c.rc);
    const bool metered = from < upto && making_metered.load(std::memory_order_relaxed);
    const uint64_t cpu0 = metered ? thread_cpu_ns() : 0;
    const uint64_t first = from;
    uint8_t chunk[8192];
    while (from < upto) {
        uint64_t n = std::min<uint64_t>(upto - from, sizeof chunk);
        compute(st, b, s, chunk, from, n);
        ring_put(st, b, s, from, chunk, n);
        from += n;
    }
    c.filled = std::max(c.filled, upto);
    if (metered) {
        making_cpu_ns.fetch_add(thread_cpu_ns() - cpu0, std::memory_order_relaxed);
        making_bytes.fetch_add(from - first, std::memory_order_relaxed);
    }
}

void meter_making(bool on) {
    making_metered.store(false, std::memory_order_relaxed);
    making_cpu_ns.store(0, std::memory_order_relaxed);
    making_bytes.store(0, std::memory_order_relaxed);
    making_metered.store(on, std::memory_order_relaxed);
}

uint64_t making_cpu() { return making_cpu_ns.load(std::memory_order_relaxed); }
uint64_t making_bytes_total() { return making_bytes.load(std::memory_order_relaxed); }

unsigned bytes_per_sample(const SubdevDesc &sd) { return sd.lsampl ? 4 : 2; }

uint64_t sample_time_ns(const Cmd &c, uint64_t k) {
    uint64_t L = c.len;
    return c.start_ns + c.first + (k / L) * c.sp + (k % L) * c.cp;
}

void update(State &st, Board &b, unsigned s) {
    advance_board(st, b);
    SubState &ss = b.sub(s);
    Cmd &c = ss.cmd;
    if (!ss.busy || !c.running || !c.triggered || (c.flags & CMDF_WRITE)) return;
    advance_input(st, b, s);
    if (ss.mapped) materialize_upto(st, b, s, c.wc * bytes_per_sample(b.desc(s)));
}

void become_nonbusy(State &st, SubState &ss) {
    if (ss.cmd.flags & CMDF_WRITE) ss.last_scans_out = ss.cmd.scans_out;
    ss.cmd = Cmd();
    ss.busy = kNobody;
    wake_waiters(st);
}

void start_acquisition(State &st, Board &b, unsigned s) { start_at(st, b, s, instant_locked(st)); }

} // namespace emu
