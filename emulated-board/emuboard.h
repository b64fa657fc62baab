// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * emuboard.h - control API of the emulated Comedi board (libvornemu.so).
 *
 * libvornemu interposes open/close/ioctl/read so that the unmodified comedilib talks to
 * emulated boards instead of a kernel driver. This header lets tests steer and inspect the
 * emulation: clock, injected faults, output state, counters.
 *
 * Boards are named by any path that reaches them: the default paths below, a path mapped
 * through VORN_EMU_MAP, or the bare board name ("multi", "ai18", ...). Functions taking a
 * path return -1 (or 0 for counts) when the path names no board.
 *
 * Every function is thread-safe and may be called at any time, also before any open.
 */
#ifndef VORN_EMUBOARD_H
#define VORN_EMUBOARD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Default device paths. They live outside /dev/comediN so they never shadow real hardware. */
#define EMU_BOARD_MULTI       "/dev/comedi-emu/multi"
#define EMU_BOARD_AI18        "/dev/comedi-emu/ai18"
#define EMU_BOARD_NOCMD       "/dev/comedi-emu/nocmd"
#define EMU_BOARD_DO_ONLY     "/dev/comedi-emu/do-only"
#define EMU_BOARD_DIO64       "/dev/comedi-emu/dio64"
#define EMU_BOARD_DI16        "/dev/comedi-emu/di16"
#define EMU_BOARD_COMEDI_TEST "/dev/comedi-emu/comedi_test"
#define EMU_BOARD_RIG         "/dev/comedi-emu/rig"
#define EMU_BOARD_SOFTCAL     "/dev/comedi-emu/softcal"

/* Clock modes. REALTIME follows CLOCK_MONOTONIC; MANUAL only moves when told to;
 * INSTANT makes streaming data always available (for benchmarks). */
enum emu_clock_mode {
    EMU_CLOCK_REALTIME = 0,
    EMU_CLOCK_MANUAL = 1,
    EMU_CLOCK_INSTANT = 2
};

/* Operations that can be made to fail. */
enum emu_op {
    EMU_OP_OPEN = 0,
    EMU_OP_DEVINFO,
    EMU_OP_SUBDINFO,
    EMU_OP_CHANINFO,
    EMU_OP_RANGEINFO,
    EMU_OP_INSN,
    EMU_OP_INSNLIST,
    EMU_OP_CMDTEST,
    EMU_OP_CMD,
    EMU_OP_CANCEL,
    EMU_OP_POLL,
    EMU_OP_BUFINFO,
    EMU_OP_READ,
    EMU_OP_COUNT_ /* number of operations, not an operation */
};

/* ---- lifecycle and clock ---------------------------------------------------------- */

/* Power-on state for every board: outputs and DIO lines back to defaults, commands dropped
 * (open files stay open but own nothing), faults cleared, counters zeroed, buffer size back
 * to 2 MiB, clock mode REALTIME with the emulated clock restarted at 0. */
void emu_reset(void);

/* Select the clock mode. Switching restarts the emulated clock at 0 (MANUAL) or at "now"
 * relative to a fresh origin (REALTIME). Meant to be called while no command runs.
 * Returns 0, or -1 for an unknown mode. */
int emu_set_clock(int mode);
int emu_get_clock(void);

/* Emulated time in ns (REALTIME: ns since the last reset/mode switch). */
uint64_t emu_now_ns(void);

/* MANUAL mode only (-1 otherwise): move the clock forward by ns. */
int emu_advance_ns(uint64_t ns);

/* MANUAL mode only: move the clock forward just far enough that `scans` more complete scans
 * of the running command on the board at `path` have been converted. Returns 0, or -1 if
 * the mode is not MANUAL or that board runs no started command. */
int emu_advance_scans(const char *path, uint64_t scans);

/* Size in bytes of the streaming buffer of commands started from now on (default 2 MiB). */
int emu_set_buffer_size(uint32_t bytes);

/* ---- faults ------------------------------------------------------------------------ */

/* The next call of `op` on an emulated device fails with errno `err` (-1 returned). */
int emu_fail_next(int op, int err);
/* The nth call of `op` from now (1 = the next) fails with `err`; the calls before it succeed.
 * Replaces any earlier emu_fail_next/emu_fail_nth of that op. */
int emu_fail_nth(int op, unsigned nth, int err);
/* Every call of `op` fails with `err` until emu_clear_faults() (err 0 clears this op). */
int emu_fail_always(int op, int err);
/* The next INSNLIST runs its first k instructions, then fails with `err` at instruction k. */
int emu_fail_insnlist_after(unsigned k, int err);
/* The next read() on an emulated device returns at most max_bytes (may split a sample). */
int emu_short_read_next(size_t max_bytes);
/* The nth CMDTEST from now (1 = the next, 2 = the one after) returns `stage` (0..5) whatever
 * the real test found; the command is still corrected as the real test would. */
int emu_force_cmdtest_stage(unsigned nth, int stage);
/* Overrun the running command on the board at `path` now: it stops in error; what is
 * buffered stays readable, then read() fails with EPIPE. -1 if no command runs. */
int emu_overrun_now(const char *path);
/* Remove every injected fault. */
void emu_clear_faults(void);

/* Name <-> number of an operation ("OPEN", "DEVINFO", ..., "READ"); -1 / NULL if unknown. */
int emu_op_from_name(const char *name);
const char *emu_op_name(int op);

/* ---- inspection -------------------------------------------------------------------- */

/* Number of emulated device files currently open (all boards). */
int emu_open_count(void);

/* 1 if the subdevice is busy (a command runs or is not yet reaped), 0 if not, -1 if bad. */
int emu_subdevice_busy(const char *path, unsigned subdev);
/* 1 if the subdevice's command is still acquiring, 0 if not, -1 if bad. */
int emu_subdevice_running(const char *path, unsigned subdev);

/* Raw value last written to an output channel (AO, DO or DIO line), -1 if bad. */
long long emu_output_raw(const char *path, unsigned subdev, unsigned chan);
/* Same for the board's first AO subdevice. */
long long emu_ao_raw(const char *path, unsigned chan);

/* Digital lines of the board's first DI/DO/DIO subdevice: direction 0 input / 1 output,
 * level 0/1 as seen on the line (output latch for outputs, external level for inputs). */
int emu_dio_direction(const char *path, unsigned chan);
int emu_dio_level(const char *path, unsigned chan);
/* Drive the external level seen by a line configured as input, now. A change is an edge:
 * it starts a command waiting for it (TRIG_EXT start) and clocks a scan of an output command
 * whose scan clock it is (scan_begin_src TRIG_EXT). */
int emu_dio_set_input(const char *path, unsigned chan, int level);
/* The same at emulated time t_ns (the time of emu_now_ns; a time already past means now).
 * The change happens when the clock reaches t_ns, in time order with the output scans and the
 * other scheduled changes (up to 256 pending per board). -1 if bad or too many are pending. */
int emu_dio_set_input_at(const char *path, unsigned chan, int level, uint64_t t_ns);

/* Output scans the DAC has taken from the buffer of the output command of that subdevice (the
 * running one, or the last one since it ended), -1 if the subdevice has no output commands. */
long long emu_output_scans(const char *path, unsigned subdev);
/* The running output command on that board runs dry now: it stops in error, the outputs keep
 * their values, the next write() fails with EPIPE. -1 if no output command runs. */
int emu_underrun_now(const char *path);

/* Subdevice instructions executed (READ/WRITE/BITS/CONFIG, each one of a list counts) and
 * commands started with success, on that board since reset. */
unsigned long long emu_insn_count(const char *path);
unsigned long long emu_cmd_count(const char *path);

/* The board's own cost of making input samples (computing them and writing them into the
 * buffer), which a real board does in hardware: the CPU time the threads of this process spent on
 * it and the bytes made, since the last emu_meter_making, which resets both and switches the
 * meter on (1) or off (0, the default: no clock is read then). */
void emu_meter_making(int on);
unsigned long long emu_making_cpu_ns(void);
unsigned long long emu_making_bytes(void);

/* The command a subdevice owns (running or finished but not reaped), as accepted. */
struct emu_cmd_info {
    unsigned subdev, flags;
    unsigned start_src, start_arg;
    unsigned scan_begin_src, scan_begin_arg;
    unsigned convert_src, convert_arg;
    unsigned scan_end_src, scan_end_arg;
    unsigned stop_src, stop_arg;
    unsigned chanlist_len;
    int triggered;            /* acquisition started (INT start fired, or start NOW) */
    int running;              /* still acquiring */
    int overflow;             /* stopped by an overrun */
    uint64_t start_ns;        /* emulated time at which acquisition started */
    uint64_t samples_written; /* samples put into the buffer so far */
    uint64_t bytes_read;      /* bytes consumed by read()/BUFINFO */
};
/* 0 and *out filled if the subdevice owns a command, -1 otherwise. */
int emu_current_cmd(const char *path, unsigned subdev, struct emu_cmd_info *out);

/* The raw value the board at `path` converts on its first AI subdevice for channel `chan`
 * with range `range` at emulated time t_ns, for a stream sample with index sample_index
 * (only the counter channel uses it; for instruction reads pass the count of earlier ch7
 * reads). Loopback channels use the current AO state. On comedi_test, t_ns is the waveform
 * time (phase included). -1 if bad. */
long long emu_expected_raw(const char *path, unsigned chan, unsigned range,
                           uint64_t t_ns, uint64_t sample_index);

/* Emulated conversion time of sample `sample_index` (counted over all channels since the
 * start) of the command owned by the subdevice; for comedi_test the waveform time. */
int emu_sample_time_ns(const char *path, unsigned subdev, uint64_t sample_index,
                       uint64_t *t_ns);

#ifdef __cplusplus
}
#endif

#endif
