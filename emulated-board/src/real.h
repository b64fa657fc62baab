// SPDX-License-Identifier: LGPL-2.1-or-later
// How the interposed libc entry points reach the definitions they stand in front of.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

namespace emu {

template <typename Fn> inline Fn next_symbol(const char *name) {
    void *p = dlsym(RTLD_NEXT, name);
    if (!p) {
        // Without the real call there is nothing sensible to forward to.
        fprintf(stderr, "vornemu: cannot resolve %s\n", name);
        abort();
    }
    return reinterpret_cast<Fn>(p);
}

} // namespace emu

// Resolved once; concurrent first calls store the same value, so relaxed atomics suffice.
#define REAL(fn_type, name)                                                         \
    static std::atomic<fn_type> cache_##name{nullptr};                              \
    fn_type real_##name = cache_##name.load(std::memory_order_relaxed);            \
    if (!real_##name) {                                                             \
        real_##name = emu::next_symbol<fn_type>(#name);                             \
        cache_##name.store(real_##name, std::memory_order_relaxed);                \
    }

