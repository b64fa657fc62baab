// SPDX-License-Identifier: LGPL-2.1-or-later
// fstat of an emulated descriptor answers as for the kernel's character device: comedilib names
// a board's default calibration file after the minor number it finds there.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "emu_internal.h"
#include "real.h"

namespace {

using fstat_fn = int (*)(int, struct stat *);
using fstat64_fn = int (*)(int, struct stat64 *);

constexpr unsigned kComediMajor = 98; // the Comedi core's registered character major

template <typename Stat> int as_device(const emu::File *f, int r, Stat *st) {
    if (r == 0) {
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(kComediMajor, f->minor);
        st->st_size = 0;
    }
    return r;
}

} // namespace

EMU_EXPORT int fstat(int fd, struct stat *st) {
    REAL(fstat_fn, fstat);
    int r = real_fstat(fd, st);
    if (const emu::File *f = emu::file_for_fd(fd)) return as_device(f, r, st);
    return r;
}

EMU_EXPORT int fstat64(int fd, struct stat64 *st) {
    REAL(fstat64_fn, fstat64);
    int r = real_fstat64(fd, st);
    if (const emu::File *f = emu::file_for_fd(fd)) return as_device(f, r, st);
    return r;
}
