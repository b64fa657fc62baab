// Streaming model entry points shared with the control API (callers hold the state mutex).
#pragma once

#include "emu_internal.h"

namespace emu {
EMU_HIDDEN unsigned bytes_per_sample(const SubdevDesc &sd);
EMU_HIDDEN uint64_t sample_time_ns(const Cmd &c, uint64_t k);
EMU_HIDDEN unsigned stream_raw(const Board &b, const SubdevDesc &sd, const Cmd &c, uint64_t k);
EMU_HIDDEN void update(State &st, Board &b, unsigned s);
EMU_HIDDEN void become_nonbusy(State &st, SubState &ss);
} // namespace emu
