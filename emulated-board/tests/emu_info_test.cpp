// SPDX-License-Identifier: LGPL-2.1-or-later
// Opening and releasing files, and the information ioctls (DEVINFO, SUBDINFO, CHANINFO,
// RANGEINFO) that comedi_open sends; paths and request codes the interposer must recognise.
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

class EmuInfo : public Emu {};

TEST_F(EmuInfo, OpensEveryBoardAndCloseReleasesTheDescriptor) {
    struct { const char *path; int nsub; const char *board; } boards[] = {
        {EMU_BOARD_MULTI, 3, "emu-multi"},  {EMU_BOARD_AI18, 2, "emu-ai18"},   {EMU_BOARD_NOCMD, 2, "emu-nocmd"},
        {EMU_BOARD_DO_ONLY, 1, "emu-do16"}, {EMU_BOARD_DIO64, 1, "emu-dio64"}, {EMU_BOARD_COMEDI_TEST, 2, "comedi_test"},
        {EMU_BOARD_DI16, 1, "emu-di16"},   {EMU_BOARD_SOFTCAL, 3, "emu-softcal"}};
    for (auto &b : boards) {
        comedi_t *d = comedi_open(b.path);
        ASSERT_NE(d, nullptr) << b.path;
        EXPECT_EQ(comedi_get_n_subdevices(d), b.nsub) << b.path;
        EXPECT_STREQ(comedi_get_board_name(d), b.board);
        EXPECT_EQ(comedi_get_version_code(d), 0x00074c);
        int fd = comedi_fileno(d);
        EXPECT_GE(fcntl(fd, F_GETFD), 0);
        EXPECT_EQ(emu_open_count(), 1);
        EXPECT_EQ(comedi_close(d), 0);
        EXPECT_EQ(emu_open_count(), 0);
        errno = 0;
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

TEST_F(EmuInfo, TwoHandlesOnOneBoardGetDistinctDescriptors) {
    comedi_t *a = open(EMU_BOARD_MULTI);
    comedi_t *b = open(EMU_BOARD_MULTI);
    ASSERT_TRUE(a && b);
    EXPECT_NE(comedi_fileno(a), comedi_fileno(b));
    EXPECT_EQ(emu_open_count(), 2);
}

TEST_F(EmuInfo, DriverAndSubdeviceDescriptionOfMulti) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(comedi_get_driver_name(d), "vorn_emu");
    EXPECT_EQ(comedi_get_subdevice_type(d, 0), COMEDI_SUBD_AI);
    EXPECT_EQ(comedi_get_subdevice_type(d, 1), COMEDI_SUBD_AO);
    EXPECT_EQ(comedi_get_subdevice_type(d, 2), COMEDI_SUBD_DIO);
    EXPECT_EQ(comedi_get_n_channels(d, 0), 16);
    EXPECT_EQ(comedi_get_n_channels(d, 1), 2);
    EXPECT_EQ(comedi_get_n_channels(d, 2), 24);
    int fl = comedi_get_subdevice_flags(d, 0);
    unsigned want = SDF_CMD | SDF_CMD_READ | SDF_READABLE | SDF_GROUND | SDF_COMMON | SDF_DIFF;
    EXPECT_EQ(unsigned(fl) & want, want);
    EXPECT_EQ(unsigned(fl) & (SDF_BUSY | SDF_RUNNING | SDF_LSAMPL), 0u);
    EXPECT_EQ(comedi_get_read_subdevice(d), 0);
    EXPECT_EQ(comedi_get_write_subdevice(d), 1);
    EXPECT_EQ(unsigned(comedi_get_subdevice_flags(d, 1)) & (SDF_CMD | SDF_CMD_WRITE), unsigned(SDF_CMD | SDF_CMD_WRITE));
    EXPECT_EQ(comedi_find_subdevice_by_type(d, COMEDI_SUBD_DIO, 0), 2);
}

TEST_F(EmuInfo, RangesMaxdataAndFindRange) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(comedi_get_maxdata(d, 0, 0), 65535u);
    EXPECT_EQ(comedi_get_maxdata(d, 1, 1), 65535u);
    EXPECT_EQ(comedi_get_maxdata(d, 2, 23), 1u);
    ASSERT_EQ(comedi_get_n_ranges(d, 0, 0), 5);
    for (int r = 0; r < 5; ++r) {
        comedi_range *rg = comedi_get_range(d, 0, 3, r);
        ASSERT_NE(rg, nullptr);
        EXPECT_DOUBLE_EQ(rg->min, kRanges[r][0]);
        EXPECT_DOUBLE_EQ(rg->max, kRanges[r][1]);
        EXPECT_EQ(rg->unit, unsigned(UNIT_volt));
    }
    EXPECT_EQ(comedi_get_range(d, 0, 0, 5), nullptr);
    ASSERT_EQ(comedi_get_n_ranges(d, 1, 0), 2);
    EXPECT_DOUBLE_EQ(comedi_get_range(d, 1, 0, 1)->max, 10.0);
    EXPECT_DOUBLE_EQ(comedi_get_range(d, 1, 0, 1)->min, 0.0);

    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_volt, -10, 10), 0);
    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_volt, -5, 5), 1);
    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_volt, -0.5, 0.5), 2);
    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_volt, 0, 3), 4);
    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_volt, 0, 7), 3);
    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_volt, -6, 1), 0);
    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_volt, -11, 11), -1);
    EXPECT_EQ(comedi_find_range(d, 0, 0, UNIT_mA, 0, 1), -1);

    comedi_t *a18 = open(EMU_BOARD_AI18);
    ASSERT_NE(a18, nullptr);
    EXPECT_EQ(comedi_get_maxdata(a18, 0, 0), 262143u);
    EXPECT_TRUE(comedi_get_subdevice_flags(a18, 0) & SDF_LSAMPL);
}

TEST_F(EmuInfo, UnownedPathsReachTheRealFileSystem) {
    char path[] = "/tmp/vornemu-passthroughXXXXXX";
    int w = mkstemp(path);
    ASSERT_GE(w, 0);
    ASSERT_EQ(write(w, "hello", 5), 5);
    ASSERT_EQ(::close(w), 0);
    int fd = ::open(path, O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(::close(fd), 0);
    fd = openat(AT_FDCWD, path, O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::close(fd), 0);
    unlink(path);
    errno = 0;
    EXPECT_EQ(::open("/dev/comedi-emu/no-such-board", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(comedi_open("/dev/comedi-emu/no-such-board"), nullptr);
    EXPECT_EQ(comedi_errno(), ENOENT);
    EXPECT_EQ(emu_open_count(), 0);
    // ioctl on an ordinary descriptor still goes to the kernel.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int avail = -1;
    EXPECT_EQ(ioctl(p[0], FIONREAD, &avail), 0);
    EXPECT_EQ(avail, 0);
    ::close(p[0]);
    ::close(p[1]);
}

TEST_F(EmuInfo, RequestCodesAreComparedOnTheirLow32Bits) {
    int fd = ::open(EMU_BOARD_MULTI, O_RDWR);
    ASSERT_GE(fd, 0);
    comedi_devinfo di;
    unsigned long sign_extended = (unsigned long)(long)(int)COMEDI_DEVINFO;
    ASSERT_NE(sign_extended, (unsigned long)COMEDI_DEVINFO);
    ASSERT_EQ(ioctl(fd, sign_extended, &di), 0);
    EXPECT_EQ(di.n_subdevs, 3u);
    EXPECT_EQ(di.read_subdevice, 0);
    errno = 0;
    EXPECT_EQ(ioctl(fd, 0x6404, nullptr), -1); // the obsolete TRIG
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(::close(fd), 0);
    EXPECT_EQ(emu_open_count(), 0);
}

// Run by ctest with VORN_EMU_MAP naming /dev/comedi-emu-test/mapped0 as the ai18 board.
TEST_F(EmuInfo, MappedPathReachesItsBoard) {
    const char *map = getenv("VORN_EMU_MAP");
    if (!map || !strstr(map, "/dev/comedi-emu-test/mapped0=ai18")) GTEST_SKIP() << "needs VORN_EMU_MAP";
    comedi_t *d = open("/dev/comedi-emu-test/mapped0");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(comedi_get_board_name(d), "emu-ai18");
    EXPECT_EQ(comedi_get_maxdata(d, 0, 0), 262143u);
    EXPECT_EQ(emu_open_count(), 1);
}

// Run with copies 1 (at two paths) and 2 of multi mapped: each copy streams beside multi itself
// and beside the other, and two paths of one copy reach the one board.
TEST_F(EmuInfo, CopiesAreBoardsOfTheirOwn) {
    const char *map = getenv("VORN_EMU_MAP");
    if (!map || !strstr(map, "/dev/comedi-emu-test/copy2=multi#2")) GTEST_SKIP() << "needs VORN_EMU_MAP";
    const char *paths[] = {EMU_BOARD_MULTI, "/dev/comedi-emu-test/copy1", "/dev/comedi-emu-test/copy2"};
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    for (const char *path : paths) {
        comedi_t *d = open(path);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(comedi_get_board_name(d), "emu-multi");
        comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_NONE, 0);
        EXPECT_EQ(comedi_command(d, &c), 0) << path << " is busy with another board's command";
    }
    comedi_t *same = open("/dev/comedi-emu-test/copy1b");
    ASSERT_NE(same, nullptr);
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_NONE, 0);
    errno = 0;
    EXPECT_EQ(comedi_command(same, &c), -1);
    EXPECT_EQ(comedi_errno(), EBUSY) << "copy1b is copy 1";
    EXPECT_EQ(emu_subdevice_running("/dev/comedi-emu-test/copy2", 0), 1);
}

} // namespace
