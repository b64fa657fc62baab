// SPDX-License-Identifier: LGPL-2.1-or-later
// A second process on the shared board set of emu_shared_test: it does one thing to the multi
// board through comedilib and reports on stdout.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include <comedilib.h>

#include "emuboard.h"
#include "timed_command.h"

namespace {

int fail(const char *what) {
    printf("error %s %d\n", what, comedi_errno());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const char *cmd = argv[1];
    comedi_t *d = comedi_open(EMU_BOARD_MULTI);
    if (!d) return fail("open");
    if (!strcmp(cmd, "write-ao") && argc == 4) {
        if (comedi_data_write(d, 1, unsigned(atoi(argv[2])), 0, AREF_GROUND, lsampl_t(atoi(argv[3]))) != 1)
            return fail("write");
        printf("ok\n");
    } else if (!strcmp(cmd, "read-ao") && argc == 3) {
        lsampl_t v = 0;
        if (comedi_data_read(d, 1, unsigned(atoi(argv[2])), 0, AREF_GROUND, &v) != 1) return fail("read");
        printf("%u\n", v);
    } else if (!strcmp(cmd, "hold")) {
        // A command that runs until this process dies, and a lock on the digital lines.
        unsigned cl[1] = {CR_PACK(0, 0, AREF_GROUND)};
        comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_NONE, 0);
        if (comedi_command(d, &c) != 0) return fail("command");
        if (comedi_lock(d, 2) != 0) return fail("lock");
        printf("running\n");
        fflush(stdout);
        for (;;) pause();
    } else if (!strcmp(cmd, "wait-long")) {
        // INSN_WAIT sleeps with the board's lock held: a long list keeps it for seconds.
        std::vector<lsampl_t> delay(20000, 99999);
        std::vector<comedi_insn> insns(delay.size());
        for (size_t i = 0; i < insns.size(); ++i) {
            memset(&insns[i], 0, sizeof insns[i]);
            insns[i].insn = INSN_WAIT;
            insns[i].n = 1;
            insns[i].data = &delay[i];
        }
        comedi_insnlist list = {unsigned(insns.size()), insns.data()};
        printf("waiting\n");
        fflush(stdout);
        if (comedi_do_insnlist(d, &list) < 0) return fail("insnlist");
        printf("done\n");
    } else {
        return 2;
    }
    comedi_close(d);
    return 0;
}
