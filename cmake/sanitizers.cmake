# SPDX-License-Identifier: LGPL-2.1-or-later
# VORN_SANITIZE: libvorn, taskpin, the emulated board and the native tests built with ASan and
# UBSan, and every test run instrumented, JVMs included. Every setting of an instrumented process
# is here: the JVM launcher (run_jvm.cmake) exports the options, the GoogleTest executables
# compile them in (tests/support/sanitizer_options.cpp), CTest fails on a report.

# The JVM handles SIGSEGV itself (implicit null checks, safepoint polls) and never frees some of
# its memory: neither is ours to judge. allocator_may_return_null: a refused huge allocation must
# reach Java as an OutOfMemoryError, as it does without ASan, instead of ending the process.
set(VORN_ASAN_OPTIONS "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0:allocator_may_return_null=1")
set(VORN_UBSAN_OPTIONS "halt_on_error=1:print_stacktrace=1")
# Appended to a test's FAIL_REGULAR_EXPRESSION: a report fails the test, also one a JVM survives.
set(VORN_SANITIZER_REPORTS "")
# Preloaded ahead of everything else in a JVM: the ASan runtime must be the process's first library.
set(VORN_ASAN_RUNTIME "")

if(VORN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE VORN_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(VORN_SANITIZER_REPORTS "|ERROR: AddressSanitizer|runtime error:")
endif()

# An instrumented executable started by hand behaves as under CTest: the options compiled in.
function(vorn_sanitizer_defaults target)
  if(VORN_SANITIZE)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/sanitizer_options.cpp)
    target_compile_definitions(${target} PRIVATE
      VORN_ASAN_OPTIONS="${VORN_ASAN_OPTIONS}" VORN_UBSAN_OPTIONS="${VORN_UBSAN_OPTIONS}")
  endif()
endfunction()
