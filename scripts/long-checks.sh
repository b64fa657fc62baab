#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The long versions of the robustness checks that CI runs briefly, on an existing build.
#   scripts/long-checks.sh soak [SECONDS]            streaming soak (default 300 s)
#   scripts/long-checks.sh calls [SEED] [CALLS]      random native call sequences (default 1, 1,000,000)
#   scripts/long-checks.sh races [ROUNDS]            the threading races (default 100,000 rounds each)
# BUILD_DIR selects the build (default build; a -DVORN_SANITIZE=ON build such as build-asan works too).
set -euo pipefail
cd "$(dirname "$0")/.."
b=${BUILD_DIR:-build}
[ -f "$b/tests/vorn-tests.jar" ] && [ -x "$b/tests/run-junit" ] || { echo "build $b first: cmake -S . -B $b && cmake --build $b -j2" >&2; exit 2; }

case "${1:-}" in
  soak) props=(-Dvorn.soak.seconds="${2:-300}"); class=org.vorn.acq.comedi.StreamingSoakTest ;;
  calls) props=(-Dvorn.fuzz.seed="${2:-1}" -Dvorn.fuzz.calls="${3:-1000000}"); class=org.vorn.acq.comedi.NativeCallFuzzTest ;;
  races) props=(-Dvorn.races.rounds="${2:-100000}"); class=org.vorn.acq.comedi.DeviceThreadingTest ;;
  *) sed -n '2,6p' "$0" >&2; exit 2 ;;
esac

# The same launch as CTest's: the generated run-junit (tests/CMakeLists.txt) over run-jvm.
exec "$b/tests/run-junit" "${props[@]}" "$class"
