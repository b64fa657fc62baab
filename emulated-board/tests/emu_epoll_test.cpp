// SPDX-License-Identifier: LGPL-2.1-or-later
// epoll on emulated descriptors next to real ones: interest lists, readiness by the board's
// clock, wake-ups from other threads, EPOLLONESHOT, and close leaving the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>

#include "emu_test_support.h"

using namespace emutest;

namespace {

class EmuEpoll : public Emu {
protected:
    void SetUp() override {
        Emu::SetUp();
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        ASSERT_GE(ep_, 0);
        ev_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ASSERT_GE(ev_, 0);
        add(ev_, 1);
    }
    void TearDown() override {
        ::close(ev_);
        ::close(ep_);
        Emu::TearDown();
    }
    int add(int fd, uint64_t tag, uint32_t events = EPOLLIN) {
        epoll_event e = {};
        e.events = events;
        e.data.u64 = tag;
        return epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
    }
    // The tags reported by one epoll_wait, in the order given.
    std::vector<uint64_t> wait(int timeout_ms) {
        epoll_event out[8];
        int n = epoll_wait(ep_, out, 8, timeout_ms);
        EXPECT_GE(n, 0) << strerror(errno);
        std::vector<uint64_t> tags;
        for (int i = 0; i < n; ++i) tags.push_back(out[i].data.u64);
        std::sort(tags.begin(), tags.end());
        return tags;
    }
    void signal_eventfd() {
        uint64_t one = 1;
        ASSERT_EQ(write(ev_, &one, sizeof one), ssize_t(sizeof one));
    }
    comedi_t *start() {
        comedi_t *d = open(EMU_BOARD_MULTI);
        static unsigned cl[1] = {CR_PACK(0, 0, 0)};
        comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_NONE, 0);
        EXPECT_EQ(comedi_command(d, &c), 0);
        return d;
    }
    int ep_ = -1, ev_ = -1;
};

TEST_F(EmuEpoll, EmulatedAndRealDescriptorsReportInOneWait) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start();
    const int fd = comedi_fileno(d);
    ASSERT_EQ(add(fd, 2), 0);
    EXPECT_EQ(add(fd, 2), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(wait(0).empty());
    signal_eventfd();
    EXPECT_EQ(wait(0), std::vector<uint64_t>{1});
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 1), 0);
    EXPECT_EQ(wait(0), (std::vector<uint64_t>{1, 2}));
    ASSERT_EQ(epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr), 0);
    EXPECT_EQ(epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(wait(0), std::vector<uint64_t>{1});
}

TEST_F(EmuEpoll, BlockedWaitWakesWhenAnotherThreadAdvancesTheClock) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start();
    ASSERT_EQ(add(comedi_fileno(d), 2), 0);
    std::thread ticker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        emu_advance_scans(EMU_BOARD_MULTI, 1);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(10000), std::vector<uint64_t>{2});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    ticker.join();
}

TEST_F(EmuEpoll, RealtimeWaitEndsWhenTheFirstSampleIsConverted) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 300000000, 1000, TRIG_COUNT, 1);
    ASSERT_EQ(comedi_command(d, &c), 0);
    ASSERT_EQ(add(comedi_fileno(d), 2), 0);
    uint64_t first = 0;
    ASSERT_EQ(emu_sample_time_ns(EMU_BOARD_MULTI, 0, 0, &first), 0);
    EXPECT_EQ(wait(5000), std::vector<uint64_t>{2});
    EXPECT_GE(emu_now_ns(), first);
}

TEST_F(EmuEpoll, OneShotFiresOnceAndCloseLeavesTheList) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start();
    const int fd = comedi_fileno(d);
    ASSERT_EQ(add(fd, 2, EPOLLIN | EPOLLONESHOT), 0);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 1), 0);
    EXPECT_EQ(wait(0), std::vector<uint64_t>{2});
    EXPECT_TRUE(wait(0).empty());
    epoll_event e = {};
    e.events = EPOLLIN;
    e.data.u64 = 3;
    ASSERT_EQ(epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &e), 0);
    EXPECT_EQ(wait(0), std::vector<uint64_t>{3});
    close(d); // the kernel drops a closed file from every interest list
    EXPECT_TRUE(wait(0).empty());
}

} // namespace
