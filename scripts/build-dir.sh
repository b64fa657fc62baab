# Sourced by the scripts. A build folder is configured only when it has never been: one that a
# developer configured (build type, options) is built as it is, never reconfigured behind their
# back. `cmake --build` re-runs the configuration by itself when a CMakeLists.txt changed, keeping
# the folder's cache.

# use_build DIR [cmake option ...]: the options apply to a first configuration only.
use_build() {
  local dir=$1
  shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@" >/dev/null
  fi
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
