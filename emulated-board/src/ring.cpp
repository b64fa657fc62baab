// SPDX-License-Identifier: LGPL-2.1-or-later
// The ring memory behind each subdevice buffer. Private board sets keep it in a memfd, shared
// ones in a POSIX shared memory object that every process of the set maps; each process holds
// its own view, resized when the buffer size changes.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "device.h"
#include "ring.h"

namespace emu {

std::atomic<int> g_ring_mappings{0};

namespace {

constexpr uint64_t kPage = 4096;

uint64_t page_round(uint64_t n) { return (n + kPage - 1) / kPage * kPage; }

struct View {
    int fd = -1;
    uint8_t *mem = nullptr;
    uint64_t size = 0;
};

struct Mapping {
    uintptr_t addr;
    size_t len;
    unsigned slot;
};

// Guarded by the state lock; never destroyed, like the state.
std::vector<View> &views() {
    static auto *v = new std::vector<View>(kMaxBoards * kMaxSubdevs);
    return *v;
}
std::vector<Mapping> &mappings() {
    static auto *m = new std::vector<Mapping>();
    return *m;
}

unsigned slot_of(const State &st, const Board &b, unsigned s) {
    return unsigned(b.s - st.sh->boards) * kMaxSubdevs + s;
}

int open_ring(const State &st, unsigned slot) {
    if (st.shared_name.empty()) return memfd_create("vornemu-ring", MFD_CLOEXEC);
    std::string name = "/vornemu-" + st.shared_name + "-ring" + std::to_string(slot);
    return shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

View *view(State &st, const Board &b, unsigned s) {
    View &v = views()[slot_of(st, b, s)];
    const uint64_t want = page_round(b.sub(s).bufsize);
    if (v.fd >= 0 && v.size == want) return &v;
    if (v.fd < 0) {
        v.fd = open_ring(st, slot_of(st, b, s));
        if (v.fd < 0) return nullptr;
    }
    if (v.mem) real_munmap(v.mem, v.size);
    v.mem = nullptr;
    v.size = 0;
    if (ftruncate(v.fd, off_t(want)) != 0) return nullptr;
    void *p = real_mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_SHARED, v.fd, 0);
    if (p == MAP_FAILED) return nullptr;
    v.mem = static_cast<uint8_t *>(p);
    v.size = want;
    return &v;
}

} // namespace

bool ring_ready(State &st, const Board &b, unsigned s) { return view(st, b, s) != nullptr; }

void ring_put(State &st, const Board &b, unsigned s, uint64_t pos, const uint8_t *src, uint64_t n) {
    View *v = view(st, b, s);
    if (!v) return;
    const uint64_t size = b.sub(s).bufsize;
    while (n) {
        uint64_t off = pos % size, m = std::min(n, size - off);
        memcpy(v->mem + off, src, m);
        pos += m, src += m, n -= m;
    }
}

void ring_get(State &st, const Board &b, unsigned s, uint64_t pos, uint8_t *dst, uint64_t n) {
    View *v = view(st, b, s);
    if (!v) {
        memset(dst, 0, n);
        return;
    }
    const uint64_t size = b.sub(s).bufsize;
    while (n) {
        uint64_t off = pos % size, m = std::min(n, size - off);
        memcpy(dst, v->mem + off, m);
        pos += m, dst += m, n -= m;
    }
}

unsigned ring_mappings(const State &st, const Board &b, unsigned s) {
    unsigned slot = slot_of(st, b, s), n = 0;
    for (const Mapping &m : mappings()) n += m.slot == slot;
    return n;
}

// comedi_mmap: a writable mapping is of the write subdevice, any other of the read subdevice;
// offset 0 only, at most the buffer's size.
long dev_mmap(File *f, void *addr, size_t len, int prot, int flags, long off, void **out) {
    State &st = state();
    Lock lk(st);
    if (file_for_fd(f->fd) != f) return -EBADF;
    Board &b = *f->board;
    const int s = (prot & PROT_WRITE) ? f->write_subdev : f->read_subdev;
    if (s < 0 || !b.desc(unsigned(s)).has_cmd()) return -EINVAL;
    if (off != 0) return -EINVAL;
    if (len == 0) return -EINVAL;
    if (page_round(len) > page_round(b.sub(unsigned(s)).bufsize)) return -EFAULT;
    View *v = view(st, b, unsigned(s));
    if (!v) return -ENOMEM;
    void *p = real_mmap(addr, len, prot, flags, v->fd, 0);
    if (p == MAP_FAILED) return -errno;
    mappings().push_back({reinterpret_cast<uintptr_t>(p), size_t(page_round(len)), slot_of(st, b, unsigned(s))});
    SubState &ss = b.sub(unsigned(s));
    ss.mapped++;
    // What is buffered already becomes visible through the new mapping.
    if (ss.busy && !(ss.cmd.flags & CMDF_WRITE)) materialize_upto(st, b, unsigned(s), ss.cmd.wc * bytes_per_sample(b.desc(unsigned(s))));
    g_ring_mappings.fetch_add(1, std::memory_order_relaxed);
    *out = p;
    return 0;
}

void forget_mappings(void *addr, size_t len) {
    State &st = state();
    Lock lk(st);
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr), z = a + page_round(len);
    auto &ms = mappings();
    for (size_t i = 0; i < ms.size();) {
        // Any page of a mapping unmapped counts as the whole mapping gone.
        if (ms[i].addr < z && a < ms[i].addr + ms[i].len) {
            SubState &ss = st.sh->boards[ms[i].slot / kMaxSubdevs].subs[ms[i].slot % kMaxSubdevs];
            if (ss.mapped) ss.mapped--;
            ms.erase(ms.begin() + long(i));
            g_ring_mappings.fetch_sub(1, std::memory_order_relaxed);
        } else {
            ++i;
        }
    }
}

} // namespace emu
