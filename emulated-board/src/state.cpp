// SPDX-License-Identifier: LGPL-2.1-or-later
// The state of the board set, its lock, the emulated clock and the paths that reach each board.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device.h"

namespace emu {

std::atomic<File *> g_fds[kMaxFd];

namespace {

// The board index of copy `copy` ("multi#2") of board kind `kind`, made at power-on state the
// first time it is named; -1 when it cannot be made.
int board_copy(State &st, const std::string &copy, int kind) {
    for (auto &named : st.copies)
        if (named.first == copy) return named.second;
    if (!st.shared_name.empty()) {
        fprintf(stderr, "vornemu: VORN_EMU_MAP copy '%s': copies are for a board set of one process\n",
                copy.c_str());
        return -1;
    }
    if (st.boards.size() >= kMaxBoards) {
        fprintf(stderr, "vornemu: VORN_EMU_MAP copy '%s': no more than %u boards\n", copy.c_str(), kMaxBoards);
        return -1;
    }
    const int idx = int(st.boards.size());
    // Within the capacity reserved by attach_boards: open files keep pointers to the boards.
    st.boards.push_back(Board{&board_descs()[size_t(kind)], &st.sh->boards[idx]});
    power_on(st, st.boards.back());
    st.copies.push_back({copy, idx});
    return idx;
}

// VORN_EMU_MAP="/dev/comedi0=multi,/dev/comedi1=comedi_test,/dev/comedi2=multi#2"
void parse_map(State &st, const char *env) {
    std::string s(env);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t end = s.find(',', pos);
        if (end == std::string::npos) end = s.size();
        std::string item = s.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            fprintf(stderr, "vornemu: VORN_EMU_MAP entry '%s' is not PATH=BOARD\n", item.c_str());
            continue;
        }
        std::string path = item.substr(0, eq), name = item.substr(eq + 1);
        // BOARD#N: copy N of the board, a board of the same kind with a state of its own.
        const size_t hash = name.find('#');
        const std::string copy = hash == std::string::npos ? std::string() : name;
        if (hash != std::string::npos) name.resize(hash);
        int idx = -1;
        for (size_t i = 0; i < board_descs().size(); ++i)
            if (name == board_descs()[i].name) idx = int(i);
        if (idx < 0) {
            fprintf(stderr, "vornemu: VORN_EMU_MAP names unknown board '%s'\n", name.c_str());
            continue;
        }
        if (!copy.empty()) {
            idx = board_copy(st, copy, idx);
            if (idx < 0) continue;
        }
        st.paths.insert(st.paths.begin(), {path, idx}); // later entries for a path win
    }
}

void init_sync(Shared &sh, bool process_shared) {
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    if (process_shared) pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&sh.mu, &ma);
    pthread_mutexattr_destroy(&ma);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    if (process_shared) pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_cond_init(&sh.cv, &ca);
    pthread_condattr_destroy(&ca);
}

// A fresh board set at power-on, its clock starting now.
void init_shared(State &st, bool process_shared) {
    Shared &sh = *st.sh;
    init_sync(sh, process_shared);
    sh.clock_mode = EMU_CLOCK_REALTIME;
    sh.origin_mono = mono_ns();
    sh.default_bufsize = kDefaultBufSize;
    for (Board &b : st.boards) power_on(st, b);
}

void attach_boards(State &st) {
    const auto &descs = board_descs();
    st.boards.reserve(kMaxBoards);
    st.boards.resize(descs.size());
    for (size_t i = 0; i < descs.size(); ++i) {
        st.boards[i] = Board{&descs[i], &st.sh->boards[i]};
        st.paths.push_back({std::string("/dev/comedi-emu/") + descs[i].name, int(i)});
    }
}

bool valid_set_name(const char *n) {
    if (!*n || strlen(n) > 200) return false;
    for (const char *p = n; *p; ++p)
        if (!isalnum((unsigned char)*p) && *p != '-' && *p != '_' && *p != '.') return false;
    return true;
}

// VORN_EMU_SHARED=NAME: the board set lives in the POSIX shared memory object /vornemu-NAME,
// created and set up by the first process that asks, mapped by every later one.
Shared *attach_shared_set(State &st, const char *name) {
    const std::string path = "/vornemu-" + std::string(name);
    bool creator = true;
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        creator = false;
        fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    }
    if (fd < 0) return nullptr;
    if (creator && ftruncate(fd, sizeof(Shared)) != 0) {
        real_close(fd);
        return nullptr;
    }
    // The creator may not have sized the object yet. One that stays short (its creator died
    // before sizing it, another build made it, a user made it by hand) must not be mapped:
    // touching the pages past its end would kill this process with SIGBUS.
    struct stat sb = {};
    bool sized = false;
    for (int i = 0; i < 2000; ++i) {
        sized = fstat(fd, &sb) == 0 && size_t(sb.st_size) >= sizeof(Shared);
        if (sized) break;
        usleep(1000);
    }
    if (!sized) {
        fprintf(stderr, "vornemu: /dev/shm%s holds %lld bytes, not a board set of this build (%zu bytes)\n",
                path.c_str(), (long long)sb.st_size, sizeof(Shared));
        real_close(fd);
        errno = EINVAL;
        return nullptr;
    }
    void *p = real_mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    real_close(fd);
    if (p == MAP_FAILED) return nullptr;
    auto *sh = static_cast<Shared *>(p);
    st.sh = sh;
    st.shared_name = name;
    attach_boards(st);
    if (creator) {
        init_shared(st, true);
        sh->ready.store(sizeof(Shared), std::memory_order_release);
        return sh;
    }
    for (int i = 0; i < 5000 && sh->ready.load(std::memory_order_acquire) == 0; ++i) usleep(1000);
    if (sh->ready.load(std::memory_order_acquire) == sizeof(Shared)) return sh;
    // Made by another build of this library, or its creator died setting it up.
    fprintf(stderr, "vornemu: /dev/shm%s was not set up by this build of the library\n", path.c_str());
    errno = EINVAL;
    real_munmap(p, sizeof(Shared));
    st.sh = nullptr;
    st.boards.clear();
    st.paths.clear();
    st.shared_name.clear();
    return nullptr;
}

State *make_state() {
    State *st = new State();
    const char *set = getenv("VORN_EMU_SHARED");
    if (set && *set) {
        if (!valid_set_name(set))
            fprintf(stderr, "vornemu: VORN_EMU_SHARED '%s' is not a name of letters, digits, '-', '_', '.'\n", set);
        else if (!attach_shared_set(*st, set))
            fprintf(stderr, "vornemu: cannot use the shared board set '%s' (%s); this process keeps its own\n", set,
                    strerror(errno));
    }
    if (!st->sh) {
        st->sh = new Shared();
        attach_boards(*st);
        init_shared(*st, false);
    }
    if (const char *m = getenv("VORN_EMU_MAP")) parse_map(*st, m);
    return st;
}

} // namespace

// Never destroyed: JVM threads and atexit handlers may still close descriptors after static
// destructors have run.
State &state() {
    static State *st = make_state();
    return *st;
}

Lock::Lock(State &st) : st_(st) {
    // A holder that died mid-update leaves fields as plain values; they stay usable.
    if (pthread_mutex_lock(&st_.sh->mu) == EOWNERDEAD) pthread_mutex_consistent(&st_.sh->mu);
}

Lock::~Lock() { pthread_mutex_unlock(&st_.sh->mu); }

void Lock::wait_ns(uint64_t ns) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t t = uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec) + ns;
    ts = {time_t(t / 1000000000ull), long(t % 1000000000ull)};
    if (pthread_cond_timedwait(&st_.sh->cv, &st_.sh->mu, &ts) == EOWNERDEAD) pthread_mutex_consistent(&st_.sh->mu);
}

uint64_t mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

uint64_t now_locked(State &st) {
    if (st.sh->clock_mode == EMU_CLOCK_MANUAL) return st.sh->manual_ns;
    uint64_t m = mono_ns();
    return m >= st.sh->origin_mono ? m - st.sh->origin_mono : 0;
}

int board_index_for_path(State &st, const char *path) {
    for (auto &p : st.paths)
        if (p.first == path) return p.second;
    return -1;
}

Board *board_for(State &st, const char *path) {
    if (!path) return nullptr;
    int i = board_index_for_path(st, path);
    if (i < 0)
        for (size_t k = 0; k < st.boards.size() && i < 0; ++k) // the board itself, not a copy
            if (strcmp(st.boards[k].d->name, path) == 0) i = int(k);
    if (i < 0) return nullptr;
    reap_dead_owners(st, st.boards[i]);
    return &st.boards[i];
}

namespace {

// Dead, or a zombie nobody has waited for yet: either way its files are gone.
bool process_gone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    char path[64], buf[256];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = fopen(path, "re");
    if (!f) return false;
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char *close_paren = strrchr(buf, ')'); // the name may hold anything
    return close_paren && close_paren[1] == ' ' && close_paren[2] == 'Z';
}

bool held_by_dead(Owner o) {
    if (o == kNobody) return false;
    const pid_t pid = pid_t(o >> 32);
    return pid != getpid() && process_gone(pid);
}

} // namespace

void reap_dead_owners(State &st, Board &b) {
    if (st.shared_name.empty()) return;
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        SubState &ss = b.sub(i);
        if (held_by_dead(ss.busy)) become_nonbusy(st, ss);
        if (held_by_dead(ss.lock)) ss.lock = kNobody;
    }
}

} // namespace emu
