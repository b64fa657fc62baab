// SPDX-License-Identifier: LGPL-2.1-or-later
// poll/ppoll/select/pselect on emulated descriptors, alone and mixed with real ones, on each
// clock mode.
#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <thread>

#include "emu_test_support.h"

using namespace emutest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr short kReadable = POLLIN | POLLRDNORM;
constexpr short kWritable = POLLOUT | POLLWRNORM;

// revents of one descriptor after poll(2) with that timeout; -1 if poll failed.
short revents(int fd, short events, int timeout_ms) {
    pollfd p = {fd, events, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0) return -1;
    EXPECT_EQ(r, p.revents ? 1 : 0);
    return p.revents;
}

enum class Api { Poll, Ppoll, Select, Pselect };

// The descriptors of `fds` that the call reports readable, in the order given.
std::vector<int> wait_readable(Api api, const std::vector<int> &fds, int timeout_ms) {
    std::vector<int> ready;
    timespec ts = {timeout_ms / 1000, long(timeout_ms % 1000) * 1000000L};
    if (api == Api::Poll || api == Api::Ppoll) {
        std::vector<pollfd> p;
        for (int fd : fds) p.push_back({fd, POLLIN, 0});
        int r = api == Api::Poll ? poll(p.data(), p.size(), timeout_ms) : ppoll(p.data(), p.size(), &ts, nullptr);
        EXPECT_GE(r, 0) << strerror(errno);
        int counted = 0;
        for (auto &e : p)
            if (e.revents) {
                EXPECT_EQ(e.revents & ~(POLLIN | POLLRDNORM), 0) << "fd " << e.fd;
                ready.push_back(e.fd);
                ++counted;
            }
        EXPECT_EQ(r, counted);
        return ready;
    }
    fd_set set;
    FD_ZERO(&set);
    int top = 0;
    for (int fd : fds) {
        FD_SET(fd, &set);
        top = std::max(top, fd + 1);
    }
    timeval tv = {timeout_ms / 1000, long(timeout_ms % 1000) * 1000L};
    int r = api == Api::Select ? select(top, &set, nullptr, nullptr, &tv)
                               : pselect(top, &set, nullptr, nullptr, &ts, nullptr);
    EXPECT_GE(r, 0) << strerror(errno);
    for (int fd : fds)
        if (FD_ISSET(fd, &set)) ready.push_back(fd);
    EXPECT_EQ(r, int(ready.size()));
    return ready;
}

class EmuPoll : public Emu {
protected:
    // One channel of multi, 1 ms scans; TRIG_NONE if scans == 0.
    comedi_t *start(unsigned scans, unsigned scan_ns = 1000000, unsigned start_src = TRIG_NOW) {
        comedi_t *d = open(EMU_BOARD_MULTI);
        if (!d) return nullptr;
        static unsigned cl[1] = {CR_PACK(0, 0, 0)};
        comedi_cmd c = timed_cmd(0, cl, 1, scan_ns, 1000, scans ? TRIG_COUNT : TRIG_NONE, scans);
        c.start_src = start_src;
        EXPECT_EQ(comedi_command(d, &c), 0);
        return d;
    }
    static uint8_t byte_sink[1 << 16];
    static ssize_t read_some(comedi_t *d) { return read(comedi_fileno(d), byte_sink, sizeof byte_sink); }
};
uint8_t EmuPoll::byte_sink[1 << 16];

TEST_F(EmuPoll, ReadableWhenDataIsBufferedOrTheCommandIsOver) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *idle = open(EMU_BOARD_MULTI);
    ASSERT_NE(idle, nullptr);
    // Owning no command, a reader must wake to get its EINVAL, and a writer likewise.
    EXPECT_EQ(revents(comedi_fileno(idle), kReadable | kWritable, 0), kReadable | kWritable);

    comedi_t *d = start(3);
    ASSERT_NE(d, nullptr);
    const int fd = comedi_fileno(d);
    EXPECT_EQ(revents(fd, POLLIN, 0), 0);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 1), 0);
    EXPECT_EQ(revents(fd, kReadable, 0), kReadable);
    EXPECT_EQ(revents(fd, POLLIN, 0), POLLIN); // only what was asked for
    EXPECT_EQ(read_some(d), 2);
    EXPECT_EQ(revents(fd, POLLIN, 0), 0);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 2), 0);
    EXPECT_EQ(read_some(d), 4);
    // Drained and ended: readable, and the read that follows is the end of file.
    EXPECT_EQ(revents(fd, POLLIN, 0), POLLIN);
    EXPECT_EQ(read_some(d), 0);
    EXPECT_EQ(revents(fd, POLLIN, 0), POLLIN);

    // An overrun ends the command in error: readable, and read says EPIPE.
    comedi_t *o = start(0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(revents(comedi_fileno(o), POLLIN, 0), 0);
    ASSERT_EQ(emu_overrun_now(EMU_BOARD_MULTI), 0);
    EXPECT_EQ(revents(comedi_fileno(o), POLLIN, 0), POLLIN);
    errno = 0;
    EXPECT_EQ(read_some(o), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(EmuPoll, CommandWaitingForItsInternalTriggerIsNotReadable) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start(0, 1000000, TRIG_INT);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(emu_advance_ns(50000000), 0);
    EXPECT_EQ(revents(comedi_fileno(d), POLLIN, 0), 0);
    ASSERT_EQ(comedi_internal_trigger(d, 0, 0), 0);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 1), 0);
    EXPECT_EQ(revents(comedi_fileno(d), POLLIN, 0), POLLIN);
}

TEST_F(EmuPoll, ComediTestWriteSubdeviceAlwaysHasRoom) {
    comedi_t *d = open(EMU_BOARD_COMEDI_TEST);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(revents(comedi_fileno(d), kReadable | kWritable, 0), kReadable | kWritable);
}

TEST_F(EmuPoll, ComediTestReaderWakesAtItsFirstConversion) {
    comedi_t *d = open(EMU_BOARD_COMEDI_TEST);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    // That driver converts one convert period plus one scan period after the start.
    comedi_cmd c = timed_cmd(0, cl, 1, 300000000, 1000, TRIG_COUNT, 1);
    const auto t0 = Clock::now();
    ASSERT_EQ(comedi_command(d, &c), 0);
    EXPECT_EQ(revents(comedi_fileno(d), POLLIN, 0), 0);
    EXPECT_EQ(revents(comedi_fileno(d), POLLIN, 5000), POLLIN);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 2);
}

TEST_F(EmuPoll, InstantClockIsReadyWhileTheCommandRuns) {
    emu_set_clock(EMU_CLOCK_INSTANT);
    comedi_t *d = start(0);
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(revents(comedi_fileno(d), POLLIN, -1), POLLIN);
        EXPECT_GT(read_some(d), 0);
    }
}

enum class Action { Advance, Cancel, Close };

class EmuPollWakes : public EmuPoll, public ::testing::WithParamInterface<Action> {};

TEST_P(EmuPollWakes, BlockedPollWakesOnAnotherThreadsAction) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start(0);
    ASSERT_NE(d, nullptr);
    const int fd = comedi_fileno(d);
    ASSERT_EQ(revents(fd, POLLIN, 0), 0); // nothing to wake for until the other thread acts
    std::thread other([this, d] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        switch (GetParam()) {
        case Action::Advance: emu_advance_scans(EMU_BOARD_MULTI, 1); break;
        case Action::Cancel: comedi_cancel(d, 0); break;
        case Action::Close: close(d); break;
        }
    });
    const auto t0 = Clock::now();
    const short got = revents(fd, POLLIN, 10000);
    const auto waited = Clock::now() - t0;
    other.join();
    EXPECT_LT(waited, std::chrono::seconds(5)); // woken, not timed out
    // A closed descriptor is no longer a descriptor: the kernel answers POLLNVAL.
    EXPECT_EQ(got, GetParam() == Action::Close ? POLLNVAL : POLLIN);
}

std::string action_name(const ::testing::TestParamInfo<Action> &i) {
    static const char *const names[] = {"advance", "cancel", "close"};
    return names[int(i.param)];
}
INSTANTIATE_TEST_SUITE_P(, EmuPollWakes, ::testing::Values(Action::Advance, Action::Cancel, Action::Close),
                         action_name);

class EmuWait : public EmuPoll, public ::testing::WithParamInterface<Api> {};

TEST_P(EmuWait, RealtimeWaitEndsWhenTheFirstSampleIsConverted) {
    comedi_t *d = start(2, 400000000); // the first sample is converted 400 ms after the start
    ASSERT_NE(d, nullptr);
    const int fd = comedi_fileno(d);
    uint64_t first = 0;
    ASSERT_EQ(emu_sample_time_ns(EMU_BOARD_MULTI, 0, 0, &first), 0);
    EXPECT_TRUE(wait_readable(GetParam(), {fd}, 10).empty());
    EXPECT_LT(emu_now_ns(), first);
    EXPECT_EQ(wait_readable(GetParam(), {fd}, 5000), std::vector<int>{fd});
    const uint64_t woke = emu_now_ns();
    EXPECT_GE(woke, first);
    EXPECT_LT(woke, first + 1000000000ull);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 2);
}

TEST_P(EmuWait, ManualClockWaitWakesWhenAnotherThreadAdvances) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start(0);
    ASSERT_NE(d, nullptr);
    const int fd = comedi_fileno(d);
    EXPECT_TRUE(wait_readable(GetParam(), {fd}, 20).empty()); // the clock does not move by itself
    std::thread ticker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        emu_advance_scans(EMU_BOARD_MULTI, 2);
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(wait_readable(GetParam(), {fd}, 10000), std::vector<int>{fd});
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)); // woken, not timed out
    ticker.join();
    EXPECT_EQ(read_some(d), 4);
}

TEST_P(EmuWait, RealDescriptorsKeepTheirReadinessInAMixedSet) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start(0);
    ASSERT_NE(d, nullptr);
    const int fd = comedi_fileno(d);
    const int ev = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(ev, 0);
    EXPECT_TRUE(wait_readable(GetParam(), {fd, ev}, 20).empty());
    std::thread waker([ev] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        uint64_t one = 1;
        EXPECT_EQ(write(ev, &one, sizeof one), ssize_t(sizeof one));
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(wait_readable(GetParam(), {fd, ev}, 10000), std::vector<int>{ev});
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    waker.join();
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 1), 0);
    EXPECT_EQ(wait_readable(GetParam(), {fd, ev}, 0), (std::vector<int>{fd, ev}));
    uint64_t v;
    ASSERT_EQ(read(ev, &v, sizeof v), ssize_t(sizeof v));
    EXPECT_EQ(wait_readable(GetParam(), {fd, ev}, 0), std::vector<int>{fd});
    EXPECT_EQ(::close(ev), 0);
}

std::string api_name(const ::testing::TestParamInfo<Api> &i) {
    static const char *const names[] = {"poll", "ppoll", "select", "pselect"};
    return names[int(i.param)];
}
INSTANTIATE_TEST_SUITE_P(, EmuWait, ::testing::Values(Api::Poll, Api::Ppoll, Api::Select, Api::Pselect), api_name);

} // namespace
