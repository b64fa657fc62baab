// SPDX-License-Identifier: LGPL-2.1-or-later
// Readiness of emulated descriptors for poll(2)/select(2), as the Comedi core's comedi_poll
// reports it, and the wait that mixes them with real descriptors.
//
// An emulated descriptor is an eventfd that is never signalled, so the kernel cannot tell when
// it is ready. The wait below therefore asks the board, and sleeps in the real ppoll on the
// real descriptors plus a private eventfd that every state change of the board writes to, with
// a timeout that ends when the emulated clock converts the next sample (REALTIME clock).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/eventfd.h>
#include <unistd.h>

#include <comedi.h>

#include "device.h"
#include "emu_internal.h"

namespace emu {

namespace {

constexpr uint64_t kNever = UINT64_MAX;
constexpr uint64_t kSharedRecheckNs = 5000000;

// comedi_poll: the read subdevice is readable unless this file's command is still acquiring
// and nothing is buffered, so a reader also wakes to find the end (EOF) or the overrun (EPIPE)
// of its command, or the EINVAL of a file that owns none. `*change_in` gets the emulated ns
// after which the clock alone can make the file readable (kNever: only an event can).
short poll_mask(State &st, File *f, uint64_t *change_in) {
    short mask = 0;
    Board &b = *f->board;
    const int r = f->read_subdev;
    if (r >= 0 && b.desc(unsigned(r)).has_cmd()) {
        update(st, b, unsigned(r));
        const SubState &ss = b.sub(unsigned(r));
        const Cmd &c = ss.cmd;
        const bool buffered = c.wc * bytes_per_sample(b.desc(unsigned(r))) > c.rc;
        if (ss.busy != f->id || !c.running || (c.flags & CMDF_WRITE) || buffered) {
            mask |= POLLIN | POLLRDNORM;
        } else if (st.sh->clock_mode == EMU_CLOCK_REALTIME && c.triggered) {
            uint64_t next = sample_time_ns(c, c.wc), now = now_locked(st);
            *change_in = std::min(*change_in, next > now ? next - now : 0);
        }
    }
    const int w = f->write_subdev;
    if (w >= 0 && b.desc(unsigned(w)).has_cmd()) {
        // Writable when a writer would not sleep: room for a sample, or a write that fails.
        update(st, b, unsigned(w));
        const SubState &ss = b.sub(unsigned(w));
        if (ss.busy != f->id || !ss.cmd.running || !(ss.cmd.flags & CMDF_WRITE) ||
            output_free(b, unsigned(w)) >= bytes_per_sample(b.desc(unsigned(w)))) {
            mask |= POLLOUT | POLLWRNORM;
        } else {
            const uint64_t next = next_output_ns(st, b, unsigned(w)), now = now_locked(st);
            if (next != kNever) *change_in = std::min(*change_in, next > now ? next - now : 0);
        }
    }
    return mask;
}

// Takes the readiness of every emulated entry of `fds` and hides it from the real poll in
// `shadow` (fd -1 is skipped by the kernel). Returns the number of ready emulated entries.
unsigned snapshot(State &st, pollfd *fds, unsigned long n, pollfd *shadow, uint64_t *change_in) {
    unsigned ready = 0;
    for (unsigned long i = 0; i < n; ++i) {
        shadow[i] = fds[i];
        shadow[i].revents = 0;
        File *f = file_for_fd(fds[i].fd);
        if (!f) continue; // a descriptor closed meanwhile is real again: the kernel says POLLNVAL
        shadow[i].fd = -1;
        short want = short(fds[i].events | POLLERR | POLLHUP);
        fds[i].revents = short(poll_mask(st, f, change_in) & want);
        if (fds[i].revents) ++ready;
    }
    return ready;
}

timespec to_timespec(uint64_t ns) { return {time_t(ns / 1000000000ull), long(ns % 1000000000ull)}; }

struct Waker {
    int fd = -1;
    ~Waker() {
        if (fd >= 0) real_close(fd);
    }
    void drain() const {
        uint64_t v;
        while (::read(fd, &v, sizeof v) > 0) {
        }
    }
};

void unregister(State &st, int fd) {
    auto &w = st.poll_wakers;
    w.erase(std::remove(w.begin(), w.end(), fd), w.end());
}

} // namespace

void wake_waiters(State &st) {
    pthread_cond_broadcast(&st.sh->cv);
    const uint64_t one = 1;
    for (int fd : st.poll_wakers) {
        // A full counter already means "woken"; nothing to do about a failed write.
        ssize_t r = ::write(fd, &one, sizeof one);
        (void)r;
    }
}

bool any_emulated(const pollfd *fds, unsigned long nfds) {
    for (unsigned long i = 0; i < nfds; ++i)
        if (file_for_fd(fds[i].fd)) return true;
    return false;
}

int emulated_ppoll(pollfd *fds, unsigned long n, const timespec *timeout, const sigset_t *sigmask) {
    State &st = state();
    // The real descriptors, emulated ones masked out, and the waker in the last slot.
    std::vector<pollfd> shadow(n + 1);
    const uint64_t start = mono_ns();
    const uint64_t limit = timeout ? uint64_t(timeout->tv_sec) * 1000000000ull + uint64_t(timeout->tv_nsec) : kNever;
    Waker waker;
    bool last_look = limit == 0;
    for (;;) {
        uint64_t change_in = kNever;
        unsigned ready;
        {
            Lock lk(st);
            ready = snapshot(st, fds, n, shadow.data(), &change_in);
            if (!ready && !last_look) {
                if (waker.fd < 0) {
                    waker.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
                    if (waker.fd < 0) return -1;
                }
                st.poll_wakers.push_back(waker.fd);
            }
        }
        if (ready || last_look) {
            // Report the real descriptors as they are now, next to the emulated ones.
            const timespec zero = {0, 0};
            int r = real_ppoll(shadow.data(), n, &zero, nullptr);
            if (r < 0) return -1;
            int count = 0;
            for (unsigned long i = 0; i < n; ++i) {
                if (shadow[i].fd >= 0) fds[i].revents = shadow[i].revents;
                if (fds[i].revents) ++count;
            }
            return count;
        }
        const uint64_t elapsed = mono_ns() - start;
        uint64_t sleep = limit == kNever ? kNever : (limit > elapsed ? limit - elapsed : 0);
        sleep = std::min(sleep, change_in);
        // Other processes of a shared set cannot reach this process's wakers: look again soon.
        if (!st.shared_name.empty()) sleep = std::min<uint64_t>(sleep, kSharedRecheckNs);
        shadow[n] = {waker.fd, POLLIN, 0};
        const timespec ts = to_timespec(sleep == kNever ? 0 : sleep);
        int r = real_ppoll(shadow.data(), n + 1, sleep == kNever ? nullptr : &ts, sigmask);
        int saved = errno;
        {
            Lock lk(st);
            unregister(st, waker.fd);
        }
        if (r < 0) {
            errno = saved;
            return -1;
        }
        waker.drain();
        const bool real_ready = r > (shadow[n].revents ? 1 : 0);
        const uint64_t now_elapsed = mono_ns() - start;
        if (real_ready || (limit != kNever && now_elapsed >= limit)) last_look = true;
    }
}

} // namespace emu
