// SPDX-License-Identifier: LGPL-2.1-or-later
// Instructions (INSN, INSNLIST): the documented signals, outputs and their loopback, digital
// lines and bit fields.
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

class EmuInsn : public Emu {};

TEST_F(EmuInsn, InstructionReadsOfTheDocumentedSignals) {
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

TEST_F(EmuInsn, Ai18ReadsEighteenBitCodes) {
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

TEST_F(EmuInsn, AnalogWritesLandOnTheOutputsAndLoopBack) {
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

TEST_F(EmuInsn, DioDirectionAndSingleLines) {
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

TEST_F(EmuInsn, BitfieldWithAndWithoutBaseOn24Lines) {
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

TEST_F(EmuInsn, BitfieldOn64LinesUsesTheBaseInTheDriver) {
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

TEST_F(EmuInsn, DigitalOutputOnlyBoard) {
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


TEST_F(EmuInsn, DigitalInputOnlyBoardReadsTheLevelsOutside) {
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

} // namespace
