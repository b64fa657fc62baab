// SPDX-License-Identifier: LGPL-2.1-or-later
// The timed streaming command the native tests of libvorn and of the emulated board build: scans
// begin on a timer, their conversions follow on a timer, and the acquisition stops after a count
// of scans or never. Only the fields named here are set; the rest are zero.
#pragma once

#include <cstring>

#include <comedilib.h>

inline comedi_cmd timed_cmd(unsigned subdev, unsigned *chanlist, unsigned n, unsigned scan_ns, unsigned conv_ns,
                            unsigned stop_src, unsigned scans) {
    comedi_cmd c;
    memset(&c, 0, sizeof c);
    c.subdev = subdev;
    c.start_src = TRIG_NOW;
    c.scan_begin_src = TRIG_TIMER;
    c.scan_begin_arg = scan_ns;
    c.convert_src = TRIG_TIMER;
    c.convert_arg = conv_ns;
    c.scan_end_src = TRIG_COUNT;
    c.scan_end_arg = n;
    c.stop_src = stop_src;
    c.stop_arg = stop_src == TRIG_COUNT ? scans : 0;
    c.chanlist = chanlist;
    c.chanlist_len = n;
    return c;
}
