#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# scripts/demo.sh run from another folder than the repository's: the demo must see the caller's
# folder, so that a relative --out or --hdf5 lands where the user is, as with run-demo itself.
# The script runs in a copy of the scripts with the dependency check, cmake and the launcher
# stubbed, so that the test neither installs nor builds anything. Argument: the source folder.
set -euo pipefail
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

repo=$tmp/repo
mkdir -p "$repo/scripts" "$repo/build/vorn-java" "$tmp/bin" "$tmp/caller"
cp "$src/scripts/demo.sh" "$src/scripts/build-dir.sh" "$repo/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$repo/scripts/install-deps.sh"
: >"$repo/build/CMakeCache.txt" # configured: use_build leaves it alone
printf '#!/bin/sh\nexit 0\n' >"$tmp/bin/cmake"
printf '#!/bin/sh\necho "cwd=$PWD"\necho "args=$*"\n' >"$repo/build/vorn-java/run-demo"
chmod +x "$repo/scripts/"*.sh "$tmp/bin/cmake" "$repo/build/vorn-java/run-demo"

out=$(cd "$tmp/caller" && PATH="$tmp/bin:$PATH" "$repo/scripts/demo.sh" --out run1 --hdf5 run1/log.h5) \
    || fail "demo.sh failed: $out"
grep -qxF "cwd=$tmp/caller" <<<"$out" || fail "the demo ran elsewhere than the caller's folder $tmp/caller: $out"
grep -qxF "args=--out run1 --hdf5 run1/log.h5" <<<"$out" || fail "the options changed on the way: $out"

# From the repository's root, as the README runs it, nothing changes.
out=$(cd "$repo" && PATH="$tmp/bin:$PATH" scripts/demo.sh --help) || fail "demo.sh failed: $out"
grep -qxF "cwd=$repo" <<<"$out" || fail "run from the root, the demo ran in: $out"
echo "demo.sh runs the demo in the caller's folder"
