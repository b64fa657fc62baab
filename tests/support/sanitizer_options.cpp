// SPDX-License-Identifier: LGPL-2.1-or-later
// Sanitizer settings of the instrumented GoogleTest executables, so that a run by hand behaves
// as under CTest; the strings come from cmake/sanitizers.cmake, as the JVMs' environment does.
extern "C" const char *__asan_default_options()
{
    return VORN_ASAN_OPTIONS;
}

extern "C" const char *__ubsan_default_options()
{
    return VORN_UBSAN_OPTIONS;
}
