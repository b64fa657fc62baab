// SPDX-License-Identifier: LGPL-2.1-or-later
// The checks every driver's do_cmdtest is made of (the kernel's comedi_check_trigger_* helpers).
#include <algorithm>

#include "device.h"

namespace emu {

int check_src(unsigned *src, unsigned allowed) {
    unsigned orig = *src;
    *src &= allowed;
    return (*src == 0 || *src != orig) ? 1 : 0;
}

int check_unique(unsigned src) { return (src & (src - 1)) ? 1 : 0; }

int arg_is(unsigned *arg, unsigned v) {
    if (*arg != v) {
        *arg = v;
        return 1;
    }
    return 0;
}

int arg_min(unsigned *arg, unsigned v) {
    if (*arg < v) {
        *arg = v;
        return 1;
    }
    return 0;
}

int check_scan_and_stop_args(comedi_cmd &c) {
    int err = 0;
    err |= arg_min(&c.chanlist_len, 1);
    err |= arg_is(&c.scan_end_arg, c.chanlist_len);
    if (c.stop_src == TRIG_COUNT) err |= arg_min(&c.stop_arg, 1);
    else err |= arg_is(&c.stop_arg, 0);
    return err;
}

unsigned round_to_us(unsigned arg) {
    arg = std::min(arg, 4294967000u); // rounddown(UINT_MAX, 1000)
    return kNsPerUs * ((arg + kNsPerUs / 2) / kNsPerUs);
}

} // namespace emu
