// SPDX-License-Identifier: LGPL-2.1-or-later
/* The command the C reference loops stream with, as libvorn's streaming device asks for it:
 * started now, one scan every `scanPeriodNs` with its conversions spread evenly over it, until
 * cancelled. The caller tests it. */
#ifndef VORN_BENCH_COMMAND_H
#define VORN_BENCH_COMMAND_H

#include <comedilib.h>

static inline void benchContinuousCommand(comedi_cmd *cmd, unsigned subdev, double scanPeriodNs,
                                          unsigned *chanlist, int positions)
{
    cmd->subdev = subdev;
    cmd->start_src = TRIG_NOW;
    cmd->scan_begin_src = TRIG_TIMER;
    cmd->scan_begin_arg = (unsigned)scanPeriodNs;
    cmd->convert_src = TRIG_TIMER;
    cmd->convert_arg = (unsigned)(scanPeriodNs / positions);
    cmd->scan_end_src = TRIG_COUNT;
    cmd->scan_end_arg = (unsigned)positions;
    cmd->stop_src = TRIG_NONE;
    cmd->chanlist = chanlist;
    cmd->chanlist_len = (unsigned)positions;
}

#endif
