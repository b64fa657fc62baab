// SPDX-License-Identifier: LGPL-2.1-or-later
// The ioctl handlers of the Comedi core model, split by family over core.cpp (files and
// information), insn.cpp (instructions) and command.cpp (commands, buffer, read).
#pragma once

#include "device.h"

namespace emu {

// The injected fault for one call of op, 0 if it goes through.
EMU_HIDDEN int take_fault(State &st, int op);
EMU_HIDDEN bool chanspec_ok(const SubdevDesc &sd, unsigned chanspec);

EMU_HIDDEN long do_insn(State &st, File *f, void *arg);
EMU_HIDDEN long do_insnlist(State &st, File *f, void *arg);

EMU_HIDDEN long do_cmdtest(State &st, File *f, void *arg);
EMU_HIDDEN long do_cmd(State &st, File *f, void *arg);
EMU_HIDDEN long do_cancel(State &st, File *f, unsigned long s);
EMU_HIDDEN long do_poll(State &st, File *f, unsigned long s);
EMU_HIDDEN long do_bufinfo(State &st, File *f, void *arg);
EMU_HIDDEN long do_bufconfig(State &st, File *f, void *arg);

} // namespace emu
