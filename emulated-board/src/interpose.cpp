// SPDX-License-Identifier: LGPL-2.1-or-later
// libc entry points that comedilib (and applications reading comedi_fileno()) use.
// Emulated descriptors are claimed; everything else goes straight to the next definition.
#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include "emu_internal.h"
#include "real.h"
#include "ring.h"

namespace {

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using read_fn = ssize_t (*)(int, void *, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);
using read_chk_fn = ssize_t (*)(int, void *, size_t, size_t);
using open2_fn = int (*)(const char *, int);

bool needs_mode(int flags) {
    return (flags & O_CREAT) || ((flags & O_TMPFILE) == O_TMPFILE);
}

// What the kernel's negative error numbers become at the libc boundary.
long as_libc_result(long r) {
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    return r;
}

// Paths we might own are absolute; cheap reject for everything else happens inside.
template <typename Forward> int claim_or_forward(const char *path, int flags, Forward forward) {
    int handled = 0;
    int r = emu::dev_open(path, flags, &handled);
    if (!handled) return forward();
    return static_cast<int>(as_libc_result(r));
}

} // namespace

// va_start has to run in the variadic entry point itself, hence a macro.
#define OPEN_MODE_ARG(flags)                                                        \
    mode_t mode = 0;                                                                \
    if (needs_mode(flags)) {                                                        \
        va_list ap;                                                                 \
        va_start(ap, flags);                                                        \
        mode = va_arg(ap, mode_t);                                                  \
        va_end(ap);                                                                 \
    }

namespace emu {
int real_close(int fd) {
    REAL(close_fn, close);
    return real_close(fd);
}
} // namespace emu

EMU_EXPORT int open(const char *path, int flags, ...) {
    OPEN_MODE_ARG(flags);
    return claim_or_forward(path, flags, [&] {
        REAL(open_fn, open);
        return real_open(path, flags, mode);
    });
}

EMU_EXPORT int open64(const char *path, int flags, ...) {
    OPEN_MODE_ARG(flags);
    return claim_or_forward(path, flags, [&] {
        REAL(open_fn, open64);
        return real_open64(path, flags, mode);
    });
}

EMU_EXPORT int __open_2(const char *path, int flags) {
    return claim_or_forward(path, flags, [&] {
        REAL(open2_fn, __open_2);
        return real___open_2(path, flags);
    });
}

EMU_EXPORT int __open64_2(const char *path, int flags) {
    return claim_or_forward(path, flags, [&] {
        REAL(open2_fn, __open64_2);
        return real___open64_2(path, flags);
    });
}

// Only absolute paths (or AT_FDCWD-relative absolute ones) can name an emulated board.
EMU_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    OPEN_MODE_ARG(flags);
    // relative paths are never ours
    return claim_or_forward(path, flags, [&] {
        REAL(openat_fn, openat);
        return real_openat(dirfd, path, flags, mode);
    });
}

EMU_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    OPEN_MODE_ARG(flags);
    // relative paths are never ours
    return claim_or_forward(path, flags, [&] {
        REAL(openat_fn, openat64);
        return real_openat64(dirfd, path, flags, mode);
    });
}

EMU_EXPORT int close(int fd) {
    emu::forget_epoll(fd);
    if (emu::File *f = emu::file_for_fd(fd)) return static_cast<int>(as_libc_result(emu::dev_close(fd, f)));
    REAL(close_fn, close);
    return real_close(fd);
}

EMU_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (emu::File *f = emu::file_for_fd(fd)) {
        // comedilib passes the request through an int: only the low 32 bits are meaningful.
        return static_cast<int>(as_libc_result(emu::dev_ioctl(fd, f, static_cast<unsigned>(request), arg)));
    }
    REAL(ioctl_fn, ioctl);
    return real_ioctl(fd, request, arg);
}

EMU_EXPORT ssize_t read(int fd, void *buf, size_t n) {
    if (emu::File *f = emu::file_for_fd(fd)) {
        return as_libc_result(emu::dev_read(fd, f, buf, n));
    }
    REAL(read_fn, read);
    return real_read(fd, buf, n);
}

EMU_EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    if (emu::File *f = emu::file_for_fd(fd)) return as_libc_result(emu::dev_write(fd, f, buf, n));
    REAL(write_fn, write);
    return real_write(fd, buf, n);
}

extern "C" [[noreturn]] void __chk_fail(void);

EMU_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
    if (emu::File *f = emu::file_for_fd(fd)) {
        if (n > buflen) __chk_fail();
        return as_libc_result(emu::dev_read(fd, f, buf, n));
    }
    REAL(read_chk_fn, __read_chk);
    return real___read_chk(fd, buf, n, buflen);
}

// ---- mapping the buffer ---------------------------------------------------------------------

using mmap_fn = void *(*)(void *, size_t, int, int, int, off_t);
using munmap_fn = int (*)(void *, size_t);

namespace emu {
void *real_mmap(void *addr, size_t len, int prot, int flags, int fd, long off) {
    REAL(mmap_fn, mmap);
    return real_mmap(addr, len, prot, flags, fd, off_t(off));
}
int real_munmap(void *addr, size_t len) {
    REAL(munmap_fn, munmap);
    return real_munmap(addr, len);
}
} // namespace emu

namespace {
void *mmap_emulated(emu::File *f, void *addr, size_t len, int prot, int flags, off_t off) {
    void *p = nullptr;
    long r = emu::dev_mmap(f, addr, len, prot, flags, long(off), &p);
    if (r < 0) {
        errno = int(-r);
        return MAP_FAILED;
    }
    return p;
}
} // namespace

EMU_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (emu::File *f = emu::file_for_fd(fd)) return mmap_emulated(f, addr, len, prot, flags, off);
    return emu::real_mmap(addr, len, prot, flags, fd, long(off));
}

EMU_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (emu::File *f = emu::file_for_fd(fd)) return mmap_emulated(f, addr, len, prot, flags, off);
    REAL(mmap_fn, mmap64);
    return real_mmap64(addr, len, prot, flags, fd, off);
}

EMU_EXPORT int munmap(void *addr, size_t len) {
    int r = emu::real_munmap(addr, len);
    // Only this library's own mappings of a buffer are tracked; nothing else pays more than a load.
    if (r == 0 && emu::g_ring_mappings.load(std::memory_order_relaxed) > 0) emu::forget_mappings(addr, len);
    return r;
}
