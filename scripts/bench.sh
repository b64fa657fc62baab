#!/usr/bin/env bash
# Installs what is missing, builds, and runs the hot-path benchmark: every libvorn hot path called
# from Java against the same work written directly in C on comedilib, on the emulated board in its
# INSTANT clock mode. Prints one table. Options go to the benchmark:
#   --reps N (15)  --warmup-ms N (1000)  --rep-ms N (40)  --only TEXT (rows whose name contains TEXT)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Figures are only meaningful from an optimised build.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' build/CMakeCache.txt)
case "$build_type" in
  Release|RelWithDebInfo) ;;
  *) echo "warning: build/ is configured as '$build_type'; figures from an unoptimised build mislead" >&2 ;;
esac
cmake --build build -j"$(nproc)" --target bench >/dev/null
exec build/benchmarks/run-bench "$@"
