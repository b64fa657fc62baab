// SPDX-License-Identifier: LGPL-2.1-or-later
// Fixture and helpers shared by the emulated-board tests: they talk to the boards through
// comedilib's public API only; the emu_* calls steer the clock and faults and inspect outputs.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include <comedilib.h>

#include "emuboard.h"
#include "timed_command.h"

namespace emutest {

// comedilib's own error numbers (its comedi_errno.h is not installed).
inline constexpr int COMEDI_EINVAL_SUBD = 0x1003;
inline constexpr int COMEDI_EBUF_OVR = 0x1005;
inline constexpr int COMEDI_ECMDNOTSUPP = 0x1007;

// The ADC transfer the boards document: nearest code, clamped.
inline unsigned adc(double v, double mn, double mx, unsigned maxdata) {
    double s = std::floor((v - mn) / (mx - mn) * maxdata + 0.5);
    if (s < 0) return 0;
    if (s > maxdata) return maxdata;
    return unsigned(s);
}

inline const double kRanges[5][2] = {{-10, 10}, {-5, 5}, {-1, 1}, {0, 10}, {0, 5}};

class Emu : public ::testing::Test {
protected:
    void SetUp() override { emu_reset(); }
    void TearDown() override {
        for (comedi_t *d : open_)
            if (d) comedi_close(d);
        EXPECT_EQ(emu_open_count(), 0);
        emu_reset();
    }
    comedi_t *open(const char *path) {
        comedi_t *d = comedi_open(path);
        EXPECT_NE(d, nullptr) << path;
        if (d) open_.push_back(d);
        return d;
    }
    void close(comedi_t *d) {
        for (auto &p : open_)
            if (p == d) p = nullptr;
        EXPECT_EQ(comedi_close(d), 0);
    }
    comedi_t *start_one_channel(unsigned chan, unsigned scan_ns, unsigned conv_ns, unsigned stop_src,
                                unsigned scans);
    std::vector<comedi_t *> open_;
    unsigned chanlist_[1] = {};
    comedi_cmd cmd_ = {};
};

// Opens the multi-function board and starts a timed command on one channel of its analog input;
// the command stays in cmd_ so that a test can issue it again. Null if either step failed.
inline comedi_t *Emu::start_one_channel(unsigned chan, unsigned scan_ns, unsigned conv_ns, unsigned stop_src,
                                        unsigned scans) {
    chanlist_[0] = CR_PACK(chan, 0, 0);
    cmd_ = timed_cmd(0, chanlist_, 1, scan_ns, conv_ns, stop_src, scans);
    comedi_t *d = open(EMU_BOARD_MULTI);
    if (!d) return nullptr;
    int started = comedi_command(d, &cmd_);
    EXPECT_EQ(started, 0) << comedi_strerror(comedi_errno());
    return started == 0 ? d : nullptr;
}

inline void set_nonblocking(comedi_t *d) {
    int fd = comedi_fileno(d);
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
}

// Reads everything available without blocking.
inline std::vector<uint8_t> drain(comedi_t *d) {
    std::vector<uint8_t> out;
    uint8_t buf[8192];
    for (;;) {
        ssize_t r = read(comedi_fileno(d), buf, sizeof buf);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

inline std::vector<unsigned> samples16(const std::vector<uint8_t> &b) {
    std::vector<unsigned> v;
    for (size_t i = 0; i + 1 < b.size(); i += 2) v.push_back(b[i] | (b[i + 1] << 8));
    return v;
}

} // namespace emutest
