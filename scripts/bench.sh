#!/usr/bin/env bash
# Compares the lzrw1 tool with gzip, bzip2, xz, lz4 and zstd on the same files
# in one run: ratio and MB/s (1 MB = 10^6 bytes of uncompressed data) for
# compression and decompression, single thread, best of $RUNS runs, files
# in the page cache. Then checks the tool's peak memory on a 1 MB and a
# 200 MB input.
#
#   scripts/bench.sh [FILE...]     (no files: a corpus is built in $BENCH_DIR)
#
# LZRW1 names the tool (default: build-bench/bin/lzrw1, built here, Release).
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${RUNS:-3}
BENCH_DIR=${BENCH_DIR:-${TMPDIR:-/tmp}/lzrw1-bench}
mkdir -p "$BENCH_DIR"

if [ -z "${LZRW1:-}" ]; then
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVSFX_BUILD_TESTS=OFF \
    -DKVSFX_WIN32_PROGRAMS=OFF >/dev/null
  cmake --build build-bench -j2 --target lzrw1_cli lzrw1_bench >/dev/null
  LZRW1=$PWD/build-bench/bin/lzrw1
fi
for t in gzip bzip2 xz lz4 zstd; do
  command -v $t >/dev/null || { echo "bench: $t is not installed (SETUP_TOOLS=bench scripts/setup.sh)" >&2; exit 1; }
done

# Concatenates files found under $1 matching find's later arguments until
# $2 MB are gathered.
gather() {
  local out=$1 mb=$2 root=$3; shift 3
  find "$root" -type f "$@" -size +1k 2>/dev/null | sort | while read -r f; do
    cat "$f" 2>/dev/null || true
  done | head -c $((mb * 1000000)) >"$out"
}

if [ $# -eq 0 ]; then
  [ -s "$BENCH_DIR/text" ] || gather "$BENCH_DIR/text" 10 /usr/share \( -name '*.txt' -o -name '*.html' -o -name '*.xml' -o -name '*.py' -o -name '*.h' -o -name '*.pm' -o -name '*.css' -o -name '*.js' \)
  [ -s "$BENCH_DIR/binaries" ] || gather "$BENCH_DIR/binaries" 10 /usr/lib \( -name '*.so*' -o -name '*.a' \)
  [ -s "$BENCH_DIR/random" ] || head -c 4000000 /dev/urandom >"$BENCH_DIR/random"
  [ -s "$BENCH_DIR/mixed" ] || cat "$BENCH_DIR/text" "$BENCH_DIR/binaries" "$BENCH_DIR/random" >"$BENCH_DIR/mixed"
  set -- "$BENCH_DIR/text" "$BENCH_DIR/binaries" "$BENCH_DIR/random" "$BENCH_DIR/mixed"
fi

now() { date +%s.%N; }
# best_time CMD...: the shortest wall time of $RUNS runs, in seconds.
best_time() {
  local best=
  for _ in $(seq "$RUNS"); do
    local t0 t1
    t0=$(now); "$@"; t1=$(now)
    best=$(awk -v a="$t0" -v b="$t1" -v best="$best" 'BEGIN { d = b - a; if (best == "" || d < best) best = d; print best }')
  done
  echo "$best"
}

TOOLS=("lzrw1 fast" "lzrw1 good" "gzip -1" "gzip -9" "bzip2 -9" "xz -6" "lz4 -1" "zstd -3")
pack() {  # tool in out
  case "$1" in
    "lzrw1 fast") "$LZRW1" compress -q -m fast "$2" "$3" ;;
    "lzrw1 good") "$LZRW1" compress -q -m good "$2" "$3" ;;
    "zstd -3") zstd -q -f -3 -T1 "$2" -o "$3" ;;
    "lz4 -1") lz4 -q -f -1 "$2" "$3" ;;
    *) $1 -c "$2" >"$3" ;;
  esac
}
unpack() {  # tool in out
  case "$1" in
    lzrw1*) "$LZRW1" decompress -q "$2" "$3" ;;
    "zstd -3") zstd -q -f -d -T1 "$2" -o "$3" ;;
    "lz4 -1") lz4 -q -f -d "$2" "$3" ;;
    *) ${1%% *} -d -c "$2" >"$3" ;;
  esac
}

results=$(mktemp)
trap 'rm -f "$results" "$BENCH_DIR"/packed.* "$BENCH_DIR"/unpacked.*' EXIT
printf '%-10s %-10s %10s %7s %10s %10s\n' file tool size ratio "comp MB/s" "dec MB/s"
for f in "$@"; do
  size=$(stat -c %s "$f")
  cat "$f" >/dev/null
  for tool in "${TOOLS[@]}"; do
    p="$BENCH_DIR/packed.x" u="$BENCH_DIR/unpacked.x"
    rm -f "$p" "$u"
    ct=$(best_time pack "$tool" "$f" "$p")
    dt=$(best_time unpack "$tool" "$p" "$u")
    cmp -s "$f" "$u" || { echo "bench: $tool does not round-trip $f" >&2; exit 1; }
    psize=$(stat -c %s "$p")
    line=$(awk -v n="$size" -v p="$psize" -v c="$ct" -v d="$dt" \
      'BEGIN { printf "%7.3f %10.1f %10.1f", p / n, n / c / 1e6, n / d / 1e6 }')
    printf '%-10s %-10s %10d %s\n' "$(basename "$f")" "$tool" "$size" "$line"
    echo "$(basename "$f")|$tool|$line" >>"$results"
  done
done

echo
echo "Goals (ratio of MB/s in this run, per file; the worst file decides):"
goal() {  # label tool-a a-col tool-b b-col minimum
  awk -F'|' -v a="$2" -v ac="$3" -v b="$4" -v bc="$5" -v min="$6" -v label="$1" '
    $2 == a { split($3, v, " "); sa[$1] = v[ac == "c" ? 2 : 3]; files[$1] = 1 }
    $2 == b { split($3, v, " "); sb[$1] = v[bc == "c" ? 2 : 3] }
    END {
      worst = 1e9; out = ""
      for (f in files) { r = (sb[f] > 0 ? sa[f] / sb[f] : 0); out = out sprintf(" %s %.2f", f, r); if (r < worst) worst = r }
      printf "  %-46s %s  -> %s (min %.2f, goal >= %.1f)\n", label, out, (worst >= min && worst < 1e9 ? "met" : "MISSED"), worst, min
    }' "$results"
}
goal "fast decompression / lz4 -d" "lzrw1 fast" d "lz4 -1" d 0.5
goal "fast compression / lz4 -1" "lzrw1 fast" c "lz4 -1" c 0.5
goal "good decompression / bzip2 -d" "lzrw1 good" d "bzip2 -9" d 1.0
goal "good compression / gzip -9" "lzrw1 good" c "gzip -9" c 1.0

echo
echo "Peak memory of the lzrw1 tool (KB, /usr/bin/time):"
head -c 1000000 "$1" >"$BENCH_DIR/small"
big="$BENCH_DIR/big"
[ "$(stat -c %s "$big" 2>/dev/null || echo 0)" = 200000000 ] || {
  while [ "$(stat -c %s "$big" 2>/dev/null || echo 0)" -lt 200000000 ]; do cat "$@" >>"$big"; done
  truncate -s 200000000 "$big"
}
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
worst=0
for m in fast good; do
  for f in small big; do
    "$LZRW1" compress -q -m $m "$BENCH_DIR/$f" "$BENCH_DIR/$f.$m"
  done
  cs=$(rss "$LZRW1" compress -q -m $m "$BENCH_DIR/small" "$BENCH_DIR/packed.s")
  cb=$(rss "$LZRW1" compress -q -m $m "$big" "$BENCH_DIR/packed.b")
  ds=$(rss "$LZRW1" decompress -q "$BENCH_DIR/small.$m" "$BENCH_DIR/unpacked.s")
  db=$(rss "$LZRW1" decompress -q "$BENCH_DIR/big.$m" "$BENCH_DIR/unpacked.b")
  printf '  %-5s compress: 1 MB %6d, 200 MB %6d   decompress: 1 MB %6d, 200 MB %6d\n' $m "$cs" "$cb" "$ds" "$db"
  for d in $((cb - cs)) $((db - ds)); do [ "$d" -gt "$worst" ] && worst=$d; done
  rm -f "$BENCH_DIR/small.$m" "$BENCH_DIR/big.$m"
done
rm -f "$BENCH_DIR/small" "$BENCH_DIR"/packed.* "$BENCH_DIR"/unpacked.*
echo "  largest growth from 1 MB to 200 MB: $worst KB -> $([ "$worst" -le 8192 ] && echo met || echo MISSED) (goal <= 8192 KB)"
