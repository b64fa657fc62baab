// SPDX-License-Identifier: LGPL-2.1-or-later
// Commands and their buffer: CMDTEST, CMD, CANCEL, POLL, BUFINFO, BUFCONFIG and read(2).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <comedi.h>

#include "core.h"
#include "ring.h"

namespace emu {

namespace {

// Checks shared by CMDTEST and CMD before the driver sees the command.
long cmd_common(File *f, comedi_cmd &c) {
    Board &b = *f->board;
    if (c.subdev >= b.n_subs()) return -ENODEV;
    const SubdevDesc &sd = b.desc(c.subdev);
    if (sd.type == COMEDI_SUBD_UNUSED) return -EIO;
    if (!sd.has_cmd()) return -EIO;
    if (sd.flags & SDF_CMD_WRITE) c.flags |= CMDF_WRITE;
    else c.flags &= ~CMDF_WRITE;
    if (c.chanlist_len > sd.len_chanlist) return -EINVAL;
    return 0;
}

// The kernel memdups the chanlist: the caller may free its copy once CMD returns.
long copy_chanlist(const SubdevDesc &sd, const comedi_cmd &c, unsigned *out) {
    if (!c.chanlist) return -EFAULT;
    memcpy(out, c.chanlist, c.chanlist_len * sizeof *out);
    for (unsigned i = 0; i < c.chanlist_len; ++i)
        if (!chanspec_ok(sd, out[i])) return -EINVAL;
    return 0;
}

uint64_t available(const Board &b, unsigned s) {
    const Cmd &c = b.sub(s).cmd;
    return c.wc * bytes_per_sample(b.desc(s)) - c.rc;
}

} // namespace

long do_cmdtest(State &st, File *f, void *arg) {
    comedi_cmd c;
    memcpy(&c, arg, sizeof c);
    if (long r = cmd_common(f, c)) return r;
    const SubdevDesc &sd = f->board->desc(c.subdev);
    unsigned chanlist[kMaxChanlist];
    const bool has_list = c.chanlist && c.chanlist_len;
    unsigned *user_list = c.chanlist;
    if (has_list)
        if (long r = copy_chanlist(sd, c, chanlist)) return r;
    int stage = sd.ops->do_cmdtest(c, has_list ? chanlist : nullptr);
    c.chanlist = user_list;
    memcpy(arg, &c, sizeof c);
    int *forced = st.faults.forced_stage;
    int f1 = forced[1];
    forced[1] = forced[2];
    forced[2] = -1;
    return f1 >= 0 ? f1 : stage;
}

long do_cmd(State &st, File *f, void *arg) {
    comedi_cmd c;
    memcpy(&c, arg, sizeof c);
    if (long r = cmd_common(f, c)) return r;
    Board &b = *f->board;
    const SubdevDesc &sd = b.desc(c.subdev);
    SubState &ss = b.sub(c.subdev);
    if (ss.lock && ss.lock != f->id) return -EACCES;
    if (ss.busy) return -EBUSY;
    if (c.chanlist_len < 1) return -EINVAL;
    Cmd k = Cmd();
    if (long r = copy_chanlist(sd, c, k.chanlist)) return r;
    unsigned *user_list = c.chanlist;
    int stage = sd.ops->do_cmdtest(c, k.chanlist);
    if (stage != 0 || (c.flags & CMDF_BOGUS)) {
        c.chanlist = user_list;
        c.data = nullptr;
        memcpy(arg, &c, sizeof c);
        return -EAGAIN;
    }
    k.flags = c.flags;
    k.start_src = c.start_src, k.start_arg = c.start_arg;
    k.scan_begin_src = c.scan_begin_src, k.scan_begin_arg = c.scan_begin_arg;
    k.convert_src = c.convert_src, k.convert_arg = c.convert_arg;
    k.scan_end_src = c.scan_end_src, k.scan_end_arg = c.scan_end_arg;
    k.stop_src = c.stop_src, k.stop_arg = c.stop_arg;
    k.len = c.chanlist_len;
    const uint64_t L = k.len;
    k.total = c.stop_src == TRIG_COUNT ? uint64_t(c.stop_arg) * L : 0;
    k.cp = c.convert_src == TRIG_TIMER ? c.convert_arg : 0;
    k.sp = c.scan_begin_src == TRIG_TIMER ? c.scan_begin_arg : k.cp * L;
    if (long r = sd.ops->do_cmd(c, k)) return r;
    if (!ring_ready(st, b, c.subdev)) return -ENOMEM;
    k.serial = ++st.sh->next_serial;
    k.running = true;
    ss.cmd = k;
    ss.busy = f->id;
    b.s->cmd_count++;
    if (c.start_src == TRIG_NOW) start_acquisition(st, b, c.subdev);
    else if (c.start_src == TRIG_EXT) arm_level_start(st, b, c.subdev);
    return 0;
}

long do_cancel(State &st, File *f, unsigned long s) {
    Board &b = *f->board;
    if (s >= b.n_subs() || !b.desc(unsigned(s)).has_cmd()) return -EINVAL;
    SubState &ss = b.sub(unsigned(s));
    if (!ss.busy) return 0;
    if (ss.busy != f->id) return -EBUSY;
    become_nonbusy(st, ss);
    return 0;
}

long do_poll(State &st, File *f, unsigned long s) {
    Board &b = *f->board;
    if (s >= b.n_subs()) return -EINVAL;
    SubState &ss = b.sub(unsigned(s));
    if (!ss.busy) return 0;
    if (ss.busy != f->id) return -EBUSY;
    const auto poll = b.desc(unsigned(s)).ops->poll;
    if (!poll) return -EINVAL;
    return poll(st, b, unsigned(s));
}

long do_bufinfo(State &st, File *f, void *arg) {
    comedi_bufinfo bi;
    memcpy(&bi, arg, sizeof bi);
    Board &b = *f->board;
    if (bi.subdevice >= b.n_subs()) return -EINVAL;
    const SubdevDesc &sd = b.desc(bi.subdevice);
    SubState &ss = b.sub(bi.subdevice);
    if (!sd.has_cmd() || ss.busy != f->id) return -EINVAL;
    update(st, b, bi.subdevice);
    Cmd &c = ss.cmd;
    if (c.flags & CMDF_WRITE) {
        bool nonbusy = false;
        long ret = 0;
        bufinfo_write(st, b, bi.subdevice, bi, &nonbusy, &ret);
        if (nonbusy) become_nonbusy(st, ss);
        if (ret) return ret;
        memcpy(arg, &bi, sizeof bi);
        return 0;
    }
    const uint64_t bps = bytes_per_sample(sd);
    uint64_t avail = available(b, bi.subdevice);
    if (bi.bytes_read) {
        uint64_t n = std::min<uint64_t>(bi.bytes_read, avail);
        c.rc += n;
        bi.bytes_read = unsigned(n);
        avail -= n;
    }
    bool nonbusy = false;
    long ret = 0;
    if (avail == 0 && !c.running && (bi.bytes_read == 0 || !c.error)) {
        nonbusy = true;
        if (c.error) ret = -EPIPE;
    }
    bi.bytes_written = 0;
    uint64_t wcb = c.wc * bps;
    bi.buf_write_count = unsigned(wcb);
    bi.buf_write_ptr = unsigned(wcb % ss.bufsize);
    bi.buf_read_count = unsigned(c.rc);
    bi.buf_read_ptr = unsigned(c.rc % ss.bufsize);
    if (nonbusy) become_nonbusy(st, ss);
    if (ret) return ret;
    memcpy(arg, &bi, sizeof bi);
    return 0;
}

// The kernel checks the new size against the maximum before it rounds it up to whole pages, so
// the maximum itself is accepted and one byte more is refused.
long do_bufconfig(State &st, File *f, void *arg) {
    comedi_bufconfig bc;
    memcpy(&bc, arg, sizeof bc);
    Board &b = *f->board;
    if (bc.subdevice >= b.n_subs()) return -EINVAL;
    SubState &ss = b.sub(bc.subdevice);
    if (!b.desc(bc.subdevice).has_cmd()) {
        bc.size = bc.maximum_size = 0;
    } else {
        if (bc.maximum_size) {
            if (geteuid() != 0) return -EPERM; // CAP_SYS_ADMIN
            ss.max_bufsize = bc.maximum_size;
        }
        if (bc.size) {
            if (bc.size > ss.max_bufsize) return -EPERM;
            if (ss.busy) return -EBUSY;
            if (ring_mappings(st, b, bc.subdevice)) return -EBUSY;
            ss.bufsize = (bc.size + 4095) / 4096 * 4096;
            if (!ring_ready(st, b, bc.subdevice)) return -ENOMEM;
        }
        bc.size = ss.bufsize;
        bc.maximum_size = ss.max_bufsize;
    }
    memcpy(arg, &bc, sizeof bc);
    return 0;
}

// ---- read -----------------------------------------------------------------------------

long dev_read(int fd, File *f, void *buf, size_t n) {
    State &st = state();
    Lock lk(st);
    if (file_for_fd(fd) != f) return -EBADF;
    if (int e = take_fault(st, EMU_OP_READ)) return -e;
    long limit = st.faults.short_read;
    st.faults.short_read = -1;
    for (;;) {
        if (file_for_fd(fd) != f) return -EBADF; // closed while we slept
        Board &b = *f->board;
        int s = f->read_subdev;
        if (s < 0 || !b.desc(unsigned(s)).has_cmd()) return -EIO;
        SubState &ss = b.sub(unsigned(s));
        if (ss.busy != f->id || (ss.cmd.flags & CMDF_WRITE)) return -EINVAL;
        if (n == 0) return 0;
        update(st, b, unsigned(s));
        Cmd &c = ss.cmd;
        uint64_t avail = available(b, unsigned(s));
        if (avail) {
            uint64_t m = std::min<uint64_t>(avail, n);
            if (limit >= 0) m = std::min<uint64_t>(m, uint64_t(limit));
            if (m == 0) return 0;
            materialize_upto(st, b, unsigned(s), c.rc + m);
            ring_get(st, b, unsigned(s), c.rc, static_cast<uint8_t *>(buf), m);
            c.rc += m;
            return long(m);
        }
        if (!c.running) {
            bool err = c.error;
            become_nonbusy(st, ss);
            return err ? -EPIPE : 0;
        }
        int fl = fcntl(fd, F_GETFL);
        if (fl >= 0 && (fl & O_NONBLOCK)) return -EAGAIN;
        if (st.sh->clock_mode == EMU_CLOCK_REALTIME && c.triggered) {
            uint64_t next = sample_time_ns(c, c.wc);
            uint64_t now = now_locked(st);
            uint64_t wait = next > now ? next - now : 0;
            lk.wait_ns(std::min<uint64_t>(wait + 1000, 100000000ull));
        } else {
            lk.wait_ns(100000000ull);
        }
    }
}

} // namespace emu
