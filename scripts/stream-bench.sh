#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds, and runs the streaming benchmarks on the emulated board's
# real-time clock: the streaming-loop table (libvorn's waiting read, a sleep(1 ms) loop and the
# same loop in C on comedilib, with the board's own cost apart), then the scale table (logging
# acquisition tasks by rate and by devices at once). Options:
#   --seconds N   measured per row of both tables (5)
#   --no-scale    only the streaming-loop table
# build/ is configured the first time only (scripts/build-dir.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/build-dir.sh
seconds=5 scale=1
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [ $# -ge 2 ] || { echo "--seconds needs a number" >&2; exit 2; }; seconds=$2; shift ;;
    --no-scale) scale=0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
scripts/install-deps.sh

# Figures are only meaningful from an optimised build, and a sanitized one has no benchmark.
use_bench_build
cmake --build build -j"$(nproc)" --target bench log_bench >/dev/null
# The library's command traces go to standard output as each stream is configured: only the tables.
build/benchmarks/run-stream-bench --seconds "$seconds" | sed -n '/^Streaming loops/p;/^row /,$p'
if [ $scale = 1 ]; then
  echo
  build/benchmarks/run-scale-bench --seconds "$seconds" | sed -n '/^acquisition tasks/,$p'
fi
