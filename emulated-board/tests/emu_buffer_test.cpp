// SPDX-License-Identifier: LGPL-2.1-or-later
// The buffer of the read subdevice: BUFCONFIG limits and mmap(2) of the ring, on multi and on
// comedi_test, in the flow of comedilib's demo/mmap.c.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/mman.h>

#include "emu_test_support.h"

using namespace emutest;

namespace {

constexpr unsigned kMax = 20971520; // 20480 KiB, the core's default maximum
constexpr unsigned kPage = 4096;

class EmuBuffer : public Emu, public ::testing::WithParamInterface<const char *> {
protected:
    // A counted command of `scans` scans on channels 7 and 1 (multi: 7 is the sample counter).
    comedi_t *start(unsigned scans, comedi_t *d = nullptr) {
        if (!d) d = open(GetParam());
        if (!d) return nullptr;
        static unsigned cl[2] = {CR_PACK(7, 0, 0), CR_PACK(1, 0, 0)};
        comedi_cmd c = timed_cmd(0, cl, 2, 1000000, 1000, TRIG_COUNT, scans);
        EXPECT_EQ(comedi_command(d, &c), 0);
        return d;
    }
};

TEST_P(EmuBuffer, SizeLimitsAreTheCores) {
    comedi_t *d = open(GetParam());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(comedi_get_max_buffer_size(d, 0), int(kMax));
    EXPECT_EQ(comedi_get_buffer_size(d, 0), 2 << 20);
    // One page past the maximum is refused, the maximum itself accepted and read back.
    EXPECT_EQ(comedi_set_buffer_size(d, 0, kMax + kPage), -1);
    EXPECT_EQ(comedi_errno(), EPERM);
    EXPECT_EQ(comedi_set_buffer_size(d, 0, kMax + 1), -1);
    EXPECT_EQ(comedi_errno(), EPERM);
    EXPECT_EQ(comedi_set_buffer_size(d, 0, kMax), int(kMax));
    EXPECT_EQ(comedi_get_buffer_size(d, 0), int(kMax));
    EXPECT_EQ(comedi_set_buffer_size(d, 0, kPage), int(kPage));
    EXPECT_EQ(comedi_set_buffer_size(d, 0, 5000), int(2 * kPage)); // whole pages
    // A new maximum needs CAP_SYS_ADMIN.
    if (geteuid() == 0) {
        EXPECT_EQ(comedi_set_max_buffer_size(d, 0, 8 * kPage), int(8 * kPage));
        EXPECT_EQ(comedi_set_buffer_size(d, 0, 9 * kPage), -1);
        EXPECT_EQ(comedi_errno(), EPERM);
    } else {
        EXPECT_EQ(comedi_set_max_buffer_size(d, 0, 8 * kPage), -1);
        EXPECT_EQ(comedi_errno(), EPERM);
    }
    EXPECT_EQ(comedi_get_buffer_size(d, 0), int(2 * kPage));
}

TEST_P(EmuBuffer, BusyOrMappedBufferKeepsItsSize) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = start(10);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(comedi_set_buffer_size(d, 0, kPage), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    ASSERT_EQ(comedi_cancel(d, 0), 0);
    void *map = mmap(nullptr, kPage, PROT_READ, MAP_SHARED, comedi_fileno(d), 0);
    ASSERT_NE(map, MAP_FAILED);
    EXPECT_EQ(comedi_set_buffer_size(d, 0, kPage), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    ASSERT_EQ(munmap(map, kPage), 0);
    EXPECT_EQ(comedi_set_buffer_size(d, 0, kPage), int(kPage));
}

TEST_P(EmuBuffer, MappingFailsOnlyWhereTheKernelRefuses) {
    comedi_t *d = open(GetParam());
    ASSERT_NE(d, nullptr);
    const int fd = comedi_fileno(d);
    const size_t size = size_t(comedi_get_buffer_size(d, 0));
    errno = 0;
    EXPECT_EQ(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, kPage), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mmap(nullptr, size + kPage, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
    EXPECT_EQ(errno, EFAULT);
    comedi_t *nocmd = open(EMU_BOARD_NOCMD); // no read subdevice
    ASSERT_NE(nocmd, nullptr);
    EXPECT_EQ(mmap(nullptr, kPage, PROT_READ, MAP_SHARED, comedi_fileno(nocmd), 0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    // Before any command every page is there, zero-filled.
    auto *map = static_cast<const volatile uint8_t *>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_NE(map, nullptr);
    unsigned sum = 0;
    for (size_t off = 0; off < size; off += kPage) sum += map[off];
    EXPECT_EQ(sum, 0u);
    ASSERT_EQ(munmap(const_cast<uint8_t *>(map), size), 0);
    // Unmapped pages fault, as on the kernel's mapping (AddressSanitizer reports the fault itself).
#ifdef __SANITIZE_ADDRESS__
    EXPECT_DEATH((void)map[0], "SEGV on unknown address");
#else
    EXPECT_EXIT((void)map[0], ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

// demo/mmap.c: map the buffer, then take what BUFINFO says is there at the ring offset and
// mark it read. A buffer of 4 pages wraps several times over the command.
TEST_P(EmuBuffer, MappedRingHoldsTheBytesReadReturns) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    comedi_t *d = open(GetParam());
    ASSERT_NE(d, nullptr);
    const unsigned size = 4 * kPage;
    ASSERT_EQ(comedi_set_buffer_size(d, 0, size), int(size));
    auto *map = static_cast<const uint8_t *>(mmap(nullptr, size, PROT_READ, MAP_SHARED, comedi_fileno(d), 0));
    ASSERT_NE(map, MAP_FAILED);
    const unsigned scans = 3 * size / 4; // 3 buffers of 2 channels x 2 bytes
    ASSERT_EQ(start(scans, d), d);
    auto mapped = [&](uint64_t pos, unsigned n) {
        std::vector<uint8_t> out(n);
        for (unsigned i = 0; i < n; ++i) out[i] = map[(pos + i) % size];
        return out;
    };
    uint64_t front = 0;
    std::vector<uint8_t> through_map;
    bool via_read = false; // alternate: consume by mark_buffer_read, then by read()
    while (through_map.size() < size_t(scans) * 4) {
        ASSERT_EQ(emu_advance_scans(GetParam(), 700), 0);
        int n = comedi_get_buffer_contents(d, 0);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, int(size));
        auto seen = mapped(front, unsigned(n));
        if (via_read) {
            std::vector<uint8_t> got(static_cast<size_t>(n));
            ASSERT_EQ(read(comedi_fileno(d), got.data(), got.size()), n);
            ASSERT_EQ(got, seen) << "at stream byte " << front;
        } else {
            ASSERT_EQ(comedi_mark_buffer_read(d, 0, unsigned(n)), n);
        }
        via_read = !via_read;
        through_map.insert(through_map.end(), seen.begin(), seen.end());
        front += unsigned(n);
    }
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 0);
    auto v = samples16(through_map);
    ASSERT_EQ(v.size(), size_t(scans) * 2);
    if (std::string(GetParam()) == EMU_BOARD_MULTI) {
        for (size_t k = 0; k < v.size(); ++k)
            ASSERT_EQ(v[k], k % 2 == 0 ? unsigned(k) : adc(1.0, -10, 10, 65535)) << "sample " << k;
    } else {
        for (size_t k = 0; k < v.size(); k += 2) ASSERT_EQ(v[k], unsigned(emu_expected_raw(GetParam(), 7, 0, 0, 0)));
    }
    EXPECT_EQ(munmap(const_cast<uint8_t *>(map), size), 0);
}

INSTANTIATE_TEST_SUITE_P(, EmuBuffer, ::testing::Values(EMU_BOARD_MULTI, EMU_BOARD_COMEDI_TEST),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.index == 0 ? "multi" : "comedi_test");
                         });

} // namespace
