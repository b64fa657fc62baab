// SPDX-License-Identifier: LGPL-2.1-or-later
// epoll on emulated descriptors. The kernel cannot watch them (their eventfd is never
// signalled), so their registrations are kept here, and an epoll_wait on an instance that has
// any waits in emulated_ppoll on the epoll descriptor itself (readable when the kernel has
// events for it) next to the emulated descriptors; the kernel's events are then collected with
// a zero timeout. Instances without emulated registrations go straight to libc.
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <sys/epoll.h>
#include <vector>

#include "emu_internal.h"
#include "real.h"

namespace {

struct Registration {
    int epfd, fd;
    uint32_t events; // 0 once an EPOLLONESHOT registration has fired
    epoll_data_t data;
};

std::mutex g_mu;
// Never destroyed, like the board state: closes may come late at exit.
std::vector<Registration> &registrations() {
    static auto *r = new std::vector<Registration>();
    return *r;
}
std::atomic<int> g_count{0};

using epoll_ctl_fn = int (*)(int, int, int, struct epoll_event *);
using epoll_pwait_fn = int (*)(int, struct epoll_event *, int, int, const sigset_t *);

int real_epoll_pwait(int epfd, struct epoll_event *ev, int max, int timeout_ms, const sigset_t *mask) {
    REAL(epoll_pwait_fn, epoll_pwait);
    return real_epoll_pwait(epfd, ev, max, timeout_ms, mask);
}

// poll(2) and epoll(7) name the same conditions with different bits.
struct EventBit {
    uint32_t epoll;
    short poll;
};
constexpr EventBit kEventBits[] = {{EPOLLIN, POLLIN},     {EPOLLRDNORM, POLLRDNORM}, {EPOLLOUT, POLLOUT},
                                   {EPOLLWRNORM, POLLWRNORM}, {EPOLLPRI, POLLPRI},   {EPOLLERR, POLLERR},
                                   {EPOLLHUP, POLLHUP}};

// Error and hang-up are never asked for: poll reports them unasked.
short to_poll(uint32_t e) {
    short p = 0;
    for (const EventBit &b : kEventBits)
        if (e & b.epoll) p |= b.poll;
    return short(p & ~(POLLERR | POLLHUP));
}

uint32_t to_epoll(short p) {
    uint32_t e = 0;
    for (const EventBit &b : kEventBits)
        if (p & b.poll) e |= b.epoll;
    return e;
}

uint64_t mono_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// timeout_ns < 0: wait for ever.
int wait_mixed(int epfd, struct epoll_event *out, int max, long long timeout_ns, const sigset_t *mask) {
    if (max <= 0) {
        errno = EINVAL;
        return -1;
    }
    const uint64_t start = mono_now();
    for (;;) {
        std::vector<Registration> regs;
        {
            std::lock_guard<std::mutex> lk(g_mu);
            for (const Registration &r : registrations())
                if (r.epfd == epfd && r.events) regs.push_back(r);
        }
        std::vector<pollfd> fds = {{epfd, POLLIN, 0}};
        for (const Registration &r : regs) fds.push_back({r.fd, to_poll(r.events), 0});
        timespec ts{}, *tp = nullptr;
        if (timeout_ns >= 0) {
            const uint64_t spent = mono_now() - start;
            const uint64_t left = uint64_t(timeout_ns) > spent ? uint64_t(timeout_ns) - spent : 0;
            ts = {time_t(left / 1000000000ull), long(left % 1000000000ull)};
            tp = &ts;
        }
        int r = emu::emulated_ppoll(fds.data(), fds.size(), tp, mask);
        if (r < 0) return -1;
        int n = 0;
        if (fds[0].revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        if (fds[0].revents) {
            n = real_epoll_pwait(epfd, out, max, 0, nullptr);
            if (n < 0) return -1;
        }
        std::lock_guard<std::mutex> lk(g_mu);
        for (size_t i = 1; i < fds.size() && n < max; ++i) {
            const uint32_t ready = to_epoll(fds[i].revents);
            if (!ready) continue;
            out[n].events = ready;
            out[n].data = regs[i - 1].data;
            ++n;
            if (regs[i - 1].events & EPOLLONESHOT)
                for (Registration &g : registrations())
                    if (g.epfd == epfd && g.fd == regs[i - 1].fd) g.events = 0;
        }
        // Another thread may have taken the kernel's events between the two looks.
        if (n > 0 || (timeout_ns >= 0 && mono_now() - start >= uint64_t(timeout_ns))) return n;
    }
}

bool has_registrations(int epfd) {
    if (g_count.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> lk(g_mu);
    for (const Registration &r : registrations())
        if (r.epfd == epfd) return true;
    return false;
}

} // namespace

namespace emu {
// A closed descriptor leaves every interest list; a closed epoll instance takes its list along.
void forget_epoll(int fd) {
    if (g_count.load(std::memory_order_acquire) == 0) return;
    std::lock_guard<std::mutex> lk(g_mu);
    auto &v = registrations();
    v.erase(std::remove_if(v.begin(), v.end(), [fd](const Registration &r) { return r.fd == fd || r.epfd == fd; }),
            v.end());
    g_count.store(int(v.size()), std::memory_order_release);
}
} // namespace emu

EMU_EXPORT int epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev) {
    if (!emu::file_for_fd(fd)) {
        REAL(epoll_ctl_fn, epoll_ctl);
        return real_epoll_ctl(epfd, op, fd, ev);
    }
    if (epfd == fd) {
        errno = EINVAL;
        return -1;
    }
    if (op != EPOLL_CTL_DEL && !ev) {
        errno = EFAULT;
        return -1;
    }
    std::lock_guard<std::mutex> lk(g_mu);
    auto &v = registrations();
    auto it = std::find_if(v.begin(), v.end(), [&](const Registration &r) { return r.epfd == epfd && r.fd == fd; });
    switch (op) {
    case EPOLL_CTL_ADD:
        if (it != v.end()) {
            errno = EEXIST;
            return -1;
        }
        v.push_back({epfd, fd, ev->events | EPOLLERR | EPOLLHUP, ev->data});
        break;
    case EPOLL_CTL_MOD:
        if (it == v.end()) {
            errno = ENOENT;
            return -1;
        }
        it->events = ev->events | EPOLLERR | EPOLLHUP;
        it->data = ev->data;
        break;
    case EPOLL_CTL_DEL:
        if (it == v.end()) {
            errno = ENOENT;
            return -1;
        }
        v.erase(it);
        break;
    default: errno = EINVAL; return -1;
    }
    g_count.store(int(v.size()), std::memory_order_release);
    return 0;
}

EMU_EXPORT int epoll_pwait(int epfd, struct epoll_event *ev, int max, int timeout_ms, const sigset_t *mask) {
    if (!has_registrations(epfd)) return real_epoll_pwait(epfd, ev, max, timeout_ms, mask);
    return wait_mixed(epfd, ev, max, timeout_ms < 0 ? -1 : (long long)timeout_ms * 1000000, mask);
}

EMU_EXPORT int epoll_wait(int epfd, struct epoll_event *ev, int max, int timeout_ms) {
    return epoll_pwait(epfd, ev, max, timeout_ms, nullptr);
}
