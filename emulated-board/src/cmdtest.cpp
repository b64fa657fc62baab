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

unsigned round_to_us(unsigned arg) {
    arg = std::min(arg, 4294967000u); // rounddown(UINT_MAX, 1000)
    return kNsPerUs * ((arg + kNsPerUs / 2) / kNsPerUs);
}

} // namespace emu
