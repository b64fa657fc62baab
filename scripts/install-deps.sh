#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs, only when missing, every Debian package that the build, the tests, the demo and the
# benchmarks need. Idempotent and quiet: prints nothing when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  dpkg-dev
  libcomedi-dev
  default-jdk-headless openjdk-17-jdk-headless
  liblwjgl-java junit5 libjfreechart-java
  libgtest-dev googletest
  clang libclang-rt-14-dev
  libhdf5-java libslf4j-java python3-h5py hdf5-tools
  # the package tests: Debian's checker, and a Maven build against the package
  lintian
  maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libmaven-jar-plugin-java libsurefire-java
)

# comedilib's own demos (demo/ao_waveform.c, demo/ao_mmap.c) run on the emulated board in its
# tests; they come from the Debian source package, unpacked here (the tests skip them without it).
comedilib_src=/usr/local/src/comedilib-0.11.0

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -f "$comedilib_src/demo/ao_waveform.c" ]; then
  echo "Fetching comedilib's source package into $comedilib_src"
  # A source list of our own, so the machine's apt configuration stays as it is.
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/lists/partial"
  echo "deb-src http://deb.debian.org/debian bookworm main" >"$work/sources.list"
  apt_opts=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root)
  apt-get "${apt_opts[@]}" update -qq
  # Only the upstream tarball is needed; the Debian packaging files may be missing on a mirror.
  (cd "$work" && apt-get "${apt_opts[@]}" source --download-only -qq comedilib >/dev/null 2>&1) || true
  orig=$(ls "$work"/comedilib_*.orig.tar.gz 2>/dev/null | head -1)
  [ -n "$orig" ] || { echo "cannot fetch comedilib's source package" >&2; exit 1; }
  "${sudo_cmd[@]}" mkdir -p "$(dirname "$comedilib_src")"
  "${sudo_cmd[@]}" tar -xzf "$orig" -C "$(dirname "$comedilib_src")"
fi
