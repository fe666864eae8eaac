#!/usr/bin/env bash
# Fuzzing with libFuzzer (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# in its own tree, build-fuzz/, configured from tests/fuzz alone.
#
#   scripts/fuzz.sh build
#       configure and build the fuzz targets
#   scripts/fuzz.sh smoke
#       a fixed number of runs of every target from the committed seeds and
#       regressions (a minute or two in all); fails on a finding
#   scripts/fuzz.sh long [TARGET|all] [SECONDS] [RUNS]
#       a long run of one target (or of each in turn), ending after SECONDS
#       (default 3600) or RUNS executions (default 10000000), whichever comes
#       first. The working corpus is kept in build-fuzz/corpus/TARGET and
#       grows from run to run; it starts from the committed seeds. The log
#       goes to build-fuzz/logs/TARGET-<time>.log.
#   scripts/fuzz.sh replay TARGET FILE...
#       run inputs (a crash file, say) through a target once
#
# Targets: block decompress lzh roundtrip archive (tests/fuzz/fuzz_*.cpp).
# A finding is written to build-fuzz/artifacts/TARGET-crash-*; once its cause
# is fixed, keep it as tests/fuzz/regressions/TARGET/<name>, which every
# ordinary build replays through CTest.
# FUZZ_NICE (default 10) is the niceness the fuzzers run at; FUZZ_SEED (default
# 1) the random seed of the smoke run, which keeps it repeatable.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
tree=$src/build-fuzz
targets=(block decompress lzh roundtrip archive)
# Longest input per target: a block string may be 32769 bytes; an archive
# needs room for a few 428-byte records and their data.
declare -A max_len=([block]=34000 [decompress]=16384 [lzh]=4096 [roundtrip]=4096 [archive]=16384)
# Executions per target in the smoke run (the slow targets decode up to their
# size caps on almost every input).
declare -A smoke_runs=([block]=40000 [decompress]=1500 [lzh]=1500 [roundtrip]=1500 [archive]=800)
nice_level=${FUZZ_NICE:-10}

# Builds under a lock, so that two runs started together (a long run of each
# of two targets, say) do not run two builds in the same tree.
build() {
  mkdir -p "$tree"
  (
    flock 9
    if [ ! -f "$tree/build.ninja" ]; then
      CC=clang CXX=clang++ cmake -S tests/fuzz -B "$tree" -G Ninja -DKVSFX_FUZZ=ON >/dev/null
    fi
    cmake --build "$tree" -j2 --target fuzz_targets
  ) 9>"$tree/.build.lock"
}

check_target() {
  local t
  for t in "${targets[@]}"; do [ "$t" = "$1" ] && return 0; done
  echo "fuzz.sh: unknown target '$1' (targets: ${targets[*]})" >&2
  exit 2
}

# The read-only inputs of a target: its seeds and, when there are any, its
# regressions.
inputs() {
  echo "$src/tests/fuzz/corpus/$1"
  if [ -d "$src/tests/fuzz/regressions/$1" ]; then echo "$src/tests/fuzz/regressions/$1"; fi
}

# run TARGET CORPUS_DIR LOG [libFuzzer options...]
run() {
  local t=$1 corpus=$2 log=$3
  shift 3
  mkdir -p "$corpus" "$tree/artifacts"
  local status
  # The log goes through a pipe: the archive target limits the size of every
  # file the process writes (RLIMIT_FSIZE), a log file included, but not what
  # it writes into a pipe.
  set +e
  # shellcheck disable=SC2046
  nice -n "$nice_level" "$tree/bin/fuzz_$t" -max_len="${max_len[$t]}" -timeout=60 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$tree/artifacts/$t-" "$@" \
    "$corpus" $(inputs "$t") 2>&1 | cat >"$log"
  status=${PIPESTATUS[0]}
  set -e
  grep -E '^Done [0-9]+ runs|stat::number_of_executed_units' "$log" | sed "s/^/  $t: /" || true
  if [ "$status" != 0 ]; then
    echo "fuzz.sh: $t found a failure (exit $status); log: $log" >&2
    grep -E 'ERROR|runtime error|invariant|mismatch|created outside|Test unit written' "$log" |
      head -20 >&2 || true
    return 1
  fi
}

cmd=${1:-smoke}
case "$cmd" in
  build)
    build
    ;;
  smoke)
    build
    mkdir -p "$tree/logs"
    failed=0
    for t in "${targets[@]}"; do
      rm -rf "$tree/smoke/$t"
      run "$t" "$tree/smoke/$t" "$tree/logs/smoke-$t.log" -runs="${smoke_runs[$t]}" \
        -seed="${FUZZ_SEED:-1}" || failed=1
    done
    exit $failed
    ;;
  long)
    which=${2:-all}
    seconds=${3:-3600}
    runs=${4:-10000000}
    list=("${targets[@]}")
    if [ "$which" != all ]; then
      check_target "$which"
      list=("$which")
    fi
    build
    mkdir -p "$tree/logs"
    failed=0
    for t in "${list[@]}"; do
      log=$tree/logs/$t-$(date +%Y%m%d-%H%M%S).log
      echo "fuzz.sh: $t for up to ${seconds}s / $runs runs; log $log"
      run "$t" "$tree/corpus/$t" "$log" -max_total_time="$seconds" -runs="$runs" || failed=1
    done
    exit $failed
    ;;
  replay)
    [ $# -ge 3 ] || { echo "usage: fuzz.sh replay TARGET FILE..." >&2; exit 2; }
    check_target "$2"
    build
    t=$2
    shift 2
    "$tree/bin/fuzz_$t" "$@"
    ;;
  *)
    echo "usage: fuzz.sh build | smoke | long [TARGET|all] [SECONDS] [RUNS] | replay TARGET FILE..." >&2
    exit 2
    ;;
esac
