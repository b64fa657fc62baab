// SPDX-License-Identifier: LGPL-2.1-or-later
// The softcal board: what comedilib derives its default calibration file from, and its converter
// errors against the repository's calibration file, read through comedilib's own calibration API.
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "emu_test_support.h"

using namespace emutest;

namespace {

class EmuSoftcal : public Emu {
protected:
    void SetUp() override {
        Emu::SetUp();
        cal_ = comedi_parse_calibration_file(VORN_SOFTCAL_FILE);
        ASSERT_NE(cal_, nullptr) << VORN_SOFTCAL_FILE;
    }
    void TearDown() override {
        if (cal_) comedi_cleanup_calibration(cal_);
        Emu::TearDown();
    }
    comedi_calibration_t *cal_ = nullptr;
};

TEST_F(EmuSoftcal, DescriptorAnswersAsTheKernelsCharacterDeviceAndNamesTheDefaultFile) {
    comedi_t *d = open(EMU_BOARD_SOFTCAL);
    ASSERT_NE(d, nullptr);
    struct stat st {};
    ASSERT_EQ(fstat(comedi_fileno(d), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 98u);
    EXPECT_EQ(minor(st.st_rdev), 8u); // the board's index among the default paths
    char *path = comedi_get_default_calibration_path(d);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, "/var/lib/comedi/calibrations/vorn_emu_emu-softcal_comedi8");
    free(path);
    EXPECT_STREQ(cal_->driver_name, comedi_get_driver_name(d));
    EXPECT_STREQ(cal_->board_name, comedi_get_board_name(d));
    EXPECT_TRUE(comedi_get_subdevice_flags(d, 0) & SDF_SOFT_CALIBRATED);
    EXPECT_TRUE(comedi_get_subdevice_flags(d, 1) & SDF_SOFT_CALIBRATED);
    EXPECT_FALSE(comedi_get_subdevice_flags(open(EMU_BOARD_MULTI), 0) & SDF_SOFT_CALIBRATED);
}

// Every fixed signal in every range that holds it: the file's polynomial gives it within one
// step of the range, the linear map does not (the error is there to be corrected), and range 4,
// which the file leaves out, has no converter.
TEST_F(EmuSoftcal, FilePolynomialsInvertTheInputErrorRangeByRange) {
    comedi_t *d = open(EMU_BOARD_SOFTCAL);
    ASSERT_NE(d, nullptr);
    const struct { unsigned ch; double v; } signals[] = {{0, 0.0},  {1, 1.0},  {2, -2.5}, {3, 4.0},  {8, 9.0},
                                                         {9, -9.0}, {10, 0.5}, {11, -0.5}, {12, 3.3}, {13, -7.0}};
    for (unsigned r = 0; r < 5; ++r) {
        const double lsb = (kRanges[r][1] - kRanges[r][0]) / 65535;
        comedi_polynomial_t p;
        const bool has = comedi_get_softcal_converter(0, 0, r, COMEDI_TO_PHYSICAL, cal_, &p) == 0;
        EXPECT_EQ(has, r != 4) << "range " << r;
        for (auto &s : signals) {
            if (s.v <= kRanges[r][0] || s.v >= kRanges[r][1]) continue;
            lsampl_t raw = 0;
            ASSERT_EQ(comedi_data_read(d, 0, s.ch, r, AREF_GROUND, &raw), 1);
            EXPECT_EQ(emu_expected_raw(EMU_BOARD_SOFTCAL, s.ch, r, 0, 0), (long long)raw);
            const double linear = kRanges[r][0] + raw * lsb;
            EXPECT_GT(std::fabs(linear - s.v), 10 * lsb) << "ch " << s.ch << " range " << r;
            if (has) EXPECT_NEAR(comedi_to_physical(raw, &p), s.v, lsb) << "ch " << s.ch << " range " << r;
        }
    }
}

// A voltage written through the file's from_phys polynomial comes out of the DAC within one step.
TEST_F(EmuSoftcal, FilePolynomialsInvertTheOutputError) {
    comedi_t *d = open(EMU_BOARD_SOFTCAL);
    ASSERT_NE(d, nullptr);
    const double ao[2][2] = {{-10, 10}, {0, 10}};
    for (unsigned r = 0; r < 2; ++r) {
        comedi_polynomial_t from, to;
        ASSERT_EQ(comedi_get_softcal_converter(1, 0, r, COMEDI_FROM_PHYSICAL, cal_, &from), 0);
        ASSERT_EQ(comedi_get_softcal_converter(0, 14, 0, COMEDI_TO_PHYSICAL, cal_, &to), 0);
        const double lsb = 20.0 / 65535; // the ±10 V input range the loopback is read on
        for (double v : {ao[r][0] + 0.75, 0.5, 6.0, ao[r][1] - 1.5}) {
            const lsampl_t code = comedi_from_physical(v, &from);
            ASSERT_EQ(comedi_data_write(d, 1, 0, r, AREF_GROUND, code), 1);
            lsampl_t raw = 0;
            ASSERT_EQ(comedi_data_read(d, 0, 14, 0, AREF_GROUND, &raw), 1);
            // Half a step of the DAC and half of the ADC: within one step of the input range.
            EXPECT_NEAR(comedi_to_physical(raw, &to), v, lsb) << "range " << r << " " << v << " V";
            comedi_range *lin = comedi_get_range(d, 1, 0, r);
            EXPECT_GT(std::fabs(comedi_to_phys(code, lin, 65535) - v), 10 * lsb);
        }
    }
}

} // namespace
