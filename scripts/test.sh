#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds everything and runs every test: the suite as built, a short
# libFuzzer run over the text functions, and the suite again under ASan and UBSan. CI runs it
# without arguments; for local work:
#   --quick      the suite alone (no fuzz run, no sanitized build)
#   --no-fuzz    leave out the fuzz run          --no-asan   leave out the sanitized suite
#   -R REGEX     only the tests whose name matches, in every suite run
#   -j N         parallel jobs (default: the number of processors)
# build/, build-fuzz/ and build-asan/ are the presets default, fuzz and asan (CMakePresets.json),
# configured the first time only (scripts/build-dir.sh); every stage prints a line as it begins.
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
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "unknown argument $1" >&2; sed -n '2,10p' "$0" >&2; exit 2 ;;
  esac
  shift
done

stage "Checking the Debian packages the build and the tests need (scripts/install-deps.sh)"
scripts/install-deps.sh

# Each stage is a preset of CMakePresets.json: cmake --preset P, cmake --build --preset P, ctest --preset P.
use_build build default
if first_build build; then when="the first time about 2 min on 2 free cores, up to 10 on a busy machine"; else when="only what changed"; fi
stage "Building build/: libvorn, the emulated board, the jars, the tests and the benchmarks ($when)"
cmake --build --preset default -j"$jobs"
stage "Running the test suite in build/ (about 5 to 8 min with -j 2)"
ctest --preset default -j"$jobs" "${only[@]}"

if [ $fuzz = 1 ]; then
  # libFuzzer needs clang; only the fuzz target is built in that configuration.
  use_build build-fuzz fuzz
  require_cache build-fuzz VORN_FUZZ ON
  stage "Building the fuzz target in build-fuzz/ (the first time the native modules again, with clang) and fuzzing the text functions (200,000 runs, seconds)"
  cmake --build --preset fuzz -j"$jobs" >/dev/null
  ctest --preset fuzz
fi

if [ $asan = 1 ]; then
  # Every test again, the JVM tests included, with libvorn, taskpin and the emulated board built
  # with AddressSanitizer and UndefinedBehaviorSanitizer: any report fails its test.
  use_build build-asan asan
  require_cache build-asan VORN_SANITIZE ON
  if first_build build-asan; then when="the first time everything again, instrumented: longer than build/"; else when="only what changed"; fi
  stage "Building build-asan/ with the sanitizers ($when)"
  cmake --build --preset asan -j"$jobs"
  stage "Running the test suite instrumented in build-asan/ (several times the plain suite's time)"
  ctest --preset asan -j"$jobs" "${only[@]}"
fi
