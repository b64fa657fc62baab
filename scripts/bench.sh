#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds, and runs the hot-path benchmark: every libvorn hot path called
# from Java against the same work written directly in C on comedilib, on the emulated board in its
# INSTANT clock mode. Prints one table. Options go to the benchmark:
#   --reps N (15)  --warmup-ms N (1000)  --rep-ms N (40)  --only TEXT (rows whose name contains TEXT)
# build/ is configured the first time only (scripts/build-dir.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/build-dir.sh
scripts/install-deps.sh

# Figures are only meaningful from an optimised build, and a sanitized one has no benchmark.
use_bench_build
cmake --build build -j"$(nproc)" --target bench >/dev/null
exec build/benchmarks/run-bench "$@"
