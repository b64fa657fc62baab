// The emulated boards, their signals, the clock and the global state.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <comedi.h>

#include "emu_internal.h"
#include "signals.h"

namespace emu {

std::atomic<File *> g_fds[kMaxFd];

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
            false, cmd, false};
}
SubdevDesc ao2() {
    return {COMEDI_SUBD_AO, 2, SDF_WRITABLE | SDF_GROUND, 65535, 1, kAoRanges, 2, false, false, false};
}
SubdevDesc digital(unsigned type, unsigned n) {
    unsigned fl = type == COMEDI_SUBD_DO ? SDF_WRITABLE : type == COMEDI_SUBD_DI ? SDF_READABLE
                                                                                 : SDF_READABLE | SDF_WRITABLE;
    return {type, n, fl, 1, n, kDigital, 1, false, false, true};
}

std::vector<BoardDesc> make_descs() {
    std::vector<BoardDesc> v;
    v.push_back({"multi", "vorn_emu", "emu-multi", Model::Generic,
                 {ai16(true), ao2(), digital(COMEDI_SUBD_DIO, 24)}, 0, -1});
    SubdevDesc ai18 = ai16(true);
    ai18.maxdata = 262143;
    ai18.flags |= SDF_LSAMPL;
    ai18.lsampl = true;
    v.push_back({"ai18", "vorn_emu", "emu-ai18", Model::Generic, {ai18, ao2()}, 0, -1});
    v.push_back({"nocmd", "vorn_emu", "emu-nocmd", Model::Generic, {ai16(false), ao2()}, -1, -1});
    v.push_back({"do-only", "vorn_emu", "emu-do16", Model::Generic, {digital(COMEDI_SUBD_DO, 16)}, -1, -1});
    v.push_back({"dio64", "vorn_emu", "emu-dio64", Model::Generic, {digital(COMEDI_SUBD_DIO, 64)}, -1, -1});
    v.push_back({"di16", "vorn_emu", "emu-di16", Model::Generic, {digital(COMEDI_SUBD_DI, 16)}, -1, -1});
    SubdevDesc ct_ai = {COMEDI_SUBD_AI, 8, SDF_READABLE | SDF_GROUND | SDF_CMD_READ | SDF_CMD, 0xffff, 16,
                        kCtRanges, 2, false, true, false};
    SubdevDesc ct_ao = {COMEDI_SUBD_AO, 8, SDF_WRITABLE | SDF_GROUND | SDF_CMD_WRITE | SDF_CMD, 0xffff, 8,
                        kCtRanges, 2, false, true, false};
    v.push_back({"comedi_test", "comedi_test", "comedi_test", Model::ComediTest, {ct_ai, ct_ao}, 0, 1});
    return v;
}

const std::vector<BoardDesc> &descs() {
    static const std::vector<BoardDesc> *d = new std::vector<BoardDesc>(make_descs());
    return *d;
}

uint64_t mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// VORN_EMU_MAP="/dev/comedi0=multi,/dev/comedi1=comedi_test"
void parse_map(State &st, const char *env) {
    std::string s(env);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t end = s.find(',', pos);
        if (end == std::string::npos) end = s.size();
        std::string item = s.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            fprintf(stderr, "vornemu: VORN_EMU_MAP entry '%s' is not PATH=BOARD\n", item.c_str());
            continue;
        }
        std::string path = item.substr(0, eq), name = item.substr(eq + 1);
        int idx = -1;
        for (size_t i = 0; i < descs().size(); ++i)
            if (name == descs()[i].name) idx = int(i);
        if (idx < 0) {
            fprintf(stderr, "vornemu: VORN_EMU_MAP names unknown board '%s'\n", name.c_str());
            continue;
        }
        st.paths.insert(st.paths.begin(), {path, idx}); // later entries for a path win
    }
}

State *make_state() {
    State *st = new State();
    st->boards.resize(descs().size());
    for (size_t i = 0; i < descs().size(); ++i) {
        st->boards[i].d = &descs()[i];
        st->paths.push_back({std::string("/dev/comedi-emu/") + descs()[i].name, int(i)});
        power_on(*st, st->boards[i]);
    }
    if (const char *m = getenv("VORN_EMU_MAP")) parse_map(*st, m);
    st->origin_mono = mono_ns();
    return st;
}

} // namespace

// Never destroyed: JVM threads and atexit handlers may still close descriptors after static
// destructors have run.
State &state() {
    static State *st = make_state();
    return *st;
}

uint64_t now_locked(State &st) {
    if (st.clock_mode == EMU_CLOCK_MANUAL) return st.manual_ns;
    uint64_t m = mono_ns();
    return m >= st.origin_mono ? m - st.origin_mono : 0;
}

int board_index_for_path(State &st, const char *path) {
    for (auto &p : st.paths)
        if (p.first == path) return p.second;
    return -1;
}

Board *board_for(State &st, const char *path) {
    if (!path) return nullptr;
    int i = board_index_for_path(st, path);
    if (i < 0)
        for (size_t k = 0; k < descs().size(); ++k)
            if (strcmp(descs()[k].name, path) == 0) i = int(k);
    return i < 0 ? nullptr : &st.boards[i];
}

void power_on(State &st, Board &b) {
    b.subs.assign(b.d->subs.size(), SubState());
    for (size_t i = 0; i < b.subs.size(); ++i) {
        const SubdevDesc &sd = b.d->subs[i];
        SubState &ss = b.subs[i];
        ss.bufsize = st.default_bufsize;
        if (sd.type == COMEDI_SUBD_AO) {
            // Power-on output is 0 V: the code nearest 0 V on the first range.
            long long zero = (long long)sig::volts_to_raw(0.0, sd.ranges[0], sd.maxdata);
            ss.out_raw.assign(sd.n_chan, zero);
            ss.out_range.assign(sd.n_chan, 0);
            ss.ao_volt.assign(sd.n_chan, 0.0);
        }
        if (sd.type == COMEDI_SUBD_DO) ss.dir = sd.n_chan >= 64 ? ~0ull : ((1ull << sd.n_chan) - 1);
    }
    b.insn_count = b.cmd_count = b.counter_reads = 0;
    b.ct_loop.assign(8, 32767);
}

namespace sig {

unsigned volts_to_raw(double v, const Range &r, unsigned maxdata) {
    double mn = r.min_uv * 1e-6, mx = r.max_uv * 1e-6;
    double s = std::floor((v - mn) / (mx - mn) * maxdata + 0.5);
    if (!(s > 0)) return 0;
    if (s > maxdata) return maxdata;
    return unsigned(s);
}

double raw_to_volts(unsigned raw, const Range &r, unsigned maxdata) {
    double x = raw;
    x /= maxdata;
    x *= (r.max_uv - r.min_uv) * 1e-6;
    x += r.min_uv * 1e-6;
    return x;
}

double voltage(const Board &b, unsigned ch, uint64_t t_ns) {
    switch (ch) {
    case 0: return 0.0;
    case 1: return 1.0;
    case 2: return -2.5;
    case 3: return 4.0;
    case 4: { // 10 Hz: reduce the time to one period first so large clocks keep precision
        double ph = double(t_ns % 100000000ull) / 1e8;
        return 2.0 * std::sin(2.0 * M_PI * ph);
    }
    case 5: return (t_ns % 200000000ull) < 100000000ull ? 3.0 : -3.0;
    case 6: return -4.0 + 8.0 * double(t_ns % 500000000ull) / 5e8;
    case 8: return 9.0;
    case 9: return -9.0;
    case 10: return 0.5;
    case 11: return -0.5;
    case 12: return 3.3;
    case 13: return -7.0;
    case 14:
    case 15:
        for (size_t i = 0; i < b.d->subs.size(); ++i)
            if (b.d->subs[i].type == COMEDI_SUBD_AO && b.subs.size() > i) return b.subs[i].ao_volt[ch - 14];
        return 0.0;
    default: return 0.0;
    }
}

unsigned generic_raw(const Board &b, const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_ns,
                     uint64_t index) {
    if (ch == 7) return unsigned(index % (uint64_t(sd.maxdata) + 1));
    return volts_to_raw(voltage(b, ch, t_ns), sd.ranges[range], sd.maxdata);
}

// comedi_test: amplitude 1 V (in µV), period 100 ms (in µs); waveform time in µs.
unsigned ct_waveform(const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_us) {
    const uint64_t amplitude = 1000000, period = 100000;
    const uint64_t maxdata = sd.maxdata, offset = sd.maxdata / 2;
    const Range &kr = sd.ranges[range];
    uint64_t binamp = maxdata * amplitude / uint64_t(kr.max_uv - kr.min_uv);
    t_us %= period;
    if (ch == 0) {
        uint64_t value = t_us * binamp * 2 / period + offset;
        if (value < binamp) return 0;
        value -= binamp;
        return unsigned(value > maxdata ? maxdata : value);
    }
    if (ch == 1) {
        if (t_us < period / 2) return offset < binamp ? 0 : unsigned(offset - binamp);
        uint64_t value = binamp + offset;
        return unsigned(value > maxdata ? maxdata : value);
    }
    return unsigned(offset);
}

} // namespace sig
} // namespace emu
