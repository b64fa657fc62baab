// SPDX-License-Identifier: LGPL-2.1-or-later
// poll, ppoll, select and pselect, with their fortified forms: sets that hold an emulated
// descriptor wait in emulated_ppoll (poll.cpp); the others go straight to libc.
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/select.h>
#include <vector>

#include "emu_internal.h"
#include "real.h"

extern "C" [[noreturn]] void __chk_fail(void);

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

