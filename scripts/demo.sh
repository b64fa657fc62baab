#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the acquisition demo on the emulated board
# (or on a real device: scripts/demo.sh --device /dev/comedi0). Options: scripts/demo.sh --help
# build/ is configured the first time only (scripts/build-dir.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/build-dir.sh
scripts/install-deps.sh

use_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" >/dev/null
exec build/vorn-java/run-demo "$@"
