#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the acquisition demo on the emulated board
# (or on a real device: scripts/demo.sh --device /dev/comedi0). Options: scripts/demo.sh --help
# build/ is configured the first time only (scripts/build-dir.sh).
set -euo pipefail
# The demo runs where it was called from: a relative --out or --hdf5 is the caller's, not the repository's.
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
. scripts/build-dir.sh
scripts/install-deps.sh

use_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" >/dev/null
cd "$caller"
exec "$root/build/vorn-java/run-demo" "$@"
