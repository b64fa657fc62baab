#!/usr/bin/env bash
# The long versions of the robustness checks that CI runs briefly, on an existing build.
#   scripts/long-checks.sh soak [SECONDS]            streaming soak (default 300 s)
#   scripts/long-checks.sh calls [SEED] [CALLS]      random native call sequences (default 1, 1,000,000)
#   scripts/long-checks.sh races [ROUNDS]            the threading races (default 100,000 rounds each)
# BUILD_DIR selects the build (default build; a -DVORN_SANITIZE=ON build such as build-asan works too).
set -euo pipefail
cd "$(dirname "$0")/.."
b=${BUILD_DIR:-build}
[ -f "$b/tests/vorn-tests.jar" ] || { echo "build $b first: cmake -S . -B $b && cmake --build $b -j2" >&2; exit 2; }

case "${1:-}" in
  soak) props=(-Dvorn.soak.seconds="${2:-300}"); class=org.vorn.acq.comedi.StreamingSoakTest ;;
  calls) props=(-Dvorn.fuzz.seed="${2:-1}" -Dvorn.fuzz.calls="${3:-1000000}"); class=org.vorn.acq.comedi.NativeCallFuzzTest ;;
  races) props=(-Dvorn.races.rounds="${2:-100000}"); class=org.vorn.acq.comedi.DeviceThreadingTest ;;
  *) sed -n '2,6p' "$0" >&2; exit 2 ;;
esac

# The same launch as CTest's (tests/CMakeLists.txt): the library's classes from their unsealed
# folder, since the tests sit in its packages.
preload="$b/emulated-board/libvornemu.so"
if grep -q '^VORN_SANITIZE:BOOL=ON' "$b/CMakeCache.txt"; then
  preload="$(gcc -print-file-name=libasan.so):$preload"
  export ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=0:allocator_may_return_null=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fi
java_home=${JAVA_HOME:-/usr/lib/jvm/default-java}
LD_PRELOAD="$preload" VORN_TASKPIN="$b/vorn-native/taskpin" "$java_home/bin/java" -Xcheck:jni \
  -Dfile.encoding=UTF-8 -Dvorn.jar="$b/vorn-java/vorn.jar" "${props[@]}" \
  -Djava.library.path="$b/vorn-native:$b/emulated-board:$b/tests" \
  -cp "$b/vorn-java/CMakeFiles/vorn_jar.dir:$b/emulated-board/vornemu.jar:/usr/share/java/lwjgl.jar:$b/tests/vorn-tests.jar:/usr/share/java/junit-platform-console-standalone.jar" \
  org.junit.platform.console.ConsoleLauncher --disable-banner --details=tree --disable-ansi-colors \
  --fail-if-no-tests --select-class="$class"
