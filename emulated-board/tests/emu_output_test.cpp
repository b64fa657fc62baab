// SPDX-License-Identifier: LGPL-2.1-or-later
// Output commands (write(2), the writable mapping, the DAC clock, underrun) and start sources
// (internal and external triggers, the external scan clock), checked through the loopback
// channels against values the test computes from the documented model.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <poll.h>
#include <sys/mman.h>
#include <thread>

#include "emu_test_support.h"

using namespace emutest;

namespace {

constexpr unsigned kAo = 1; // the analog output subdevice of multi, rig and comedi_test

comedi_cmd output_cmd(unsigned *cl, unsigned n, unsigned period_ns, unsigned stop_src, unsigned scans,
                      unsigned start_src = TRIG_INT, unsigned start_arg = 0) {
    comedi_cmd c = timed_cmd(kAo, cl, n, period_ns, 0, stop_src, scans);
    c.flags = CMDF_WRITE;
    c.start_src = start_src;
    c.start_arg = start_arg;
    c.convert_src = TRIG_NOW;
    return c;
}

// The DAC's code as comedilib's comedi_to_phys turns it into volts, on ±10 V.
double dac_volts(unsigned raw) {
    double x = raw;
    x /= 65535;
    x *= 20.0;
    x += -10.0;
    return x;
}

// A test pattern that moves every bit of the codes.
std::vector<uint16_t> pattern(size_t n) {
    std::vector<uint16_t> v(n);
    for (size_t j = 0; j < n; ++j) v[j] = uint16_t((j * 7919 + 12345) & 0xffff);
    return v;
}

class EmuOutput : public Emu {
protected:
    comedi_t *run_output(const char *board, comedi_cmd &c) {
        comedi_t *d = open(board);
        if (!d) return nullptr;
        EXPECT_EQ(comedi_command(d, &c), 0) << comedi_strerror(comedi_errno());
        return d;
    }
    static long write_all(comedi_t *d, const std::vector<uint16_t> &v) {
        return long(write(comedi_fileno(d), v.data(), v.size() * 2));
    }
    unsigned cl_[2] = {CR_PACK(0, 0, AREF_GROUND), CR_PACK(1, 0, AREF_GROUND)};
};

// ---- finite and continuous output, by write() and by the mapping, on each clock mode -----------

struct OutCase {
    const char *board;
    bool mapped;
    unsigned stop_src;
    int clock;
};

class EmuOutputRun : public EmuOutput, public ::testing::WithParamInterface<OutCase> {};

TEST_P(EmuOutputRun, TheDacTakesOneScanPerPeriodAndEndsOrRunsDry) {
    const OutCase p = GetParam();
    const unsigned N = 400, SP = 20000;
    emu_set_clock(p.clock);
    comedi_cmd c = output_cmd(cl_, 1, SP, p.stop_src, N);
    comedi_t *d = run_output(p.board, c);
    ASSERT_NE(d, nullptr);
    const auto v = pattern(N);
    if (p.mapped) {
        const int size = comedi_get_buffer_size(d, kAo);
        auto *map = static_cast<uint8_t *>(mmap(nullptr, size_t(size), PROT_WRITE, MAP_SHARED, comedi_fileno(d), 0));
        ASSERT_NE(map, MAP_FAILED);
        memcpy(map, v.data(), N * 2);
        ASSERT_EQ(munmap(map, size_t(size)), 0);
        EXPECT_EQ(comedi_mark_buffer_written(d, kAo, N * 2), int(N * 2));
    } else {
        ASSERT_EQ(write_all(d, v), long(N * 2));
    }
    EXPECT_EQ(comedi_get_buffer_contents(d, kAo), int(N * 2));
    EXPECT_EQ(emu_output_scans(p.board, kAo), 0);
    ASSERT_EQ(comedi_internal_trigger(d, kAo, 0), 0);
    if (p.clock == EMU_CLOCK_MANUAL) {
        ASSERT_EQ(emu_advance_scans(p.board, N / 2), 0);
        EXPECT_EQ(emu_output_scans(p.board, kAo), N / 2);
        EXPECT_EQ(emu_ao_raw(p.board, 0), v[N / 2 - 1]);
        EXPECT_EQ(comedi_get_buffer_contents(d, kAo), int(N));
        emu_advance_ns(uint64_t(N) * SP); // past the end: the last scan, then nothing to take
    } else {
        for (int i = 0; i < 500 && emu_subdevice_running(p.board, kAo) == 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (p.stop_src == TRIG_NONE && p.clock == EMU_CLOCK_INSTANT) {
        // The instant DAC never runs dry: it has taken everything and waits for more.
        EXPECT_EQ(emu_subdevice_running(p.board, kAo), 1);
        EXPECT_EQ(emu_output_scans(p.board, kAo), N);
        EXPECT_EQ(emu_ao_raw(p.board, 0), v[N - 1]);
        EXPECT_EQ(comedi_cancel(d, kAo), 0);
        return;
    }
    EXPECT_EQ(emu_subdevice_running(p.board, kAo), 0);
    EXPECT_EQ(emu_output_scans(p.board, kAo), N);
    EXPECT_EQ(emu_ao_raw(p.board, 0), v[N - 1]); // an underrun keeps the last value
    uint16_t more = 1;
    errno = 0;
    if (p.stop_src == TRIG_COUNT) {
        EXPECT_EQ(write(comedi_fileno(d), &more, 2), 0); // the end, as read() gives EOF
    } else if (p.mapped) {
        EXPECT_EQ(comedi_get_buffer_contents(d, kAo), -1);
        EXPECT_EQ(comedi_errno(), COMEDI_EBUF_OVR);
    } else {
        EXPECT_EQ(write(comedi_fileno(d), &more, 2), -1);
        EXPECT_EQ(errno, EPIPE);
    }
    EXPECT_EQ(emu_subdevice_busy(p.board, kAo), 0); // reaped by that call
    EXPECT_EQ(write(comedi_fileno(d), &more, 2), -1);
    EXPECT_EQ(errno, EINVAL);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmuOutputRun,
    ::testing::Values(OutCase{EMU_BOARD_MULTI, false, TRIG_COUNT, EMU_CLOCK_MANUAL},
                      OutCase{EMU_BOARD_MULTI, true, TRIG_NONE, EMU_CLOCK_MANUAL},
                      OutCase{EMU_BOARD_RIG, true, TRIG_COUNT, EMU_CLOCK_MANUAL},
                      OutCase{EMU_BOARD_RIG, false, TRIG_NONE, EMU_CLOCK_REALTIME},
                      OutCase{EMU_BOARD_COMEDI_TEST, false, TRIG_NONE, EMU_CLOCK_MANUAL},
                      OutCase{EMU_BOARD_COMEDI_TEST, true, TRIG_COUNT, EMU_CLOCK_REALTIME},
                      OutCase{EMU_BOARD_MULTI, false, TRIG_NONE, EMU_CLOCK_INSTANT},
                      OutCase{EMU_BOARD_MULTI, true, TRIG_COUNT, EMU_CLOCK_INSTANT}));

// ---- write(2) and poll(2) without room, without a command, after a cancel -----------------------

TEST_F(EmuOutput, WriteWaitsForRoomAndFailsAsTheCoreDoes) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    emu_set_buffer_size(4096);
    comedi_t *idle = open(EMU_BOARD_MULTI);
    comedi_t *nocmd = open(EMU_BOARD_NOCMD);
    ASSERT_TRUE(idle && nocmd);
    uint16_t one = 0;
    errno = 0;
    EXPECT_EQ(write(comedi_fileno(idle), &one, 2), -1); // owns no command
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(write(comedi_fileno(nocmd), &one, 2), -1); // no write subdevice
    EXPECT_EQ(errno, EIO);

    comedi_cmd c = output_cmd(cl_, 1, 1000, TRIG_NONE, 0);
    comedi_t *d = run_output(EMU_BOARD_MULTI, c);
    ASSERT_NE(d, nullptr);
    const int fd = comedi_fileno(d);
    pollfd pf = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pf, 1, 0), 1);
    const auto v = pattern(4096); // twice the buffer
    EXPECT_EQ(write(fd, v.data(), 8192), 4096); // a short write fills it
    EXPECT_EQ(poll(&pf, 1, 0), 0);
    set_nonblocking(d);
    EXPECT_EQ(write(fd, v.data(), 2), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(write(fd, v.data(), 0), 0);
    ASSERT_EQ(comedi_internal_trigger(d, kAo, 0), 0);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 3), 0);
    EXPECT_EQ(poll(&pf, 1, 0), 1);
    EXPECT_EQ(write(fd, v.data(), 100), 6);
    // Blocking: the writer sleeps until the clock takes a scan.
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK), 0);
    std::thread clock([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        emu_advance_scans(EMU_BOARD_MULTI, 2);
    });
    EXPECT_EQ(write(fd, v.data(), 100), 4);
    clock.join();
    EXPECT_EQ(comedi_cancel(d, kAo), 0);
    EXPECT_EQ(write(fd, v.data(), 2), -1);
    EXPECT_EQ(errno, EINVAL);
}

// ---- internal trigger -------------------------------------------------------------------------

TEST_F(EmuOutput, InternalTriggerStartsOnlyAnArmedCommandWithItsNumber) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    for (unsigned s : {0u, kAo}) {
        errno = 0;
        EXPECT_EQ(comedi_internal_trigger(d, s, 0), -1) << s; // nothing armed
        EXPECT_EQ(errno, EAGAIN);
    }
    unsigned ai_cl[1] = {CR_PACK(1, 0, AREF_GROUND)};
    comedi_cmd ai = timed_cmd(0, ai_cl, 1, 1000, 1000, TRIG_COUNT, 5);
    ai.start_src = TRIG_INT;
    ai.start_arg = 3; // the trigger number INSN_INTTRIG must name
    ASSERT_EQ(comedi_command_test(d, &ai), 0);
    ASSERT_EQ(comedi_command(d, &ai), 0);
    emu_advance_ns(5000);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 0); // armed, not running
    EXPECT_EQ(comedi_internal_trigger(d, 0, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(comedi_internal_trigger(d, 0, 3), 0);
    EXPECT_EQ(comedi_internal_trigger(d, 0, 3), -1); // fired once
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 5), 0);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 10);
}

// ---- one instruction list starts input and output; loopback sample for sample; the low-pass ------

// The first-order low-pass of the rig, from its documented formula: each AO0 update is a step.
struct Rc {
    double y = 0, u = 0;
    uint64_t t = 0;
    double at(uint64_t now) const { return now <= t ? y : u + (y - u) * std::exp(-double(now - t) / 1e6); }
    void step(uint64_t now, double nu) {
        y = at(now);
        t = now;
        u = nu;
    }
};

struct LoopCase {
    const char *board;
    std::vector<unsigned> ai_chans;
    unsigned ai_range;
    unsigned sp, cp;
};

class EmuLoopback : public EmuOutput, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(EmuLoopback, OneListStartsBothAndEveryOutputSampleComesBack) {
    const LoopCase p = GetParam();
    const unsigned N = 3000; // the pattern jumps at every scan: the filter never settles
    emu_set_clock(EMU_CLOCK_MANUAL);
    emu_advance_ns(7777777);
    comedi_cmd ao = output_cmd(cl_, 1, p.sp, TRIG_COUNT, N);
    comedi_t *d = run_output(p.board, ao);
    ASSERT_NE(d, nullptr);
    const auto v = pattern(N);
    ASSERT_EQ(write_all(d, v), long(N * 2));
    std::vector<unsigned> cl;
    for (unsigned ch : p.ai_chans) cl.push_back(CR_PACK(ch, p.ai_range, AREF_GROUND));
    const unsigned L = unsigned(cl.size());
    comedi_cmd ai = timed_cmd(0, cl.data(), L, p.sp, p.cp, TRIG_COUNT, N);
    ai.start_src = TRIG_INT;
    ASSERT_EQ(comedi_command_test(d, &ai), 0);
    ASSERT_EQ(comedi_command(d, &ai), 0);
    lsampl_t zero[2] = {0, 0};
    comedi_insn trig[2] = {};
    for (unsigned i = 0; i < 2; ++i) {
        trig[i].insn = INSN_INTTRIG;
        trig[i].n = 1;
        trig[i].data = &zero[i];
        trig[i].subdev = i == 0 ? kAo : 0;
    }
    comedi_insnlist list = {2, trig};
    ASSERT_EQ(comedi_do_insnlist(d, &list), 2);
    emu_cmd_info in, out;
    ASSERT_EQ(emu_current_cmd(p.board, 0, &in), 0);
    ASSERT_EQ(emu_current_cmd(p.board, kAo, &out), 0);
    const uint64_t t0 = 7777777;
    EXPECT_EQ(in.start_ns, t0);
    EXPECT_EQ(out.start_ns, t0);
    // The first output one scan period after the start, the first scan's last conversion too.
    uint64_t first_conv = 0;
    ASSERT_EQ(emu_sample_time_ns(p.board, 0, L - 1, &first_conv), 0);
    EXPECT_EQ(first_conv, t0 + p.sp);
    emu_advance_ns(p.sp - 1);
    EXPECT_EQ(emu_output_scans(p.board, kAo), 0);
    emu_advance_ns(1);
    EXPECT_EQ(emu_output_scans(p.board, kAo), 1);

    std::vector<unsigned> got;
    set_nonblocking(d);
    for (unsigned step = 0; step < 10; ++step) {
        emu_advance_ns(uint64_t(N / 10) * p.sp);
        auto chunk = samples16(drain(d));
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    ASSERT_EQ(got.size(), size_t(N) * L);
    // What each conversion sees, from the documented instants: scan j of the output at
    // t0 + (j+1)·SP, sample p of input scan s at t0 + (s+1)·SP − (L−1−p)·CP, an output at the
    // same instant as a conversion already converted.
    Rc rc;
    const double mn = kRanges[p.ai_range][0], mx = kRanges[p.ai_range][1];
    size_t mismatches = 0;
    uint64_t j = 0;
    double ao0 = 0.0;
    for (unsigned s = 0; s < N; ++s) {
        for (unsigned q = 0; q < L; ++q) {
            const uint64_t t = t0 + uint64_t(s + 1) * p.sp - uint64_t(L - 1 - q) * p.cp;
            while (j < N && t0 + (j + 1) * p.sp <= t) {
                ao0 = dac_volts(v[j]);
                rc.step(t0 + (j + 1) * p.sp, ao0);
                ++j;
            }
            const unsigned ch = p.ai_chans[q];
            const bool filtered = std::string(p.board) == EMU_BOARD_RIG && ch == 1;
            const unsigned want = adc(filtered ? rc.at(t) : ao0, mn, mx, 65535);
            if (got[s * L + q] != want && mismatches++ < 5)
                ADD_FAILURE() << "scan " << s << " ch " << ch << ": " << got[s * L + q] << " != " << want;
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(emu_output_scans(p.board, kAo), N);
}

INSTANTIATE_TEST_SUITE_P(Boards, EmuLoopback,
                         ::testing::Values(LoopCase{EMU_BOARD_MULTI, {14}, 0, 1000, 1000},
                                           LoopCase{EMU_BOARD_RIG, {0, 1}, 0, 10000, 1000},
                                           LoopCase{EMU_BOARD_RIG, {1, 0, 1}, 1, 3000, 1000}));

// ---- external start and scan clock ------------------------------------------------------------

struct EdgeCase {
    const char *name;
    unsigned flags;   // CR_EDGE / CR_INVERT on start_arg
    int initial;      // line level before the command
    int levels[3];    // then these, 1 µs apart
    int starts_at;    // index of the level change that starts it, -1: at the command
};

class EmuExtStart : public EmuOutput, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(EmuExtStart, ALineStartsInputAndOutputOnItsActiveEdge) {
    const EdgeCase p = GetParam();
    for (unsigned sub : {0u, kAo}) {
        emu_reset();
        emu_set_clock(EMU_CLOCK_MANUAL);
        emu_advance_ns(1000000);
        ASSERT_EQ(emu_dio_set_input(EMU_BOARD_RIG, 3, p.initial), 0);
        comedi_t *d = open(EMU_BOARD_RIG);
        ASSERT_NE(d, nullptr);
        unsigned ai_cl[1] = {CR_PACK(3, 0, AREF_GROUND)};
        comedi_cmd c = sub == kAo ? output_cmd(cl_, 1, 1000, TRIG_NONE, 0, TRIG_EXT, 3 | p.flags)
                                  : timed_cmd(0, ai_cl, 1, 1000, 1000, TRIG_NONE, 0);
        c.start_src = TRIG_EXT;
        c.start_arg = 3 | p.flags;
        ASSERT_EQ(comedi_command_test(d, &c), 0) << p.name;
        ASSERT_EQ(comedi_command(d, &c), 0);
        for (unsigned i = 0; i < 3; ++i)
            ASSERT_EQ(emu_dio_set_input_at(EMU_BOARD_RIG, 3, p.levels[i], 1000000 + 1000 * (i + 1)), 0);
        emu_advance_ns(500);
        emu_cmd_info ci;
        ASSERT_EQ(emu_current_cmd(EMU_BOARD_RIG, sub, &ci), 0);
        EXPECT_EQ(ci.triggered, p.starts_at < 0) << p.name;
        emu_advance_ns(10000);
        ASSERT_EQ(emu_current_cmd(EMU_BOARD_RIG, sub, &ci), 0);
        ASSERT_TRUE(ci.triggered) << p.name;
        EXPECT_EQ(ci.start_ns, p.starts_at < 0 ? 1000000 : 1000000 + 1000 * uint64_t(p.starts_at + 1)) << p.name;
        close(d);
    }
}

INSTANTIATE_TEST_SUITE_P(Edges, EmuExtStart,
                         ::testing::Values(EdgeCase{"rising", CR_EDGE, 0, {1, 0, 1}, 0},
                                           EdgeCase{"rising-from-high", CR_EDGE, 1, {0, 0, 1}, 2},
                                           EdgeCase{"falling", CR_EDGE | CR_INVERT, 0, {1, 0, 1}, 1},
                                           EdgeCase{"high-level", 0, 1, {0, 1, 0}, -1},
                                           EdgeCase{"low-level", CR_INVERT, 1, {1, 0, 1}, 1}));

TEST_F(EmuOutput, ExternalScanClockTakesOneScanPerActiveEdge) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_cmd c = output_cmd(cl_, 2, 0, TRIG_NONE, 0);
    c.scan_begin_src = TRIG_EXT;
    c.scan_begin_arg = 0 | CR_INVERT; // falling edges of line 0
    comedi_t *d = run_output(EMU_BOARD_RIG, c);
    ASSERT_NE(d, nullptr);
    const auto v = pattern(6);
    ASSERT_EQ(write_all(d, v), 12);
    ASSERT_EQ(comedi_internal_trigger(d, kAo, 0), 0);
    const uint64_t t0 = emu_now_ns();
    for (unsigned e = 0; e < 8; ++e) ASSERT_EQ(emu_dio_set_input_at(EMU_BOARD_RIG, 0, e % 2 == 0, t0 + 100 * (e + 1)), 0);
    // Rising at +100, +300, +500, +700; falling at +200, +400, +600, +800.
    const long long want_scans[] = {0, 1, 1, 2, 2, 3, 3, 3};
    for (unsigned e = 0; e < 8; ++e) {
        emu_advance_ns(100);
        EXPECT_EQ(emu_output_scans(EMU_BOARD_RIG, kAo), want_scans[e]) << e;
        EXPECT_EQ(emu_subdevice_running(EMU_BOARD_RIG, kAo), e < 7 ? 1 : 0) << e; // three scans written
    }
    EXPECT_EQ(emu_output_raw(EMU_BOARD_RIG, kAo, 0), v[4]);
    EXPECT_EQ(emu_output_raw(EMU_BOARD_RIG, kAo, 1), v[5]);
    uint16_t more = 0;
    EXPECT_EQ(write(comedi_fileno(d), &more, 2), -1);
    EXPECT_EQ(errno, EPIPE);
}

// ---- what the command tests refuse -----------------------------------------------------------

struct TestCase {
    const char *board;
    unsigned start_src, start_arg, scan_src, scan_arg;
    int stage;
    unsigned fixed_start_src, fixed_start_arg, fixed_scan_arg;
};

class EmuOutputCmdtest : public EmuOutput, public ::testing::WithParamInterface<TestCase> {};

TEST_P(EmuOutputCmdtest, RefusesWhatTheBoardCannotDo) {
    const TestCase p = GetParam();
    comedi_t *d = open(p.board);
    ASSERT_NE(d, nullptr);
    comedi_cmd c = output_cmd(cl_, 1, p.scan_arg, TRIG_COUNT, 10, p.start_src, p.start_arg);
    c.scan_begin_src = p.scan_src;
    EXPECT_EQ(comedi_command_test(d, &c), p.stage);
    EXPECT_EQ(c.start_src, p.fixed_start_src);
    EXPECT_EQ(c.start_arg, p.fixed_start_arg);
    EXPECT_EQ(c.scan_begin_arg, p.fixed_scan_arg);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, EmuOutputCmdtest,
    ::testing::Values(TestCase{EMU_BOARD_MULTI, TRIG_INT, 0, TRIG_TIMER, 1500, 4, TRIG_INT, 0, 2000},
                      TestCase{EMU_BOARD_MULTI, TRIG_INT | TRIG_EXT, 0, TRIG_TIMER, 2000, 1, TRIG_INT, 0, 2000},
                      TestCase{EMU_BOARD_MULTI, TRIG_NOW, 0, TRIG_TIMER, 2000, 1, 0, 0, 2000},
                      TestCase{EMU_BOARD_MULTI, TRIG_INT, 0, TRIG_TIMER, 10, 3, TRIG_INT, 0, 1000},
                      TestCase{EMU_BOARD_RIG, TRIG_INT | TRIG_EXT, 0, TRIG_TIMER, 2000, 2, TRIG_INT | TRIG_EXT, 0, 2000},
                      TestCase{EMU_BOARD_RIG, TRIG_EXT, 7 | CR_EDGE | CR_INVERT, TRIG_TIMER, 2000, 0, TRIG_EXT,
                               7 | CR_EDGE | CR_INVERT, 2000},
                      TestCase{EMU_BOARD_RIG, TRIG_EXT, 8 | CR_EDGE, TRIG_TIMER, 2000, 3, TRIG_EXT, CR_EDGE, 2000},
                      TestCase{EMU_BOARD_RIG, TRIG_EXT, 2 | CR_ALT_SOURCE, TRIG_TIMER, 2000, 3, TRIG_EXT, 0, 2000},
                      TestCase{EMU_BOARD_RIG, TRIG_INT, 0, TRIG_EXT, 9, 3, TRIG_INT, 0, 0},
                      TestCase{EMU_BOARD_COMEDI_TEST, TRIG_EXT, 0, TRIG_TIMER, 2000, 1, 0, 0, 2000},
                      TestCase{EMU_BOARD_COMEDI_TEST, TRIG_INT, 5, TRIG_TIMER, 2400, 4, TRIG_INT, 5, 2000}));

// ---- comedi_test: the timer writes the last scan due into the loopback; its underrun --------------

TEST_F(EmuOutput, ComediTestLoopbackHoldsTheLastScanDue) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_cmd c = output_cmd(cl_, 2, 1000, TRIG_NONE, 0);
    comedi_t *d = run_output(EMU_BOARD_COMEDI_TEST, c);
    ASSERT_NE(d, nullptr);
    const auto v = pattern(20);
    ASSERT_EQ(write_all(d, v), 40);
    ASSERT_EQ(comedi_internal_trigger(d, kAo, 0), 0);
    emu_advance_ns(3500);
    lsampl_t got[2] = {};
    ASSERT_EQ(comedi_data_read(d, 0, 0, 0, AREF_GROUND, &got[0]), 1); // AI reads the loopback too
    ASSERT_EQ(comedi_data_read(d, 0, 1, 0, AREF_GROUND, &got[1]), 1);
    EXPECT_EQ(got[0], v[4]);
    EXPECT_EQ(got[1], v[5]);
    ASSERT_EQ(emu_underrun_now(EMU_BOARD_COMEDI_TEST), 0);
    EXPECT_EQ(emu_output_scans(EMU_BOARD_COMEDI_TEST, kAo), 3);
    EXPECT_EQ(comedi_get_buffer_contents(d, kAo), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_EBUF_OVR);
    EXPECT_EQ(emu_ao_raw(EMU_BOARD_COMEDI_TEST, 0), v[4]);
}

} // namespace
