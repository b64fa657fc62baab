#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the suite as built, a short
# libFuzzer run over the text functions, and the suite again under ASan and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# libFuzzer needs clang; only the fuzz target is built in that configuration.
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVORN_FUZZ=ON >/dev/null
cmake --build build-fuzz --target vorn_text_fuzz -j"$jobs" >/dev/null
if build-fuzz/tests/fuzz/vorn_text_fuzz -runs=200000 -seed=1 >build-fuzz/text_fuzz.log 2>&1; then
  echo "text fuzz: $(grep -E '^Done' build-fuzz/text_fuzz.log)"
else
  tail -40 build-fuzz/text_fuzz.log
  exit 1
fi

# Every test again, the JVM tests included, with libvorn, taskpin and the emulated board built with
# AddressSanitizer and UndefinedBehaviorSanitizer: any report fails its test.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"
