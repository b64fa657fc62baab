// SPDX-License-Identifier: LGPL-2.1-or-later
// The buffer of a subdevice: one ring memory that read() copies from and that mmap() maps, as
// the kernel's comedi_buf pages are (callers hold the state lock).
#pragma once

#include "emu_internal.h"

namespace emu {

// Writes stream bytes [pos, pos+n) at their ring offsets (pos mod the buffer size).
EMU_HIDDEN void ring_put(State &st, const Board &b, unsigned s, uint64_t pos, const uint8_t *src, uint64_t n);
// Reads stream bytes [pos, pos+n) from the ring.
EMU_HIDDEN void ring_get(State &st, const Board &b, unsigned s, uint64_t pos, uint8_t *dst, uint64_t n);
// Makes sure the ring exists with the subdevice's current size; false if memory ran out.
EMU_HIDDEN bool ring_ready(State &st, const Board &b, unsigned s);
// Mappings of the subdevice's ring this process holds (a mapped buffer cannot be resized).
EMU_HIDDEN unsigned ring_mappings(const State &st, const Board &b, unsigned s);

// mmap(2) of an emulated descriptor; 0 and *out, or -errno.
EMU_HIDDEN long dev_mmap(File *f, void *addr, size_t len, int prot, int flags, long off, void **out);
// A successful munmap(2): forget the mappings it removed.
EMU_HIDDEN void forget_mappings(void *addr, size_t len);
EMU_HIDDEN extern std::atomic<int> g_ring_mappings;

} // namespace emu
