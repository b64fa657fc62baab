// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared between the interposer, the Comedi core model, the board drivers and the control API.
//
// What a board is (BoardDesc, SubdevDesc and the driver's SubdevOps) lives in the process. What a
// board does (BoardState: busy owners, commands, outputs, counters) is plain data without
// pointers, so that one board set can sit in memory that several processes share.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <time.h>
#include <vector>

#include <comedi.h>

#include "emuboard.h"

#define EMU_HIDDEN __attribute__((visibility("hidden")))

namespace emu {

constexpr unsigned kMaxSubdevs = 4;
constexpr unsigned kMaxChanlist = 256; // the longest len_chanlist of any board
constexpr unsigned kMaxOutChan = 8;    // the widest analog output
constexpr uint32_t kDefaultBufSize = 2u << 20;
constexpr uint32_t kDefaultMaxBufSize = 20u << 20;

struct Range {
    int min_uv, max_uv;
    unsigned flags;
};

struct State;
struct Board;
struct SubdevDesc;
struct Cmd;

// A driver's handlers for one subdevice, as a kernel driver fills in struct comedi_subdevice.
// A null instruction handler makes the core answer EINVAL; digital subdevices leave read and
// write null and the core emulates them through insn_bits. A null do_cmdtest means no command
// support (EIO); a null poll makes COMEDI_POLL fail with EINVAL while a command runs.
struct SubdevOps {
    long (*insn_read)(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data) = nullptr;
    long (*insn_write)(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data) = nullptr;
    // Lines [base, base+32): data[0] mask, data[1] new outputs in, all line states out.
    void (*insn_bits)(Board &b, unsigned s, unsigned base, unsigned *data) = nullptr;
    long (*insn_config)(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data) = nullptr;
    int (*do_cmdtest)(comedi_cmd &c, const unsigned *chanlist) = nullptr;
    // Refusals after a passed test and the driver's timing: fills `first` (and the counter
    // positions) of the accepted command. 0 or -errno.
    long (*do_cmd)(const comedi_cmd &c, Cmd &k) = nullptr;
    void (*on_start)(Cmd &k) = nullptr; // acquisition starts (start_ns is set)
    long (*poll)(State &st, Board &b, unsigned s) = nullptr;
    // Stream sample k of the command and the time its value is computed at.
    unsigned (*sample)(const Board &b, const SubdevDesc &sd, const Cmd &c, uint64_t k) = nullptr;
    uint64_t (*signal_time)(const Cmd &c, uint64_t k) = nullptr;
    // What emu_expected_raw predicts for an instruction-style conversion.
    long long (*expected)(const Board &b, const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_ns,
                          uint64_t index) = nullptr;
    // A converter with an error of its own (a board calibrated in software): the code of a voltage
    // (ADC) and the voltage of a code (DAC). Null: the ideal transfers of signals.cpp.
    unsigned (*adc)(double v, const SubdevDesc &sd, unsigned range) = nullptr;
    double (*dac)(unsigned raw, const SubdevDesc &sd, unsigned range) = nullptr;
};

struct SubdevDesc {
    unsigned type, n_chan, flags, maxdata, len_chanlist;
    const Range *ranges;
    unsigned n_ranges;
    bool lsampl;
    const SubdevOps *ops;
    long long out_power_on = -1; // analog outputs: code at power-on, -1 for the code of 0 V
    bool has_cmd() const { return ops->do_cmdtest != nullptr; }
    bool has_bits() const { return ops->insn_bits != nullptr; }
};

struct BoardDesc {
    const char *name;
    const char *driver_name;
    const char *board_name;
    std::vector<SubdevDesc> subs;
    int read_subdev, write_subdev;
    bool rc_on_ao0 = false; // AO0 also drives the first-order low-pass one input reads
};

// Who holds a subdevice: the pid in the high half, the process's own file number in the low half.
using Owner = uint64_t;
constexpr Owner kNobody = 0;

struct Cmd {
    unsigned flags;
    unsigned start_src, start_arg, scan_begin_src, scan_begin_arg;
    unsigned convert_src, convert_arg, scan_end_src, scan_end_arg;
    unsigned stop_src, stop_arg;
    unsigned len;                     // chanlist length
    unsigned chanlist[kMaxChanlist];
    bool triggered; // start fired
    bool running;   // acquiring (or armed waiting for its start)
    bool error;     // stopped by an overrun
    uint64_t serial;   // tells commands apart for the caches each process keeps
    uint64_t start_ns;
    uint64_t total;    // samples until end of acquisition, 0 = until cancelled
    uint64_t wc;       // samples written into the buffer
    uint64_t rc;       // bytes consumed
    uint64_t filled;   // stream bytes written into the ring so far
    uint64_t cp, sp, first; // convert period, scan period, offset of sample 0
    uint64_t phase_ns;      // comedi_test waveform phase at the start
    unsigned n_counter;     // chanlist positions sampling the counter channel
    uint16_t counter_pos[kMaxChanlist];
    // Output commands (CMDF_WRITE): the user's write count and the scans the DAC has taken.
    uint64_t wr;
    uint64_t scans_out;
    uint64_t last_edge_ns;  // external scan clock: time of the latest scan edge
    bool reads_outputs;     // input command whose samples depend on the outputs (loopback)
};

struct SubState {
    Owner busy, lock;
    Cmd cmd;
    uint32_t bufsize, max_bufsize;
    uint32_t mapped; // mappings of the ring, by every process of the set
    long long out_raw[kMaxOutChan]; // analog outputs
    unsigned out_range[kMaxOutChan];
    double ao_volt[kMaxOutChan];
    uint64_t dir, latch, ext; // digital lines
    uint64_t last_scans_out;  // scans the last output command of this subdevice took
};

// A level change of a digital input line at an emulated instant, not yet reached by the clock.
struct LineEvent {
    uint64_t t_ns;
    unsigned line;
    bool level;
};
constexpr unsigned kMaxLineEvents = 256;

struct BoardState {
    SubState subs[kMaxSubdevs];
    unsigned long long insn_count, cmd_count, counter_reads;
    LineEvent events[kMaxLineEvents]; // in time order
    unsigned n_events;
    // The first-order low-pass behind the rig's filtered channel: its output rc_y at rc_t,
    // and the input (AO0) it has followed since.
    double rc_y, rc_u;
    uint64_t rc_t;
};

// A board as the code sees it: what it is, and where its state lives.
struct Board {
    const BoardDesc *d;
    BoardState *s;
    unsigned n_subs() const { return unsigned(d->subs.size()); }
    const SubdevDesc &desc(unsigned i) const { return d->subs[i]; }
    SubState &sub(unsigned i) const { return s->subs[i]; }
};

struct File {
    int fd;
    Owner id;
    Board *board;
    int read_subdev, write_subdev;
    unsigned minor; // what fstat reports in st_rdev, as for the kernel's /dev/comediN
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

// The boards of the set: every kind once, and the copies that VORN_EMU_MAP names.
constexpr unsigned kMaxBoards = 32;

// The part of the state that every process of a shared board set sees.
struct Shared {
    std::atomic<uint32_t> ready; // a shared set: sizeof(Shared) once its creator has set it up
    pthread_mutex_t mu; // robust, process-shared when shared
    pthread_cond_t cv;  // CLOCK_MONOTONIC
    BoardState boards[kMaxBoards];
    int clock_mode;
    uint64_t origin_mono;
    uint64_t manual_ns;
    uint32_t default_bufsize;
    uint64_t next_serial;
    // Inside an instruction list, the instant its instructions run at (0: none running).
    uint64_t list_now;
    bool in_list;
};

struct State {
    Shared *sh = nullptr;
    std::string shared_name; // VORN_EMU_SHARED, empty for a board set of this process alone
    std::vector<Board> boards;
    std::vector<std::pair<std::string, int>> paths; // path -> board index
    std::vector<std::pair<std::string, int>> copies; // "multi#2" -> board index (VORN_EMU_MAP)
    Faults faults;
    int open_count = 0;
    uint32_t next_file = 0;
    std::vector<int> poll_wakers; // eventfds of poll/select calls sleeping on emulated descriptors
};

// The state mutex; a holder that died leaves the state as it was, which is taken as it is.
class Lock {
public:
    explicit Lock(State &st);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    // Sleeps at most ns (or until woken); the mutex is held again on return.
    void wait_ns(uint64_t ns);

private:
    State &st_;
};

EMU_HIDDEN const std::vector<BoardDesc> &board_descs();
EMU_HIDDEN State &state();
EMU_HIDDEN uint64_t mono_ns();
EMU_HIDDEN uint64_t now_locked(State &st);
EMU_HIDDEN int board_index_for_path(State &st, const char *path); // -1 if not ours
EMU_HIDDEN Board *board_for(State &st, const char *path);
// A shared set: frees what processes that died held (their commands and locks).
EMU_HIDDEN void reap_dead_owners(State &st, Board &b);
EMU_HIDDEN void power_on(State &st, Board &b);
// Wakes blocked reads and poll/select callers: something they wait for may have changed.
EMU_HIDDEN void wake_waiters(State &st);

// Device file operations; each returns >= 0 or -errno.
EMU_HIDDEN int dev_open(const char *path, int flags, int *handled);
EMU_HIDDEN int dev_close(int fd, File *f);
EMU_HIDDEN long dev_ioctl(int fd, File *f, unsigned req, void *arg);
EMU_HIDDEN long dev_read(int fd, File *f, void *buf, size_t n);
EMU_HIDDEN long dev_write(int fd, File *f, const void *buf, size_t n);

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
// close(2) of fd: it leaves the epoll interest lists kept for emulated descriptors.
EMU_HIDDEN void forget_epoll(int fd);

// Real libc entry points.
EMU_HIDDEN int real_close(int fd);
EMU_HIDDEN void *real_mmap(void *addr, size_t len, int prot, int flags, int fd, long off);
EMU_HIDDEN int real_munmap(void *addr, size_t len);
EMU_HIDDEN int real_ppoll(struct pollfd *fds, unsigned long nfds, const struct timespec *timeout,
                          const sigset_t *sigmask);

} // namespace emu
