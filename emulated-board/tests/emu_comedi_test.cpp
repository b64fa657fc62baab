// The emulated boards seen through comedilib's public API only; the emu_* calls steer the clock
// and faults and inspect outputs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include <comedilib.h>

#include "emuboard.h"
#include "emu_test_support.h"

using namespace emutest;

namespace {

// ---- open / close ------------------------------------------------------------------------

TEST_F(Emu, OpensEveryBoardAndCloseReleasesTheDescriptor) {
    struct { const char *path; int nsub; const char *board; } boards[] = {
        {EMU_BOARD_MULTI, 3, "emu-multi"},  {EMU_BOARD_AI18, 2, "emu-ai18"},   {EMU_BOARD_NOCMD, 2, "emu-nocmd"},
        {EMU_BOARD_DO_ONLY, 1, "emu-do16"}, {EMU_BOARD_DIO64, 1, "emu-dio64"}, {EMU_BOARD_COMEDI_TEST, 2, "comedi_test"},
        {EMU_BOARD_DI16, 1, "emu-di16"}};
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

TEST_F(Emu, TwoHandlesOnOneBoardGetDistinctDescriptors) {
    comedi_t *a = open(EMU_BOARD_MULTI);
    comedi_t *b = open(EMU_BOARD_MULTI);
    ASSERT_TRUE(a && b);
    EXPECT_NE(comedi_fileno(a), comedi_fileno(b));
    EXPECT_EQ(emu_open_count(), 2);
}

TEST_F(Emu, DriverAndSubdeviceDescriptionOfMulti) {
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
    EXPECT_EQ(comedi_get_write_subdevice(d), -1);
    EXPECT_EQ(comedi_find_subdevice_by_type(d, COMEDI_SUBD_DIO, 0), 2);
}

// ---- ranges ------------------------------------------------------------------------------

TEST_F(Emu, RangesMaxdataAndFindRange) {
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

// ---- instruction reads -------------------------------------------------------------------

TEST_F(Emu, InstructionReadsOfTheDocumentedSignals) {
    ASSERT_EQ(emu_set_clock(EMU_CLOCK_MANUAL), 0);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    const double dc[16] = {0.0, 1.0, -2.5, 4.0, 0, 0, 0, 0, 9.0, -9.0, 0.5, -0.5, 3.3, -7.0, 0, 0};
    for (unsigned ch : {0u, 1u, 2u, 3u, 8u, 9u, 10u, 11u, 12u, 13u}) {
        for (unsigned r = 0; r < 5; ++r) {
            lsampl_t v = 0;
            ASSERT_EQ(comedi_data_read(d, 0, ch, r, AREF_GROUND, &v), 1);
            EXPECT_EQ(v, adc(dc[ch], kRanges[r][0], kRanges[r][1], 65535)) << "ch" << ch << " r" << r;
        }
    }
    lsampl_t v;
    // t = 0: sine at 0 V, square high, sawtooth at its bottom.
    comedi_data_read(d, 0, 4, 0, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(0.0, -10, 10, 65535));
    comedi_data_read(d, 0, 5, 0, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(3.0, -10, 10, 65535));
    comedi_data_read(d, 0, 6, 1, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(-4.0, -5, 5, 65535));
    ASSERT_EQ(emu_advance_ns(25000000), 0); // a quarter of the sine's period
    comedi_data_read(d, 0, 4, 1, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(2.0, -5, 5, 65535));
    ASSERT_EQ(emu_advance_ns(125000000), 0); // t = 150 ms: square low, sawtooth at -1.6 V
    comedi_data_read(d, 0, 5, 0, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(-3.0, -10, 10, 65535));
    comedi_data_read(d, 0, 6, 0, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(-4.0 + 8.0 * 0.3, -10, 10, 65535));
    EXPECT_EQ((long long)v, emu_expected_raw(EMU_BOARD_MULTI, 6, 0, 150000000, 0));
    // The counter counts instruction reads of channel 7.
    for (unsigned i = 0; i < 5; ++i) {
        ASSERT_EQ(comedi_data_read(d, 0, 7, 0, AREF_GROUND, &v), 1);
        EXPECT_EQ(v, i);
    }
    // Out of range voltages clamp: +9 V on 0..5 V.
    comedi_data_read(d, 0, 8, 4, AREF_GROUND, &v);
    EXPECT_EQ(v, 65535u);
    comedi_data_read(d, 0, 9, 3, AREF_GROUND, &v);
    EXPECT_EQ(v, 0u);
    // Bad channel and range never reach the board with comedilib's own checks, or fail in it.
    EXPECT_EQ(comedi_data_read(d, 0, 16, 0, AREF_GROUND, &v), -1);
    EXPECT_EQ(comedi_data_read(d, 0, 0, 5, AREF_GROUND, &v), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
}

TEST_F(Emu, Ai18ReadsEighteenBitCodes) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_AI18);
    ASSERT_NE(d, nullptr);
    lsampl_t v;
    ASSERT_EQ(comedi_data_read(d, 0, 3, 0, AREF_GROUND, &v), 1);
    EXPECT_EQ(v, adc(4.0, -10, 10, 262143));
    ASSERT_EQ(comedi_data_read(d, 0, 13, 1, AREF_GROUND, &v), 1);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(comedi_data_read(d, 0, 12, 4, AREF_GROUND, &v), 1);
    EXPECT_EQ(v, adc(3.3, 0, 5, 262143));
}

TEST_F(Emu, NocmdBoardReadsButRefusesCommands) {
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

// ---- outputs -----------------------------------------------------------------------------

TEST_F(Emu, AnalogWritesLandOnTheOutputsAndLoopBack) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(emu_ao_raw(EMU_BOARD_MULTI, 0), 32768); // 0 V at power-on
    lsampl_t v;
    comedi_data_read(d, 0, 14, 0, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(0.0, -10, 10, 65535));
    ASSERT_EQ(comedi_data_write(d, 1, 0, 0, AREF_GROUND, 65535), 1);
    EXPECT_EQ(emu_ao_raw(EMU_BOARD_MULTI, 0), 65535);
    comedi_data_read(d, 0, 14, 0, AREF_GROUND, &v);
    EXPECT_EQ(v, 65535u);
    // AO1 on 0..10 V at code 16384: about 2.5 V, seen on AI15 in the ±5 V range.
    ASSERT_EQ(comedi_data_write(d, 1, 1, 1, AREF_GROUND, 16384), 1);
    EXPECT_EQ(emu_output_raw(EMU_BOARD_MULTI, 1, 1), 16384);
    comedi_data_read(d, 0, 15, 1, AREF_GROUND, &v);
    EXPECT_EQ(v, adc(16384.0 / 65535.0 * 10.0, -5, 5, 65535));
    // Readback of the output itself.
    ASSERT_EQ(comedi_data_read(d, 1, 1, 1, AREF_GROUND, &v), 1);
    EXPECT_EQ(v, 16384u);
    // A code above maxdata is refused by the core.
    EXPECT_EQ(comedi_data_write(d, 1, 0, 0, AREF_GROUND, 65536), -1);
    EXPECT_EQ(comedi_errno(), EINVAL);
    EXPECT_EQ(emu_ao_raw(EMU_BOARD_MULTI, 0), 65535);
}

TEST_F(Emu, DioDirectionAndSingleLines) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned dir = 99;
    ASSERT_EQ(comedi_dio_get_config(d, 2, 5, &dir), 0);
    EXPECT_EQ(dir, unsigned(COMEDI_INPUT));
    EXPECT_EQ(emu_dio_direction(EMU_BOARD_MULTI, 5), 0);
    ASSERT_EQ(comedi_dio_config(d, 2, 5, COMEDI_OUTPUT), 0);
    EXPECT_EQ(emu_dio_direction(EMU_BOARD_MULTI, 5), 1);
    ASSERT_EQ(comedi_dio_get_config(d, 2, 5, &dir), 0);
    EXPECT_EQ(dir, unsigned(COMEDI_OUTPUT));
    ASSERT_EQ(comedi_dio_write(d, 2, 5, 1), 1);
    EXPECT_EQ(emu_dio_level(EMU_BOARD_MULTI, 5), 1);
    unsigned bit = 0;
    ASSERT_EQ(comedi_dio_read(d, 2, 5, &bit), 1);
    EXPECT_EQ(bit, 1u);
    // An input line shows what drives it from outside.
    ASSERT_EQ(emu_dio_set_input(EMU_BOARD_MULTI, 6, 1), 0);
    ASSERT_EQ(comedi_dio_read(d, 2, 6, &bit), 1);
    EXPECT_EQ(bit, 1u);
    ASSERT_EQ(comedi_dio_config(d, 2, 5, COMEDI_INPUT), 0);
    EXPECT_EQ(emu_dio_level(EMU_BOARD_MULTI, 5), 0);
    // Open drain is not a direction comedi_dio_config accepts.
    EXPECT_EQ(comedi_dio_config(d, 2, 5, COMEDI_OPENDRAIN), -1);
}

TEST_F(Emu, BitfieldWithAndWithoutBaseOn24Lines) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    for (unsigned ch = 0; ch < 24; ++ch) ASSERT_EQ(comedi_dio_config(d, 2, ch, COMEDI_OUTPUT), 0);
    unsigned bits = 0x0000a5;
    ASSERT_EQ(comedi_dio_bitfield2(d, 2, 0xff, &bits, 0), 0);
    EXPECT_EQ(bits, 0xa5u);
    bits = 0x3c;
    ASSERT_EQ(comedi_dio_bitfield2(d, 2, 0xff, &bits, 8), 0); // lines 8..15
    EXPECT_EQ(bits, 0x3cu);                                   // lines 8..23, shifted down
    for (unsigned ch = 0; ch < 24; ++ch) {
        unsigned want = ch < 8 ? (0xa5 >> ch) & 1 : ch < 16 ? (0x3c >> (ch - 8)) & 1 : 0;
        EXPECT_EQ(emu_dio_level(EMU_BOARD_MULTI, ch), int(want)) << ch;
    }
    bits = 0;
    ASSERT_EQ(comedi_dio_bitfield2(d, 2, 0, &bits, 0), 0); // read only
    EXPECT_EQ(bits, 0x3ca5u);
    bits = 0;
    ASSERT_EQ(comedi_dio_bitfield2(d, 2, 0, &bits, 4), 0);
    EXPECT_EQ(bits, 0x3ca5u >> 4);
}

TEST_F(Emu, BitfieldOn64LinesUsesTheBaseInTheDriver) {
    comedi_t *d = open(EMU_BOARD_DIO64);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(comedi_get_n_channels(d, 0), 64);
    for (unsigned ch = 0; ch < 64; ++ch) ASSERT_EQ(comedi_dio_config(d, 0, ch, COMEDI_OUTPUT), 0);
    unsigned bits = 0x80000001;
    ASSERT_EQ(comedi_dio_bitfield2(d, 0, 0xffffffff, &bits, 32), 0);
    EXPECT_EQ(bits, 0x80000001u);
    EXPECT_EQ(emu_dio_level(EMU_BOARD_DIO64, 32), 1);
    EXPECT_EQ(emu_dio_level(EMU_BOARD_DIO64, 63), 1);
    EXPECT_EQ(emu_dio_level(EMU_BOARD_DIO64, 0), 0);
    bits = 0x12345678;
    ASSERT_EQ(comedi_dio_bitfield2(d, 0, 0xffffffff, &bits, 0), 0);
    bits = 0;
    ASSERT_EQ(comedi_dio_bitfield2(d, 0, 0, &bits, 16), 0);
    EXPECT_EQ(bits, 0x00011234u); // lines 16..47
}

TEST_F(Emu, DigitalOutputOnlyBoard) {
    comedi_t *d = open(EMU_BOARD_DO_ONLY);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(comedi_get_subdevice_type(d, 0), COMEDI_SUBD_DO);
    EXPECT_EQ(comedi_find_subdevice_by_type(d, COMEDI_SUBD_AI, 0), -1);
    unsigned bits = 0xbeef;
    ASSERT_EQ(comedi_dio_bitfield2(d, 0, 0xffff, &bits, 0), 0);
    EXPECT_EQ(bits, 0xbeefu);
    for (unsigned ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(emu_dio_direction(EMU_BOARD_DO_ONLY, ch), 1);
        EXPECT_EQ(emu_dio_level(EMU_BOARD_DO_ONLY, ch), int((0xbeef >> ch) & 1));
    }
    EXPECT_EQ(comedi_dio_config(d, 0, 0, COMEDI_INPUT), -1); // only DIO subdevices configure
    EXPECT_EQ(comedi_errno(), COMEDI_EINVAL_SUBD);
}

TEST_F(Emu, DigitalInputOnlyBoardReadsTheLevelsOutside) {
    comedi_t *d = open(EMU_BOARD_DI16);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(comedi_get_subdevice_type(d, 0), COMEDI_SUBD_DI);
    for (unsigned ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(emu_dio_set_input(EMU_BOARD_DI16, ch, int((0xc0de >> ch) & 1)), 0);
        EXPECT_EQ(emu_dio_direction(EMU_BOARD_DI16, ch), 0);
    }
    unsigned bits = 0xffff; // a mask on input lines drives nothing
    ASSERT_EQ(comedi_dio_bitfield2(d, 0, 0xffff, &bits, 0), 0);
    EXPECT_EQ(bits, 0xc0deu);
    ASSERT_EQ(comedi_dio_bitfield2(d, 0, 0, &bits, 8), 0);
    EXPECT_EQ(bits, 0xc0u);
    unsigned bit = 0;
    ASSERT_EQ(comedi_dio_read(d, 0, 1, &bit), 1);
    EXPECT_EQ(bit, 1u);
    EXPECT_EQ(comedi_dio_config(d, 0, 0, COMEDI_INPUT), -1); // only DIO subdevices configure
    EXPECT_EQ(comedi_errno(), COMEDI_EINVAL_SUBD);
}

// ---- command test ------------------------------------------------------------------------

TEST_F(Emu, CommandTestStagesAndCorrections) {
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
    c = timed_cmd(1, cl, 3, 1000000, 10000, TRIG_COUNT, 10);
    EXPECT_EQ(comedi_command_test(d, &c), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_ECMDNOTSUPP);
}

TEST_F(Emu, GenericTimedCommandIsAccepted) {
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

// ---- streaming ---------------------------------------------------------------------------

TEST_F(Emu, ManualClockStreamsTheExactSamples) {
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

TEST_F(Emu, Ai18StreamsThirtyTwoBitSamples) {
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

TEST_F(Emu, FollowTimingAndInternalTrigger) {
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

TEST_F(Emu, OverrunStopsTheCommandAndReadsEndInEpipe) {
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

TEST_F(Emu, OverrunSeenByBufferContentsAsBufferOverflow) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    emu_advance_ns(5000);
    ASSERT_EQ(emu_overrun_now(EMU_BOARD_MULTI), 0);
    uint8_t buf[64];
    ASSERT_EQ(read(comedi_fileno(d), buf, sizeof buf), 10);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), -1);
    EXPECT_EQ(comedi_errno(), COMEDI_EBUF_OVR);
    EXPECT_STREQ(comedi_strerror(comedi_errno()), "Buffer overflow");
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Emu, ReadAfterOverrunDrainFailsWithEpipe) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    emu_advance_ns(3000);
    ASSERT_EQ(emu_overrun_now(EMU_BOARD_MULTI), 0);
    uint8_t buf[64];
    ASSERT_EQ(read(comedi_fileno(d), buf, sizeof buf), 6);
    errno = 0;
    EXPECT_EQ(read(comedi_fileno(d), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(Emu, CancelAndBusyRules) {
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

TEST_F(Emu, ClosingCancelsTheCommand) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    close(d);
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
    comedi_t *e = open(EMU_BOARD_MULTI);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(comedi_command(e, &c), 0);
}

TEST_F(Emu, CommandWithBogusFlagOrUncorrectedArgumentsIsRefused) {
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

TEST_F(Emu, InstantModeAlwaysHasDataAndKeepsTheCounterExact) {
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

TEST_F(Emu, RealtimeBlockingReadDeliversEveryScan) {
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

// ---- comedi_test -------------------------------------------------------------------------

TEST_F(Emu, ComediTestBoardQuirks) {
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

TEST_F(Emu, ComediTestSquareWaveSecondHalf) {
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 1, 0, 60000000ull, 0), 32767 + 3276);
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 1, 0, 10000000ull, 0), 32767 - 3276);
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 2, 0, 10000000ull, 0), 32767);
    EXPECT_EQ(emu_expected_raw(EMU_BOARD_COMEDI_TEST, 0, 0, 99999000ull, 0), 32767 + 3276 - 1);
}

// ---- faults ------------------------------------------------------------------------------

TEST_F(Emu, OpenAndOpenTimeIoctlFaultsFailComediOpen) {
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

TEST_F(Emu, EveryIoctlFaultReachesTheCaller) {
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

TEST_F(Emu, PersistentFaultsLastUntilCleared) {
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

TEST_F(Emu, NthCallFaultLetsTheEarlierCallsThrough) {
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

TEST_F(Emu, InsnlistFailsAfterKInstructions) {
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

TEST_F(Emu, ShortReadsSplitSamplesWithoutLosingBytes) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(7, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000, 1000, TRIG_COUNT, 20);
    ASSERT_EQ(comedi_command(d, &c), 0);
    emu_advance_scans(EMU_BOARD_MULTI, 20);
    uint8_t buf[64];
    ASSERT_EQ(emu_short_read_next(7), 0);
    ASSERT_EQ(read(comedi_fileno(d), buf, sizeof buf), 7);
    ASSERT_EQ(read(comedi_fileno(d), buf + 7, sizeof buf - 7), 33);
    auto v = samples16(std::vector<uint8_t>(buf, buf + 40));
    for (unsigned i = 0; i < 20; ++i) EXPECT_EQ(v[i], i);
}

TEST_F(Emu, ForcedCommandTestStages) {
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

// ---- everything else passes through ------------------------------------------------------

TEST_F(Emu, UnownedPathsReachTheRealFileSystem) {
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

TEST_F(Emu, RequestCodesAreComparedOnTheirLow32Bits) {
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

TEST_F(Emu, BlockingReadWaitsForTheManualClock) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(7, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000, 1000, TRIG_COUNT, 4);
    ASSERT_EQ(comedi_command(d, &c), 0);
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

TEST_F(Emu, CancelFromAnotherThreadWakesABlockedReader) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000, 1000, TRIG_NONE, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
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

// Run by ctest with VORN_EMU_MAP naming /dev/comedi-emu-test/mapped0 as the ai18 board.
TEST_F(Emu, MappedPathReachesItsBoard) {
    const char *map = getenv("VORN_EMU_MAP");
    if (!map || !strstr(map, "/dev/comedi-emu-test/mapped0=ai18")) GTEST_SKIP() << "needs VORN_EMU_MAP";
    comedi_t *d = open("/dev/comedi-emu-test/mapped0");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(comedi_get_board_name(d), "emu-ai18");
    EXPECT_EQ(comedi_get_maxdata(d, 0, 0), 262143u);
    EXPECT_EQ(emu_open_count(), 1);
}

} // namespace
