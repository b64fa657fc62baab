#!/usr/bin/env bash
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
  libhdf5-java libslf4j-java python3-h5py
  # the package tests: Debian's checker, and a Maven build against the package
  lintian
  maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libmaven-jar-plugin-java libsurefire-java
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
