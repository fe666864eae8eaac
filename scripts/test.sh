#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the release tree (with the
# Windows programs, tested under Wine) and a sanitizer tree (ASan + UBSan),
# and runs CTest in both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

echo "== release build (build/) =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build (build-asan/: AddressSanitizer + UndefinedBehaviorSanitizer) =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVSFX_SANITIZE=ON \
  -DKVSFX_WIN32_PROGRAMS=OFF -DKVSFX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE wine

# ---- fuzz smoke run (tests/fuzz, scripts/fuzz.sh) ----
# Builds the libFuzzer targets in build-fuzz/ (clang, ASan + UBSan) and runs
# each for a fixed number of executions from the committed seeds and
# regressions; a finding fails the test command. Long runs: scripts/fuzz.sh long.
echo "== fuzz smoke run (build-fuzz/: libFuzzer + ASan + UBSan) =="
bash scripts/fuzz.sh smoke
# ---- end of fuzz smoke run ----
