// libc entry points that comedilib (and applications reading comedi_fileno()) use.
// Emulated descriptors are claimed; everything else goes straight to the next definition.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <vector>
#include <sys/types.h>
#include <unistd.h>

#include "emu_internal.h"
#include "ring.h"

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename Fn> Fn next_symbol(const char *name) {
    void *p = dlsym(RTLD_NEXT, name);
    if (!p) {
        // Without the real call there is nothing sensible to forward to.
        fprintf(stderr, "vornemu: cannot resolve %s\n", name);
        abort();
    }
    return reinterpret_cast<Fn>(p);
}

// Resolved once; concurrent first calls store the same value, so relaxed atomics suffice.
#define REAL(fn_type, name)                                                         \
    static std::atomic<fn_type> cache_##name{nullptr};                              \
    fn_type real_##name = cache_##name.load(std::memory_order_relaxed);            \
    if (!real_##name) {                                                             \
        real_##name = next_symbol<fn_type>(#name);                                  \
        cache_##name.store(real_##name, std::memory_order_relaxed);                \
    }

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using read_fn = ssize_t (*)(int, void *, size_t);
using read_chk_fn = ssize_t (*)(int, void *, size_t, size_t);
using open2_fn = int (*)(const char *, int);

bool needs_mode(int flags) {
    return (flags & O_CREAT) || ((flags & O_TMPFILE) == O_TMPFILE);
}

// Paths we might own are absolute; cheap reject for everything else happens inside.
int try_emulated_open(const char *path, int flags, bool *handled) {
    int h = 0;
    int r = emu::dev_open(path, flags, &h);
    *handled = h != 0;
    if (!*handled) return 0;
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}

} // namespace

namespace emu {
int real_close(int fd) {
    REAL(close_fn, close);
    return real_close(fd);
}
} // namespace emu

EMU_EXPORT int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    bool handled;
    int r = try_emulated_open(path, flags, &handled);
    if (handled) return r;
    REAL(open_fn, open);
    return real_open(path, flags, mode);
}

EMU_EXPORT int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    bool handled;
    int r = try_emulated_open(path, flags, &handled);
    if (handled) return r;
    REAL(open_fn, open64);
    return real_open64(path, flags, mode);
}

EMU_EXPORT int __open_2(const char *path, int flags) {
    bool handled;
    int r = try_emulated_open(path, flags, &handled);
    if (handled) return r;
    REAL(open2_fn, __open_2);
    return real___open_2(path, flags);
}

EMU_EXPORT int __open64_2(const char *path, int flags) {
    bool handled;
    int r = try_emulated_open(path, flags, &handled);
    if (handled) return r;
    REAL(open2_fn, __open64_2);
    return real___open64_2(path, flags);
}

// Only absolute paths (or AT_FDCWD-relative absolute ones) can name an emulated board.
EMU_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    bool handled;
    int r = try_emulated_open(path, flags, &handled); // relative paths are never ours
    if (handled) return r;
    REAL(openat_fn, openat);
    return real_openat(dirfd, path, flags, mode);
}

EMU_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    bool handled;
    int r = try_emulated_open(path, flags, &handled); // relative paths are never ours
    if (handled) return r;
    REAL(openat_fn, openat64);
    return real_openat64(dirfd, path, flags, mode);
}

EMU_EXPORT int close(int fd) {
    if (emu::File *f = emu::file_for_fd(fd)) {
        int r = emu::dev_close(fd, f);
        if (r < 0) {
            errno = -r;
            return -1;
        }
        return r;
    }
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
        long r = emu::dev_ioctl(fd, f, static_cast<unsigned>(request), arg);
        if (r < 0) {
            errno = static_cast<int>(-r);
            return -1;
        }
        return static_cast<int>(r);
    }
    REAL(ioctl_fn, ioctl);
    return real_ioctl(fd, request, arg);
}

EMU_EXPORT ssize_t read(int fd, void *buf, size_t n) {
    if (emu::File *f = emu::file_for_fd(fd)) {
        long r = emu::dev_read(fd, f, buf, n);
        if (r < 0) {
            errno = static_cast<int>(-r);
            return -1;
        }
        return r;
    }
    REAL(read_fn, read);
    return real_read(fd, buf, n);
}

extern "C" [[noreturn]] void __chk_fail(void);

EMU_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
    if (emu::File *f = emu::file_for_fd(fd)) {
        if (n > buflen) __chk_fail();
        long r = emu::dev_read(fd, f, buf, n);
        if (r < 0) {
            errno = static_cast<int>(-r);
            return -1;
        }
        return r;
    }
    REAL(read_chk_fn, __read_chk);
    return real___read_chk(fd, buf, n, buflen);
}

// ---- waiting for readiness ------------------------------------------------------------------
// Arrays without an emulated descriptor go straight to libc; the scan is one atomic load each.

// glibc declares poll's array write-only, but the kernel reads fd and events from it.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

using ppoll_fn = int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
using poll_fn = int (*)(struct pollfd *, nfds_t, int);
using select_fn = int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
using pselect_fn = int (*)(int, fd_set *, fd_set *, fd_set *, const struct timespec *, const sigset_t *);

namespace emu {
int real_ppoll(struct pollfd *fds, unsigned long nfds, const struct timespec *timeout, const sigset_t *sigmask) {
    REAL(ppoll_fn, ppoll);
    return real_ppoll(fds, nfds_t(nfds), timeout, sigmask);
}
} // namespace emu

namespace {

int poll_ms(struct pollfd *fds, nfds_t nfds, int timeout_ms) {
    if (timeout_ms < 0) return emu::emulated_ppoll(fds, nfds, nullptr, nullptr);
    const struct timespec ts = {timeout_ms / 1000, long(timeout_ms % 1000) * 1000000L};
    return emu::emulated_ppoll(fds, nfds, &ts, nullptr);
}

// fd_set bits read and written directly: FD_ISSET's fortified check would abort on the large
// sets that callers may allocate themselves.
bool fd_in(const fd_set *s, int fd) {
    return s && (s->fds_bits[fd / NFDBITS] >> (fd % NFDBITS)) & 1;
}
void fd_add(fd_set *s, int fd) { s->fds_bits[fd / NFDBITS] |= __fd_mask(1) << (fd % NFDBITS); }

bool sets_hold_emulated(int nfds, const fd_set *r, const fd_set *w, const fd_set *e) {
    for (int fd = 0; fd < nfds && fd < emu::kMaxFd; ++fd)
        if ((fd_in(r, fd) || fd_in(w, fd) || fd_in(e, fd)) && emu::file_for_fd(fd)) return true;
    return false;
}

// select(2) over poll, with the kernel's mapping of poll bits to the three sets.
int select_by_poll(int nfds, fd_set *r, fd_set *w, fd_set *e, const struct timespec *timeout,
                   const sigset_t *sigmask) {
    std::vector<struct pollfd> fds;
    for (int fd = 0; fd < nfds; ++fd) {
        short ev = 0;
        if (fd_in(r, fd)) ev |= POLLIN | POLLRDNORM | POLLRDBAND;
        if (fd_in(w, fd)) ev |= POLLOUT | POLLWRNORM | POLLWRBAND;
        if (fd_in(e, fd)) ev |= POLLPRI;
        if (ev) fds.push_back({fd, ev, 0});
    }
    int n = emu::emulated_ppoll(fds.data(), fds.size(), timeout, sigmask);
    if (n < 0) return -1;
    for (auto &p : fds)
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
    const size_t bytes = size_t((nfds + NFDBITS - 1) / NFDBITS) * sizeof(__fd_mask);
    if (r) memset(r, 0, bytes);
    if (w) memset(w, 0, bytes);
    if (e) memset(e, 0, bytes);
    int count = 0;
    for (auto &p : fds) {
        if (r && (p.events & POLLIN) && (p.revents & (POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR))) {
            fd_add(r, p.fd);
            ++count;
        }
        if (w && (p.events & POLLOUT) && (p.revents & (POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR))) {
            fd_add(w, p.fd);
            ++count;
        }
        if (e && (p.events & POLLPRI) && (p.revents & POLLPRI)) {
            fd_add(e, p.fd);
            ++count;
        }
    }
    return count;
}

uint64_t mono_now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

} // namespace

EMU_EXPORT int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) {
    if (emu::any_emulated(fds, nfds)) return poll_ms(fds, nfds, timeout_ms);
    REAL(poll_fn, poll);
    return real_poll(fds, nfds, timeout_ms);
}

EMU_EXPORT int __poll_chk(struct pollfd *fds, nfds_t nfds, int timeout_ms, size_t fdslen) {
    if (fdslen / sizeof *fds < nfds) __chk_fail();
    return poll(fds, nfds, timeout_ms);
}

EMU_EXPORT int ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout, const sigset_t *sigmask) {
    if (emu::any_emulated(fds, nfds)) return emu::emulated_ppoll(fds, nfds, timeout, sigmask);
    return emu::real_ppoll(fds, nfds, timeout, sigmask);
}

EMU_EXPORT int __ppoll_chk(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout, const sigset_t *sigmask,
                           size_t fdslen) {
    if (fdslen / sizeof *fds < nfds) __chk_fail();
    return ppoll(fds, nfds, timeout, sigmask);
}

EMU_EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv) {
    if (nfds <= 0 || !sets_hold_emulated(nfds, r, w, e)) {
        REAL(select_fn, select);
        return real_select(nfds, r, w, e, tv);
    }
    if (tv && (tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1000000)) {
        errno = EINVAL;
        return -1;
    }
    struct timespec ts;
    if (tv) ts = {tv->tv_sec, long(tv->tv_usec) * 1000L};
    const uint64_t start = mono_now_ns();
    int n = select_by_poll(nfds, r, w, e, tv ? &ts : nullptr, nullptr);
    if (tv) {
        // Linux leaves the time not slept in the timeval.
        uint64_t total = uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
        uint64_t spent = mono_now_ns() - start;
        uint64_t left = spent >= total ? 0 : total - spent;
        tv->tv_sec = time_t(left / 1000000000ull);
        tv->tv_usec = suseconds_t(left % 1000000000ull / 1000);
    }
    return n;
}

EMU_EXPORT int pselect(int nfds, fd_set *r, fd_set *w, fd_set *e, const struct timespec *timeout,
                       const sigset_t *sigmask) {
    if (nfds <= 0 || !sets_hold_emulated(nfds, r, w, e)) {
        REAL(pselect_fn, pselect);
        return real_pselect(nfds, r, w, e, timeout, sigmask);
    }
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000L)) {
        errno = EINVAL;
        return -1;
    }
    return select_by_poll(nfds, r, w, e, timeout, sigmask);
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
