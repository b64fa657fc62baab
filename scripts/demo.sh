#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the acquisition demo on the emulated board
# (or on a real device: scripts/demo.sh --device /dev/comedi0). Options: scripts/demo.sh --help
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec build/vorn-java/run-demo "$@"
