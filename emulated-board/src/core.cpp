// SPDX-License-Identifier: LGPL-2.1-or-later
// The Comedi core behind /dev/comediN: opening and releasing files, the information ioctls,
// locks, read/write subdevice selection, and the dispatch of every ioctl.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <comedi.h>

#include "core.h"

namespace emu {

int take_fault(State &st, int op) {
    Faults &f = st.faults;
    if (f.next[op]) {
        if (f.next_skip[op] > 0) {
            --f.next_skip[op];
            return f.always[op];
        }
        int e = f.next[op];
        f.next[op] = 0;
        return e;
    }
    return f.always[op];
}

bool chanspec_ok(const SubdevDesc &sd, unsigned chanspec) {
    return CR_CHAN(chanspec) < sd.n_chan && CR_RANGE(chanspec) < sd.n_ranges;
}

// ---- open / close ---------------------------------------------------------------------

// The kernel numbers /dev/comediN with minor N; comedilib derives the default calibration file
// from that minor. A path mapped as /dev/comediN keeps N; the default paths take the board's
// index, below the kernel's 48 board minors as on a machine with that many boards.
static unsigned device_minor(const char *path, int board) {
    unsigned n = 0;
    int used = 0;
    const size_t prefix = strlen("/dev/comedi");
    if (strncmp(path, "/dev/comedi", prefix) == 0 && path[prefix] >= '0' && path[prefix] <= '9' &&
        sscanf(path, "/dev/comedi%u%n", &n, &used) == 1 && path[used] == 0)
        return n;
    return unsigned(board);
}

int dev_open(const char *path, int flags, int *handled) {
    *handled = 0;
    if (!path || path[0] != '/') return 0;
    State &st = state();
    Lock lk(st);
    int bi = board_index_for_path(st, path);
    if (bi < 0) return 0;
    *handled = 1;
    if (int e = take_fault(st, EMU_OP_OPEN)) return -e;
    int efl = 0;
    if (flags & O_CLOEXEC) efl |= EFD_CLOEXEC;
    if (flags & O_NONBLOCK) efl |= EFD_NONBLOCK;
    // A real descriptor keeps numbers unique and lets fcntl/O_NONBLOCK work natively.
    int fd = eventfd(0, efl);
    if (fd < 0) return -errno;
    if (fd >= kMaxFd) {
        real_close(fd);
        return -EMFILE;
    }
    Board &b = st.boards[bi];
    const Owner id = (Owner(uint32_t(getpid())) << 32) | ++st.next_file;
    File *f = new File{fd, id, &b, b.d->read_subdev, b.d->write_subdev, device_minor(path, bi)};
    g_fds[fd].store(f, std::memory_order_release);
    st.open_count++;
    return fd;
}

int dev_close(int fd, File *f) {
    State &st = state();
    Lock lk(st);
    if (file_for_fd(fd) != f) return -EBADF; // lost a race with another close
    Board &b = *f->board;
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        SubState &ss = b.sub(i);
        if (ss.busy == f->id) become_nonbusy(st, ss);
        if (ss.lock == f->id) ss.lock = kNobody;
    }
    g_fds[fd].store(nullptr, std::memory_order_release);
    st.open_count--;
    // Closed before the waiters wake: a poll that finds the number real again must see it
    // closed (POLLNVAL), not sleep on the eventfd still behind it.
    int r = real_close(fd);
    int err = errno;
    wake_waiters(st);
    // Every user of a File revalidates it against g_fds under the lock before touching it.
    delete f;
    return r < 0 ? -err : 0;
}

// ---- information ----------------------------------------------------------------------

namespace {

long do_devinfo(File *f, void *arg) {
    comedi_devinfo di;
    memset(&di, 0, sizeof di);
    const BoardDesc &d = *f->board->d;
    di.version_code = 0x00074c;
    di.n_subdevs = unsigned(d.subs.size());
    strncpy(di.driver_name, d.driver_name, sizeof di.driver_name - 1);
    strncpy(di.board_name, d.board_name, sizeof di.board_name - 1);
    di.read_subdevice = f->read_subdev;
    di.write_subdevice = f->write_subdev;
    memcpy(arg, &di, sizeof di);
    return 0;
}

long do_subdinfo(State &st, File *f, void *arg) {
    Board &b = *f->board;
    auto *out = static_cast<comedi_subdinfo *>(arg);
    for (unsigned i = 0; i < b.n_subs(); ++i) {
        const SubdevDesc &sd = b.desc(i);
        update(st, b, i);
        const SubState &ss = b.sub(i);
        comedi_subdinfo si;
        memset(&si, 0, sizeof si);
        si.type = sd.type;
        si.n_chan = sd.n_chan;
        si.subd_flags = sd.flags;
        if (ss.busy) si.subd_flags |= SDF_BUSY;
        if (ss.busy == f->id) si.subd_flags |= SDF_BUSY_OWNER;
        if (ss.busy && ss.cmd.running) si.subd_flags |= SDF_RUNNING;
        if (ss.lock) si.subd_flags |= SDF_LOCKED;
        if (ss.lock == f->id) si.subd_flags |= SDF_LOCK_OWNER;
        si.timer_type = 5;
        si.len_chanlist = sd.len_chanlist;
        si.maxdata = sd.maxdata;
        si.flags = 0;
        si.range_type = (i << 24) | sd.n_ranges;
        si.insn_bits_support = sd.has_bits() ? COMEDI_SUPPORTED : COMEDI_UNSUPPORTED;
        memcpy(&out[i], &si, sizeof si);
    }
    return 0;
}

long do_chaninfo(File *f, void *arg) {
    comedi_chaninfo ci;
    memcpy(&ci, arg, sizeof ci);
    if (ci.subdev >= f->board->n_subs()) return -EINVAL;
    // Every table here is per subdevice; per-channel lists do not exist, and flag lists
    // are refused by the core anyway.
    if (ci.maxdata_list) return -EINVAL;
    if (ci.flaglist) return -EINVAL;
    if (ci.rangelist) return -EINVAL;
    return 0;
}

long do_rangeinfo(File *f, void *arg) {
    comedi_rangeinfo ri;
    memcpy(&ri, arg, sizeof ri);
    unsigned subd = (ri.range_type >> 24) & 0xf;
    if (subd >= f->board->n_subs()) return -EINVAL;
    const SubdevDesc &sd = f->board->desc(subd);
    if (RANGE_LENGTH(ri.range_type) != sd.n_ranges) return -EINVAL;
    auto *kr = static_cast<comedi_krange *>(ri.range_ptr);
    for (unsigned i = 0; i < sd.n_ranges; ++i) {
        comedi_krange k = {sd.ranges[i].min_uv, sd.ranges[i].max_uv, sd.ranges[i].flags};
        memcpy(&kr[i], &k, sizeof k);
    }
    return 0;
}

// ---- subdevice selection and locks ----------------------------------------------------

long do_setrsubd(File *f, unsigned long s, bool read_dir) {
    Board &b = *f->board;
    if (s >= b.n_subs()) return -EINVAL;
    const SubdevDesc &sd = b.desc(unsigned(s));
    if (!sd.has_cmd() || !(sd.flags & (read_dir ? SDF_CMD_READ : SDF_CMD_WRITE))) return -EINVAL;
    int &cur = read_dir ? f->read_subdev : f->write_subdev;
    if (cur >= 0 && b.sub(unsigned(cur)).busy == f->id) return -EBUSY;
    cur = int(s);
    return 0;
}

long do_lock(File *f, unsigned long s, bool lock) {
    Board &b = *f->board;
    if (s >= b.n_subs()) return -EINVAL;
    SubState &ss = b.sub(unsigned(s));
    if (lock) {
        if (ss.busy || ss.lock) return -EBUSY;
        ss.lock = f->id;
        return 0;
    }
    if (ss.busy) return -EBUSY;
    if (ss.lock && ss.lock != f->id) return -EACCES;
    ss.lock = kNobody;
    return 0;
}

} // namespace

// ---- dispatch -------------------------------------------------------------------------

long dev_ioctl(int fd, File *f, unsigned req, void *arg) {
    State &st = state();
    Lock lk(st);
    if (file_for_fd(fd) != f) return -EBADF;
    reap_dead_owners(st, *f->board);
    auto fault = [&](int op) { return take_fault(st, op); };
    unsigned long a = reinterpret_cast<unsigned long>(arg);
    switch (req) {
    case COMEDI_DEVINFO: if (int e = fault(EMU_OP_DEVINFO)) return -e; return do_devinfo(f, arg);
    case COMEDI_SUBDINFO: if (int e = fault(EMU_OP_SUBDINFO)) return -e; return do_subdinfo(st, f, arg);
    case COMEDI_CHANINFO: if (int e = fault(EMU_OP_CHANINFO)) return -e; return do_chaninfo(f, arg);
    case COMEDI_RANGEINFO: if (int e = fault(EMU_OP_RANGEINFO)) return -e; return do_rangeinfo(f, arg);
    case COMEDI_INSN: if (int e = fault(EMU_OP_INSN)) return -e; return do_insn(st, f, arg);
    case COMEDI_INSNLIST: if (int e = fault(EMU_OP_INSNLIST)) return -e; return do_insnlist(st, f, arg);
    case COMEDI_CMDTEST: if (int e = fault(EMU_OP_CMDTEST)) return -e; return do_cmdtest(st, f, arg);
    case COMEDI_CMD: if (int e = fault(EMU_OP_CMD)) return -e; return do_cmd(st, f, arg);
    case COMEDI_CANCEL: if (int e = fault(EMU_OP_CANCEL)) return -e; return do_cancel(st, f, a);
    case COMEDI_POLL: if (int e = fault(EMU_OP_POLL)) return -e; return do_poll(st, f, a);
    case COMEDI_BUFINFO: if (int e = fault(EMU_OP_BUFINFO)) return -e; return do_bufinfo(st, f, arg);
    case COMEDI_BUFCONFIG: return do_bufconfig(st, f, arg);
    case COMEDI_SETRSUBD: return do_setrsubd(f, a, true);
    case COMEDI_SETWSUBD: return do_setrsubd(f, a, false);
    case COMEDI_LOCK: return do_lock(f, a, true);
    case COMEDI_UNLOCK: return do_lock(f, a, false);
    default: return -ENOTTY;
    }
}

} // namespace emu
