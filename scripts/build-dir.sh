# SPDX-License-Identifier: LGPL-2.1-or-later
# Sourced by the scripts. A build folder is configured from its preset (CMakePresets.json) only
# when it has never been: one that a developer configured (build type, options) is built as it
# is, never reconfigured behind their back. `cmake --build` re-runs the configuration by itself
# when a CMakeLists.txt changed, keeping the folder's cache.

# stage TEXT: what the script does now, on standard error (standard output is the program's).
stage() {
  echo "== $*" >&2
}

# use_build DIR PRESET: configures DIR with PRESET the first time only.
use_build() {
  if [ ! -f "$1/CMakeCache.txt" ]; then
    stage "Configuring $1/ (preset $2, first time only, about 15 s)"
    cmake --preset "$2" >/dev/null
  fi
}

# first_build DIR: true while DIR holds no build yet (the first build takes minutes).
first_build() {
  [ ! -f "$1/vorn-native/libvorn.so" ]
}

# cache_value DIR NAME: the value of a cache entry of DIR.
cache_value() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# require_cache DIR NAME VALUE: stops when DIR was configured otherwise than this stage needs.
require_cache() {
  local have
  have=$(cache_value "$1" "$2")
  if [ "$have" != "$3" ]; then
    echo "$1 is configured with $2=${have:-unset}, this needs $3: cmake -S . -B $1 -D$2=$3, or remove $1" >&2
    exit 2
  fi
}

# use_bench_build: build/ as the benchmarks need it: configured the first time only, never
# sanitized, and a warning when it is not optimised.
use_bench_build() {
  use_build build default
  case "$(cache_value build CMAKE_BUILD_TYPE)" in
    Release|RelWithDebInfo|MinSizeRel) ;;
    *) echo "warning: build/ is configured as '$(cache_value build CMAKE_BUILD_TYPE)'; figures from an unoptimised build mislead" >&2 ;;
  esac
  require_cache build VORN_SANITIZE OFF
}
