#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds everything and runs the acquisition demo on the emulated board
# (or on a real device: scripts/demo.sh --device /dev/comedi0). Options: scripts/demo.sh --help
# build/ is the preset default (CMakePresets.json), configured the first time only
# (scripts/build-dir.sh); every stage prints a line on standard error as it begins.
set -euo pipefail
# The demo runs where it was called from: a relative --out or --hdf5 is the caller's, not the repository's.
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
. scripts/build-dir.sh
stage "Checking the Debian packages the demo needs (scripts/install-deps.sh)"
scripts/install-deps.sh

use_build build default
if first_build build; then
  stage "Building build/: libvorn, the emulated board and the demo (the first time 1 to 2 min)"
else
  stage "Building what changed in build/"
fi
cmake --build --preset default --target vorn vornemu vorn_emu_jar vorn_demo_jar -j"$(nproc)" >/dev/null
stage "Running the demo"
cd "$caller"
exec "$root/build/vorn-java/run-demo" "$@"
