// SPDX-License-Identifier: LGPL-2.1-or-later
// Command tests and commands (CMDTEST, CMD, CANCEL): stages, corrections, busy rules, and the
// comedi_test driver's own tests and quirks.
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

class EmuCmd : public Emu {};

TEST_F(EmuCmd, NocmdBoardReadsButRefusesCommands) {
    comedi_t *d = open(EMU_BOARD_NOCMD);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(comedi_get_subdevice_flags(d, 0) & SDF_CMD, 0);
    lsampl_t v;
    ASSERT_EQ(comedi_data_read(d, 0, 1, 0, AREF_GROUND, &v), 1);
    EXPECT_EQ(v, adc(1.0, -10, 10, 65535));
    unsigned cl[1] = {CR_PACK(0, 0, AREF_GROUND)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_COUNT, 1);
    EXPECT_EQ(comedi_command_test(d, &c), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_ECMDNOTSUPP);
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_ECMDNOTSUPP);
    EXPECT_STREQ(comedi_strerror(comedi_errno()), "Command not supported");
}

TEST_F(EmuCmd, CommandTestStagesAndCorrections) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[3] = {CR_PACK(0, 0, AREF_GROUND), CR_PACK(1, 0, AREF_GROUND), CR_PACK(2, 0, AREF_DIFF)};

    comedi_cmd c = timed_cmd(0, cl, 3, 1000000, 10000, TRIG_COUNT, 10);
    c.start_src = TRIG_NOW | TRIG_EXT;
    EXPECT_EQ(comedi_command_test(d, &c), 1);
    EXPECT_EQ(c.start_src, unsigned(TRIG_NOW));

    c = timed_cmd(0, cl, 3, 1000000, 10000, TRIG_COUNT, 10);
    c.scan_begin_src = TRIG_TIMER | TRIG_FOLLOW;
    EXPECT_EQ(comedi_command_test(d, &c), 2);
    c = timed_cmd(0, cl, 3, 0, 0, TRIG_COUNT, 10);
    c.scan_begin_src = TRIG_FOLLOW;
    c.convert_src = TRIG_NOW;
    EXPECT_EQ(comedi_command_test(d, &c), 2);

    c = timed_cmd(0, cl, 3, 1000000, 10, TRIG_COUNT, 0);
    c.scan_end_arg = 7;
    EXPECT_EQ(comedi_command_test(d, &c), 3);
    EXPECT_EQ(c.convert_arg, 1000u);
    EXPECT_EQ(c.scan_end_arg, 3u);
    EXPECT_EQ(c.stop_arg, 1u);

    // Timers are whole microseconds, rounded to nearest by default.
    c = timed_cmd(0, cl, 3, 1000400, 1499, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), 4);
    EXPECT_EQ(c.convert_arg, 1000u);
    EXPECT_EQ(c.scan_begin_arg, 1000000u);
    c = timed_cmd(0, cl, 3, 1000000, 1500, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), 4);
    EXPECT_EQ(c.convert_arg, 2000u);
    c = timed_cmd(0, cl, 3, 1000000, 1001, TRIG_COUNT, 10);
    c.flags = CMDF_ROUND_UP;
    EXPECT_EQ(comedi_command_test(d, &c), 4);
    EXPECT_EQ(c.convert_arg, 2000u);
    // A scan period too short for its conversions is raised to convert_arg x n.
    c = timed_cmd(0, cl, 3, 5000, 4000, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), 4);
    EXPECT_EQ(c.scan_begin_arg, 12000u);
    EXPECT_EQ(comedi_command_test(d, &c), 0);

    // Differential only pairs channels 0..7 with 8..15.
    unsigned bad[2] = {CR_PACK(9, 0, AREF_DIFF), CR_PACK(1, 0, AREF_GROUND)};
    c = timed_cmd(0, bad, 2, 1000000, 10000, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), 5);
    // The core checks channel and range numbers itself.
    unsigned worse[1] = {CR_PACK(16, 0, AREF_GROUND)};
    c = timed_cmd(0, worse, 1, 1000000, 10000, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
    // A chanlist longer than the board's is refused before the driver sees it.
    std::vector<unsigned> longlist(257, CR_PACK(0, 0, 0));
    c = timed_cmd(0, longlist.data(), 257, 100000000, 10000, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
    c = timed_cmd(7, cl, 3, 1000000, 10000, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), -1);
    EXPECT_EQ(comedi_errno(), ENODEV);
    comedi_t *ai18 = open(EMU_BOARD_AI18); // its analog output has no commands
    ASSERT_NE(ai18, nullptr);
    c = timed_cmd(1, cl, 3, 1000000, 10000, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(ai18, &c), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_ECMDNOTSUPP);
}

TEST_F(EmuCmd, GenericTimedCommandIsAccepted) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    comedi_cmd c;
    memset(&c, 0, sizeof c);
    ASSERT_EQ(comedi_get_cmd_generic_timed(d, 0, &c, 4, 1000000), 0);
    EXPECT_EQ(c.start_src, unsigned(TRIG_NOW));
    EXPECT_EQ(c.scan_end_arg, 4u);
    unsigned src = 0;
    comedi_cmd mask;
    memset(&mask, 0, sizeof mask);
    ASSERT_EQ(comedi_get_cmd_src_mask(d, 0, &mask), 0);
    src = mask.convert_src;
    EXPECT_EQ(src, unsigned(TRIG_TIMER | TRIG_NOW));
}

TEST_F(EmuCmd, CancelAndBusyRules) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    comedi_t *other = open(EMU_BOARD_MULTI);
    ASSERT_TRUE(d && other);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 1);
    lsampl_t v;
    EXPECT_EQ(comedi_data_read(d, 0, 0, 0, 0, &v), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    EXPECT_EQ(comedi_command(other, &c), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    // Another file cannot cancel it, nor look at its buffer.
    EXPECT_EQ(comedi_cancel(other, 0), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    EXPECT_EQ(comedi_get_buffer_contents(other, 0), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
    // Other subdevices keep working.
    EXPECT_EQ(comedi_data_write(d, 1, 0, 0, 0, 100), 1);
    int fl = comedi_get_subdevice_flags(other, 0);
    EXPECT_TRUE(fl & SDF_BUSY);
    EXPECT_FALSE(fl & SDF_BUSY_OWNER);
    EXPECT_TRUE(comedi_get_subdevice_flags(d, 0) & SDF_BUSY_OWNER);
    ASSERT_EQ(comedi_cancel(d, 0), 0);
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
    EXPECT_EQ(comedi_cancel(d, 0), 0); // nothing to cancel is fine
    EXPECT_EQ(comedi_data_read(d, 0, 0, 0, 0, &v), 1);
    uint8_t b[2];
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), b, 2), -1);
    EXPECT_EQ(errno, EINVAL);

    // A finished command that nobody reaped still holds the subdevice.
    c = timed_cmd(0, cl, 1, 1000, 1000, TRIG_COUNT, 2);
    ASSERT_EQ(comedi_command(d, &c), 0);
    emu_advance_ns(10000);
    EXPECT_EQ(emu_subdevice_running(EMU_BOARD_MULTI, 0), 0);
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 4);
    uint8_t buf[8];
    EXPECT_EQ(read(comedi_fileno(d), buf, 8), 4);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 0); // drained and stopped: reaped
    EXPECT_EQ(comedi_command(d, &c), 0);
}

TEST_F(EmuCmd, ClosingCancelsTheCommand) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start_one_channel(0, 1000000, 1000, TRIG_NONE, 0);
    ASSERT_NE(d, nullptr);
    close(d);
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
    comedi_t *e = open(EMU_BOARD_MULTI);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(comedi_command(e, &cmd_), 0);
}

TEST_F(EmuCmd, CommandWithBogusFlagOrUncorrectedArgumentsIsRefused) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1499, TRIG_COUNT, 1);
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EAGAIN);
    EXPECT_EQ(c.convert_arg, 1000u); // copied back corrected
    c.flags = CMDF_BOGUS;
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EAGAIN);
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
    c.chanlist_len = 0;
    c.flags = 0;
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
}

TEST_F(EmuCmd, ComediTestBoardQuirks) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_COMEDI_TEST);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(comedi_get_driver_name(d), "comedi_test");
    EXPECT_EQ(comedi_get_subdevice_flags(d, 0), 0x00119000);
    EXPECT_EQ(comedi_get_subdevice_flags(d, 1), 0x00125000);
    EXPECT_EQ(comedi_find_subdevice_by_type(d, COMEDI_SUBD_DIO, 0), -1);
    EXPECT_EQ(comedi_get_write_subdevice(d), 1);
    // Instruction reads give the AO loopback value, not the waveform.
    lsampl_t v;
    ASSERT_EQ(comedi_data_read(d, 0, 0, 0, 0, &v), 1);
    EXPECT_EQ(v, 32767u);
    ASSERT_EQ(comedi_data_write(d, 1, 3, 0, 0, 1234), 1);
    ASSERT_EQ(comedi_data_read(d, 0, 3, 0, 0, &v), 1);
    EXPECT_EQ(v, 1234u);
    ASSERT_EQ(comedi_data_read(d, 1, 3, 1, 0, &v), 1);
    EXPECT_EQ(v, 1234u);
    EXPECT_EQ(comedi_data_write(d, 0, 0, 0, 0, 5), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
    EXPECT_EQ(comedi_poll(d, 0), 0); // idle

    unsigned cl[2] = {CR_PACK(0, 0, 0), CR_PACK(1, 1, 0)};
    comedi_cmd c = timed_cmd(0, cl, 2, 0, 1499, TRIG_COUNT, 100);
    c.scan_begin_src = TRIG_FOLLOW;
    c.scan_begin_arg = 0;
    EXPECT_EQ(comedi_command_test(d, &c), 4);
    EXPECT_EQ(c.convert_arg, 1000u);
    c.scan_begin_src = TRIG_TIMER;
    c.scan_begin_arg = 1500;
    c.convert_arg = 1000;
    EXPECT_EQ(comedi_command_test(d, &c), 4);
    EXPECT_EQ(c.scan_begin_arg, 2000u);
    c.start_src = TRIG_INT;
    EXPECT_EQ(comedi_command_test(d, &c), 1);
    c.start_src = TRIG_NOW;
    c.flags = CMDF_PRIORITY;
    c.scan_begin_arg = 1000000;
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EPERM);

    c = timed_cmd(0, cl, 2, 1000, 0, TRIG_COUNT, 100);
    c.scan_begin_src = TRIG_FOLLOW;
    c.scan_begin_arg = 0;
    c.convert_arg = 1000; // 1 us per sample
    ASSERT_EQ(comedi_command_test(d, &c), 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    EXPECT_EQ(comedi_poll(d, 0), -1); // no poll handler in that driver
    EXPECT_EQ(comedi_errno(), EINVAL);
    emu_advance_ns(200 * 1000);
    int fd = comedi_fileno(d);
    std::vector<uint8_t> bytes(400);
    ASSERT_EQ(read(fd, bytes.data(), bytes.size()), 400);
    auto s = samples16(bytes);
    // Clock at 0 when the command started: phase 0. Sawtooth on +-10 V, square on +-5 V.
    const unsigned binamp10 = 3276, binamp5 = 6553;
    for (unsigned k = 0; k < 200; ++k) {
        uint64_t t_us = k; // waveform time advances one convert period per sample
        if (k % 2 == 0) {
            unsigned want = unsigned(t_us * binamp10 * 2 / 100000 + 32767 - binamp10);
            ASSERT_EQ(s[k], want) << k;
        } else {
            ASSERT_EQ(s[k], 32767u - binamp5) << k;
        }
        uint64_t wf;
        ASSERT_EQ(emu_sample_time_ns(EMU_BOARD_COMEDI_TEST, 0, k, &wf), 0);
        ASSERT_EQ((long long)s[k], emu_expected_raw(EMU_BOARD_COMEDI_TEST, k % 2, k % 2, wf, k));
    }
    EXPECT_EQ(read(fd, bytes.data(), 2), 0);
}

TEST_F(EmuCmd, ComediTestSquareWaveSecondHalf) {
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 1, 0, 60000000ull, 0), 32767 + 3276);
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 1, 0, 10000000ull, 0), 32767 - 3276);
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 2, 0, 10000000ull, 0), 32767);
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 0, 0, 99999000ull, 0), 32767 + 3276 - 1);
}

} // namespace
