// Shared between the interposer, the device model and the control entry points.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <time.h>

#include "emuboard.h"

#define EMU_HIDDEN __attribute__((visibility("hidden")))

namespace emu {

struct Range {
    int min_uv, max_uv;
    unsigned flags;
};

enum class Model { Generic, ComediTest };

struct SubdevDesc {
    unsigned type, n_chan, flags, maxdata, len_chanlist;
    const Range *ranges;
    unsigned n_ranges;
    bool lsampl;
    bool has_cmd;  // analog input commands
    bool has_bits; // digital subdevices answer INSN_BITS
};

struct BoardDesc {
    const char *name;
    const char *driver_name;
    const char *board_name;
    Model model;
    std::vector<SubdevDesc> subs;
    int read_subdev, write_subdev;
};

struct File;

struct Cmd {
    unsigned flags = 0;
    unsigned start_src = 0, start_arg = 0, scan_begin_src = 0, scan_begin_arg = 0;
    unsigned convert_src = 0, convert_arg = 0, scan_end_src = 0, scan_end_arg = 0;
    unsigned stop_src = 0, stop_arg = 0;
    std::vector<unsigned> chanlist;
    bool triggered = false; // start fired
    bool running = false;   // acquiring (or armed waiting for its start)
    bool error = false;     // stopped by an overrun
    uint64_t start_ns = 0;
    uint64_t total = 0;     // samples until end of acquisition, 0 = until cancelled
    uint64_t wc = 0;        // samples written into the buffer
    uint64_t rc = 0;        // bytes consumed
    uint64_t cp = 0, sp = 0, first = 0; // convert period, scan period, offset of sample 0
    uint64_t phase_ns = 0;  // comedi_test waveform phase at the start
    bool has_counter = false;
    std::vector<unsigned> counter_pos; // chanlist positions sampling the counter channel
    std::vector<uint8_t> pattern; // INSTANT mode: precomputed scans
};

struct SubState {
    File *busy = nullptr;
    File *lock = nullptr;
    Cmd cmd;
    uint32_t bufsize = 2u << 20;
    std::vector<long long> out_raw; // AO raw values
    std::vector<unsigned> out_range;
    std::vector<double> ao_volt;
    uint64_t dir = 0, latch = 0, ext = 0; // digital lines
};

struct Board {
    const BoardDesc *d = nullptr;
    std::vector<SubState> subs;
    unsigned long long insn_count = 0, cmd_count = 0, counter_reads = 0;
    std::vector<unsigned> ct_loop; // comedi_test ao_loopbacks
};

struct File {
    int fd;
    Board *board;
    int read_subdev, write_subdev;
};

struct Faults {
    int next[EMU_OP_COUNT_] = {};
    unsigned next_skip[EMU_OP_COUNT_] = {}; // calls of op that still succeed before next[op] strikes
    int always[EMU_OP_COUNT_] = {};
    long insnlist_after = -1;
    int insnlist_err = 0;
    long short_read = -1;
    int forced_stage[3] = {-1, -1, -1}; // index 1: next CMDTEST, 2: the one after
};

struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Board> boards;
    std::vector<std::pair<std::string, int>> paths; // path -> board index
    int clock_mode = EMU_CLOCK_REALTIME;
    uint64_t origin_mono = 0;
    uint64_t manual_ns = 0;
    Faults faults;
    int open_count = 0;
    uint32_t default_bufsize = 2u << 20;
    std::vector<int> poll_wakers; // eventfds of poll/select calls sleeping on emulated descriptors
};

EMU_HIDDEN State &state();
EMU_HIDDEN uint64_t now_locked(State &st);
EMU_HIDDEN int board_index_for_path(State &st, const char *path); // -1 if not ours
EMU_HIDDEN Board *board_for(State &st, const char *path);
EMU_HIDDEN void power_on(State &st, Board &b);
// Wakes blocked reads and poll/select callers: something they wait for may have changed.
EMU_HIDDEN void wake_waiters(State &st);

// Device file operations; each returns >= 0 or -errno.
EMU_HIDDEN int dev_open(const char *path, int flags, int *handled);
EMU_HIDDEN int dev_close(int fd, File *f);
EMU_HIDDEN long dev_ioctl(int fd, File *f, unsigned req, void *arg);
EMU_HIDDEN long dev_read(int fd, File *f, void *buf, size_t n);

// Lock-free lookup of an emulated fd, used by the interposer's fast path.
constexpr int kMaxFd = 65536;
EMU_HIDDEN extern std::atomic<File *> g_fds[kMaxFd];
inline File *file_for_fd(int fd) {
    if (fd < 0 || fd >= kMaxFd) return nullptr;
    return g_fds[fd].load(std::memory_order_acquire);
}

// poll(2) on an array holding at least one emulated descriptor; same contract as ppoll(2).
EMU_HIDDEN int emulated_ppoll(struct pollfd *fds, unsigned long nfds, const struct timespec *timeout,
                              const sigset_t *sigmask);
EMU_HIDDEN bool any_emulated(const struct pollfd *fds, unsigned long nfds);

// Real libc entry points.
EMU_HIDDEN int real_close(int fd);
EMU_HIDDEN int real_ppoll(struct pollfd *fds, unsigned long nfds, const struct timespec *timeout,
                          const sigset_t *sigmask);

} // namespace emu
