// SPDX-License-Identifier: LGPL-2.1-or-later
// Injected faults: every operation can be made to fail once, always, on its nth call, or part
// way through an instruction list; forced command-test stages.
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

class EmuFault : public Emu {};

TEST_F(EmuFault, OpenAndOpenTimeIoctlFaultsFailComediOpen) {
    struct { int op; int err; } cases[] = {{EMU_OP_OPEN, EACCES},   {EMU_OP_DEVINFO, EIO},   {EMU_OP_SUBDINFO, ENOMEM},
                                           {EMU_OP_CHANINFO, EFAULT}, {EMU_OP_RANGEINFO, EINVAL}};
    for (auto &c : cases) {
        ASSERT_EQ(emu_fail_next(c.op, c.err), 0);
        testing::internal::CaptureStderr(); // comedilib reports some of these itself
        comedi_t *d = comedi_open(EMU_BOARD_MULTI);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(d, nullptr) << emu_op_name(c.op);
        EXPECT_EQ(comedi_errno(), c.err) << emu_op_name(c.op);
        EXPECT_STREQ(comedi_strerror(comedi_errno()), strerror(c.err));
        EXPECT_EQ(emu_open_count(), 0) << "comedi_open must close after a failed probe";
        comedi_t *ok = comedi_open(EMU_BOARD_MULTI); // one-shot: the next works
        ASSERT_NE(ok, nullptr);
        comedi_close(ok);
    }
}

TEST_F(EmuFault, EveryIoctlFaultReachesTheCaller) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    lsampl_t v;
    emu_fail_next(EMU_OP_INSN, ETIMEDOUT);
    EXPECT_EQ(comedi_data_read(d, 0, 1, 0, 0, &v), -1);
    EXPECT_EQ(comedi_errno(), ETIMEDOUT);
    EXPECT_EQ(comedi_data_read(d, 0, 1, 0, 0, &v), 1);

    emu_fail_next(EMU_OP_SUBDINFO, EIO);
    EXPECT_EQ(comedi_get_subdevice_flags(d, 0), -1);
    EXPECT_EQ(comedi_errno(), EIO);
    EXPECT_STREQ(comedi_strerror(comedi_errno()), "Input/output error");

    lsampl_t data[2];
    comedi_insn in[1];
    memset(in, 0, sizeof in);
    in[0].insn = INSN_READ;
    in[0].n = 1;
    in[0].data = data;
    in[0].chanspec = CR_PACK(1, 0, 0);
    comedi_insnlist il = {1, in};
    emu_fail_next(EMU_OP_INSNLIST, EAGAIN);
    EXPECT_EQ(comedi_do_insnlist(d, &il), -1);
    EXPECT_EQ(comedi_errno(), EAGAIN);
    EXPECT_EQ(comedi_do_insnlist(d, &il), 1);

    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_NONE, 0);
    emu_fail_next(EMU_OP_CMDTEST, ENOMEM);
    EXPECT_EQ(comedi_command_test(d, &c), -1);
    EXPECT_EQ(comedi_errno(), ENOMEM);
    emu_fail_next(EMU_OP_CMD, EIO);
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_ECMDNOTSUPP); // comedilib's remap of EIO
    emu_fail_next(EMU_OP_CMD, EBUSY);
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    ASSERT_EQ(comedi_command(d, &c), 0);
    emu_fail_next(EMU_OP_POLL, EFAULT);
    EXPECT_EQ(comedi_poll(d, 0), -1);
    EXPECT_EQ(comedi_errno(), EFAULT);
    emu_fail_next(EMU_OP_BUFINFO, EPIPE);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_EBUF_OVR);
    emu_fail_next(EMU_OP_READ, EINTR);
    uint8_t b[4];
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), b, 4), -1);
    EXPECT_EQ(errno, EINTR);
    emu_fail_next(EMU_OP_CANCEL, EINVAL);
    EXPECT_EQ(comedi_cancel(d, 0), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 1);
    EXPECT_EQ(comedi_cancel(d, 0), 0);
}

TEST_F(EmuFault, PersistentFaultsLastUntilCleared) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    lsampl_t v;
    ASSERT_EQ(emu_fail_always(emu_op_from_name("INSN"), ENODEV), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(comedi_data_read(d, 0, 0, 0, 0, &v), -1);
        EXPECT_EQ(comedi_errno(), ENODEV);
    }
    emu_clear_faults();
    EXPECT_EQ(comedi_data_read(d, 0, 0, 0, 0, &v), 1);
}

TEST_F(EmuFault, NthCallFaultLetsTheEarlierCallsThrough) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    lsampl_t v;
    EXPECT_EQ(emu_fail_nth(EMU_OP_INSN, 0, EIO), -1);
    ASSERT_EQ(emu_fail_nth(EMU_OP_INSN, 3, EIO), 0);
    EXPECT_EQ(comedi_data_read(d, 0, 1, 0, 0, &v), 1);
    EXPECT_EQ(comedi_data_read(d, 0, 1, 0, 0, &v), 1);
    EXPECT_EQ(comedi_data_read(d, 0, 1, 0, 0, &v), -1);
    EXPECT_EQ(comedi_errno(), EIO);
    EXPECT_EQ(comedi_data_read(d, 0, 1, 0, 0, &v), 1);
}

TEST_F(EmuFault, InsnlistFailsAfterKInstructions) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    lsampl_t data[3][1] = {{99}, {99}, {99}};
    comedi_insn in[3];
    memset(in, 0, sizeof in);
    for (int i = 0; i < 3; ++i) {
        in[i].insn = INSN_READ;
        in[i].n = 1;
        in[i].data = data[i];
        in[i].chanspec = CR_PACK(7, 0, 0);
    }
    comedi_insnlist il = {3, in};
    ASSERT_EQ(emu_fail_insnlist_after(2, EIO), 0);
    EXPECT_EQ(comedi_do_insnlist(d, &il), -1);
    EXPECT_EQ(comedi_errno(), EIO);
    EXPECT_EQ(data[0][0], 0u); // the first two ran and copied out
    EXPECT_EQ(data[1][0], 1u);
    EXPECT_EQ(data[2][0], 99u);
    EXPECT_EQ(comedi_do_insnlist(d, &il), 3);
    EXPECT_EQ(data[2][0], 4u);
    // A real failure inside a list: an out-of-range write.
    in[1].insn = INSN_WRITE;
    in[1].subdev = 1;
    in[1].chanspec = CR_PACK(0, 0, 0);
    data[1][0] = 70000;
    EXPECT_EQ(comedi_do_insnlist(d, &il), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
}

TEST_F(EmuFault, ForcedCommandTestStages) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_COUNT, 1);
    ASSERT_EQ(emu_force_cmdtest_stage(1, 3), 0);
    ASSERT_EQ(emu_force_cmdtest_stage(2, 5), 0);
    EXPECT_EQ(comedi_command_test(d, &c), 3);
    EXPECT_EQ(comedi_command_test(d, &c), 5);
    EXPECT_EQ(comedi_command_test(d, &c), 0);
}

} // namespace
