// Sanitizer settings of the instrumented GoogleTest executables, so that a run by hand behaves
// as under CTest. The embedded JVM handles SIGSEGV itself (implicit null checks, safepoint polls)
// and never frees some of its memory; the JVM tests get the same settings from the environment
// (tests/CMakeLists.txt).
extern "C" const char *__asan_default_options()
{
    return "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0:allocator_may_return_null=1";
}

extern "C" const char *__ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}
