// SPDX-License-Identifier: LGPL-2.1-or-later
// Streaming: read(2) and BUFINFO of running commands on each clock mode, end of acquisition
// and overrun.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "emu_test_support.h"

using namespace emutest;

namespace {

class EmuStream : public Emu {
protected:
    // Streams channel 0 of the multi-function board at one sample a microsecond on the manual
    // clock, lets `samples` of them convert, then overruns the buffer. Null if a step failed.
    comedi_t *overrun_after(unsigned samples) {
        emu_set_clock(EMU_CLOCK_MANUAL);
        comedi_t *d = start_one_channel(0, 1000, 1000, TRIG_NONE, 0);
        if (!d) return nullptr;
        emu_advance_ns(uint64_t(samples) * 1000);
        int overrun = emu_overrun_now(EMU_BOARD_MULTI);
        EXPECT_EQ(overrun, 0);
        return overrun == 0 ? d : nullptr;
    }
};

TEST_F(EmuStream, ManualClockStreamsTheExactSamples) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    ASSERT_EQ(emu_advance_ns(123456789), 0); // start off the origin
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    set_nonblocking(d);
    unsigned cl[5] = {CR_PACK(7, 0, 0), CR_PACK(1, 0, 0), CR_PACK(4, 1, 0), CR_PACK(5, 0, 0), CR_PACK(7, 0, 0)};
    const unsigned SP = 1000000, CP = 10000, L = 5, N = 50;
    comedi_cmd c = timed_cmd(0, cl, L, SP, CP, TRIG_COUNT, N);
    ASSERT_EQ(comedi_command_test(d, &c), 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    const uint64_t start = emu_now_ns();
    emu_cmd_info ci;
    ASSERT_EQ(emu_current_cmd(EMU_BOARD_MULTI, 0, &ci), 0);
    EXPECT_EQ(ci.scan_begin_arg, SP);
    EXPECT_EQ(ci.convert_arg, CP);
    EXPECT_EQ(ci.start_ns, start);
    EXPECT_TRUE(comedi_get_subdevice_flags(d, 0) & SDF_RUNNING);

    // Nothing converted yet.
    errno = 0;
    uint8_t one[2];
    EXPECT_EQ(read(comedi_fileno(d), one, 2), -1);
    EXPECT_EQ(errno, EAGAIN);

    std::vector<unsigned> all;
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 10), 0);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), int(10 * L * 2));
    auto got = samples16(drain(d));
    ASSERT_EQ(got.size(), size_t(10 * L));
    all.insert(all.end(), got.begin(), got.end());
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, N - 10), 0);
    // Read exactly the rest, so that the end of acquisition is still ahead.
    std::vector<uint8_t> rest((N - 10) * L * 2);
    size_t have = 0;
    while (have < rest.size()) {
        ssize_t r = read(comedi_fileno(d), rest.data() + have, rest.size() - have);
        ASSERT_GT(r, 0);
        have += size_t(r);
    }
    got = samples16(rest);
    all.insert(all.end(), got.begin(), got.end());
    ASSERT_EQ(all.size(), size_t(N * L));
    for (uint64_t k = 0; k < all.size(); ++k) {
        uint64_t s = k / L, p = k % L;
        // Scan s ends at start + (s+1)*scan period; its conversions lead up to it.
        uint64_t t = start + (s + 1) * SP - (L - 1 - p) * CP;
        unsigned want;
        switch (p) {
        case 0:
        case 4: want = unsigned(k); break; // the counter proves nothing was lost or repeated
        case 1: want = adc(1.0, -10, 10, 65535); break;
        case 2: want = unsigned(emu_expected_raw(EMU_BOARD_MULTI, 4, 1, t, k)); break;
        default: want = adc((t % 200000000) < 100000000 ? 3.0 : -3.0, -10, 10, 65535); break;
        }
        ASSERT_EQ(all[k], want) << "sample " << k;
        if (p == 2) {
            double ph = double(t % 100000000) / 1e8;
            ASSERT_EQ(all[k], adc(2.0 * std::sin(2 * M_PI * ph), -5, 5, 65535));
        }
    }
    // End of acquisition: EOF, then the subdevice is free again.
    EXPECT_EQ(read(comedi_fileno(d), one, 2), 0);
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), one, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(emu_cmd_count(EMU_BOARD_MULTI), 1u);
}

TEST_F(EmuStream, Ai18StreamsThirtyTwoBitSamples) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_AI18);
    ASSERT_NE(d, nullptr);
    set_nonblocking(d);
    unsigned cl[2] = {CR_PACK(7, 0, 0), CR_PACK(13, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 2, 20000, 1000, TRIG_COUNT, 300);
    ASSERT_EQ(comedi_command(d, &c), 0);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_AI18, 300), 0);
    auto bytes = drain(d);
    ASSERT_EQ(bytes.size(), size_t(300 * 2 * 4));
    for (size_t k = 0; k < 600; ++k) {
        uint32_t v;
        memcpy(&v, &bytes[k * 4], 4);
        ASSERT_EQ(v, k % 2 == 0 ? uint32_t(k) : adc(-7.0, -10, 10, 262143)) << k;
    }
}

TEST_F(EmuStream, FollowTimingAndInternalTrigger) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    set_nonblocking(d);
    unsigned cl[1] = {CR_PACK(7, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 0, 5000, TRIG_NONE, 0);
    c.scan_begin_src = TRIG_FOLLOW;
    c.start_src = TRIG_INT;
    c.start_arg = 3;
    ASSERT_EQ(comedi_command_test(d, &c), 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    emu_advance_ns(1000000);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 0); // armed, not started
    EXPECT_EQ(comedi_internal_trigger(d, 0, 2), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
    ASSERT_EQ(comedi_internal_trigger(d, 0, 3), 0);
    emu_advance_ns(5000 * 7 + 4999); // sample k converts at start + (k+1)*5 us
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 7 * 2);
    EXPECT_EQ(comedi_poll(d, 0), 7 * 2);
    auto v = samples16(drain(d));
    ASSERT_EQ(v.size(), 7u);
    for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(v[i], i);
    EXPECT_EQ(comedi_cancel(d, 0), 0);
}

TEST_F(EmuStream, OverrunStopsTheCommandAndReadsEndInEpipe) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    ASSERT_EQ(emu_set_buffer_size(4096), 0);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    set_nonblocking(d);
    unsigned cl[1] = {CR_PACK(7, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    emu_advance_ns(10000000); // 10000 samples into a 2048-sample buffer
    EXPECT_EQ(emu_subdevice_running(EMU_BOARD_MULTI, 0), 0);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 4096); // what was buffered stays readable
    auto v = samples16(drain(d));
    ASSERT_EQ(v.size(), 2048u);
    for (unsigned i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], i);
    // drain() stopped at the EPIPE of the read after the last byte, which reaped the command.
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
}

TEST_F(EmuStream, OverrunSeenByBufferContentsAsBufferOverflow) {
    comedi_t *d = overrun_after(5);
    ASSERT_NE(d, nullptr);
    uint8_t buf[64];
    ASSERT_EQ(read(comedi_fileno(d), buf, sizeof buf), 10);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_EBUF_OVR);
    EXPECT_STREQ(comedi_strerror(comedi_errno()), "Buffer overflow");
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(EmuStream, ReadAfterOverrunDrainFailsWithEpipe) {
    comedi_t *d = overrun_after(3);
    ASSERT_NE(d, nullptr);
    uint8_t buf[64];
    ASSERT_EQ(read(comedi_fileno(d), buf, sizeof buf), 6);
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(EmuStream, InstantModeAlwaysHasDataAndKeepsTheCounterExact) {
    emu_set_clock(EMU_CLOCK_INSTANT);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[3] = {CR_PACK(7, 0, 0), CR_PACK(1, 0, 0), CR_PACK(7, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 3, 1000000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    EXPECT_GE(comedi_poll(d, 0), 1 << 20);
    std::vector<uint8_t> buf(3 * 2 * 1000 + 1); // odd size: a sample is split between reads
    uint64_t k = 0;
    std::vector<uint8_t> stream;
    for (int i = 0; i < 50; ++i) {
        ssize_t r = read(comedi_fileno(d), buf.data(), buf.size());
        ASSERT_EQ(r, ssize_t(buf.size()));
        stream.insert(stream.end(), buf.begin(), buf.end());
    }
    auto v = samples16(stream);
    for (k = 0; k < v.size(); ++k) {
        if (k % 3 == 1) ASSERT_EQ(v[k], adc(1.0, -10, 10, 65535)) << k;
        else ASSERT_EQ(v[k], unsigned(k % 65536)) << k;
    }
    ASSERT_EQ(comedi_cancel(d, 0), 0);

    // A counted command ends where it should.
    c = timed_cmd(0, cl, 3, 1000000, 1000, TRIG_COUNT, 4);
    ASSERT_EQ(comedi_command(d, &c), 0);
    EXPECT_EQ(read(comedi_fileno(d), buf.data(), buf.size()), 24);
    EXPECT_EQ(read(comedi_fileno(d), buf.data(), buf.size()), 0);
}

// The meter of the board's own sample making counts the bytes made for this process's reads and
// their CPU time while it is on, nothing while it is off, and starts again from zero.
TEST_F(EmuStream, MakingMeterCountsTheSamplesMadeOnlyWhileOn) {
    emu_set_clock(EMU_CLOCK_INSTANT);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[2] = {CR_PACK(7, 0, 0), CR_PACK(1, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 2, 1000000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    std::vector<uint8_t> buf(1 << 16);
    auto readAll = [&](int times) {
        for (int i = 0; i < times; ++i) ASSERT_EQ(read(comedi_fileno(d), buf.data(), buf.size()), ssize_t(buf.size()));
    };
    readAll(2);
    EXPECT_EQ(emu_making_bytes(), 0u) << "off by default";
    emu_meter_making(1);
    readAll(8);
    EXPECT_EQ(emu_making_bytes(), 8u * buf.size());
    EXPECT_GT(emu_making_cpu_ns(), 0u);
    emu_meter_making(0);
    EXPECT_EQ(emu_making_bytes(), 0u);
    EXPECT_EQ(emu_making_cpu_ns(), 0u);
    readAll(2);
    EXPECT_EQ(emu_making_bytes(), 0u);
    ASSERT_EQ(comedi_cancel(d, 0), 0);
}

TEST_F(EmuStream, RealtimeBlockingReadDeliversEveryScan) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[2] = {CR_PACK(7, 0, 0), CR_PACK(3, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 2, 100000, 10000, TRIG_COUNT, 200); // 20 ms in all
    ASSERT_EQ(comedi_command(d, &c), 0);
    std::vector<uint8_t> all;
    uint8_t buf[256];
    for (;;) {
        ssize_t r = read(comedi_fileno(d), buf, sizeof buf);
        ASSERT_GE(r, 0) << strerror(errno);
        if (r == 0) break;
        all.insert(all.end(), buf, buf + r);
    }
    auto v = samples16(all);
    ASSERT_EQ(v.size(), 400u);
    for (unsigned k = 0; k < 400; ++k) ASSERT_EQ(v[k], k % 2 ? adc(4.0, -10, 10, 65535) : k);
}

TEST_F(EmuStream, BlockingReadWaitsForTheManualClock) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start_one_channel(7, 1000, 1000, TRIG_COUNT, 4);
    ASSERT_NE(d, nullptr);
    std::thread ticker([] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            emu_advance_scans(EMU_BOARD_MULTI, 1);
        }
    });
    std::vector<unsigned> got;
    uint8_t buf[64];
    for (;;) {
        ssize_t r = read(comedi_fileno(d), buf, sizeof buf); // blocks until a scan is converted
        ASSERT_GE(r, 0);
        if (r == 0) break;
        auto v = samples16(std::vector<uint8_t>(buf, buf + r));
        got.insert(got.end(), v.begin(), v.end());
    }
    ticker.join();
    EXPECT_EQ(got, (std::vector<unsigned>{0, 1, 2, 3}));
}

TEST_F(EmuStream, CancelFromAnotherThreadWakesABlockedReader) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start_one_channel(0, 1000, 1000, TRIG_NONE, 0);
    ASSERT_NE(d, nullptr);
    std::thread canceller([d] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        comedi_cancel(d, 0);
    });
    uint8_t buf[8];
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINVAL);
    canceller.join();
}

TEST_F(EmuStream, ShortReadsSplitSamplesWithoutLosingBytes) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start_one_channel(7, 1000, 1000, TRIG_COUNT, 20);
    ASSERT_NE(d, nullptr);
    emu_advance_scans(EMU_BOARD_MULTI, 20);
    uint8_t buf[64];
    ASSERT_EQ(emu_short_read_next(7), 0);
    ASSERT_EQ(read(comedi_fileno(d), buf, sizeof buf), 7);
    ASSERT_EQ(read(comedi_fileno(d), buf + 7, sizeof buf - 7), 33);
    auto v = samples16(std::vector<uint8_t>(buf, buf + 40));
    for (unsigned i = 0; i < 20; ++i) EXPECT_EQ(v[i], i);
}

} // namespace
