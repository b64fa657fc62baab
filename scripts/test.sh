#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the suite as built, a short
# libFuzzer run over the text functions, and the suite again under ASan and UBSan. CI runs it
# without arguments; for local work:
#   --quick      the suite alone (no fuzz run, no sanitized build)
#   --no-fuzz    leave out the fuzz run          --no-asan   leave out the sanitized suite
#   -R REGEX     only the tests whose name matches, in every suite run
#   -j N         parallel jobs (default: the number of processors)
# build/, build-fuzz/ and build-asan/ are configured the first time only (scripts/build-dir.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/build-dir.sh

fuzz=1 asan=1 jobs=$(nproc) only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) fuzz=0 asan=0 ;;
    --no-fuzz) fuzz=0 ;;
    --no-asan) asan=0 ;;
    -R) [ $# -ge 2 ] || { echo "-R needs a regular expression" >&2; exit 2; }; only=(-R "$2"); shift ;;
    -j) [ $# -ge 2 ] || { echo "-j needs a number" >&2; exit 2; }; jobs=$2; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "unknown argument $1" >&2; sed -n '2,9p' "$0" >&2; exit 2 ;;
  esac
  shift
done

scripts/install-deps.sh

use_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" "${only[@]}"

if [ $fuzz = 1 ]; then
  # libFuzzer needs clang; only the fuzz target is built in that configuration.
  use_build build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVORN_FUZZ=ON
  require_cache build-fuzz VORN_FUZZ ON
  cmake --build build-fuzz --target vorn_text_fuzz -j"$jobs" >/dev/null
  if build-fuzz/tests/fuzz/vorn_text_fuzz -runs=200000 -seed=1 >build-fuzz/text_fuzz.log 2>&1; then
    echo "text fuzz: $(grep -E '^Done' build-fuzz/text_fuzz.log)"
  else
    tail -40 build-fuzz/text_fuzz.log
    exit 1
  fi
fi

if [ $asan = 1 ]; then
  # Every test again, the JVM tests included, with libvorn, taskpin and the emulated board built
  # with AddressSanitizer and UndefinedBehaviorSanitizer: any report fails its test.
  use_build build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON
  require_cache build-asan VORN_SANITIZE ON
  cmake --build build-asan -j"$jobs"
  ctest --test-dir build-asan --output-on-failure -j"$jobs" "${only[@]}"
fi
