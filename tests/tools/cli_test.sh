#!/usr/bin/env bash
# Tests of the lzrw1 command-line tool: cli_test.sh LZRW1 GROUP
# Each group checks exit status, stdout/stderr and the files left behind.
set -uo pipefail
LZRW1=$1
GROUP=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/lzrw1_cli.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# expect STATUS STDERR_PATTERN -- command...: runs it, checks status and that
# stderr matches the (grep -E) pattern ('' = must be empty).
expect() {
  local status=$1 pattern=$2; shift 3
  "$@" >out.txt 2>err.txt
  local got=$?
  [ "$got" = "$status" ] || fail "$*: exit $got, expected $status ($(cat err.txt))"
  if [ -z "$pattern" ]; then
    [ ! -s err.txt ] || fail "$*: unexpected stderr: $(cat err.txt)"
  else
    grep -Eq -- "$pattern" err.txt || fail "$*: stderr '$(cat err.txt)' does not match '$pattern'"
  fi
}
# No output file and no temporary file may be left in the folder.
no_leftovers() {
  [ ! -e "$1" ] || fail "partial output $1 left behind"
  ! ls -A | grep -q '\.lzrw1-' || fail "temporary file left behind: $(ls -A | grep '\.lzrw1-')"
}

make_inputs() {
  head -c 400000 /usr/bin/cmake >binary 2>/dev/null || head -c 400000 /bin/sh >binary
  for i in $(seq 1 3000); do echo "line $i of a text with words that repeat, repeat and repeat"; done >text
  head -c 200000 /dev/urandom >random
  : >empty
  head -c 131072 /dev/zero >zeros
}

case "$GROUP" in
roundtrip)
  make_inputs
  for f in binary text random empty zeros; do
    for m in good fast auto; do
      expect 0 '' -- "$LZRW1" compress -q -m "$m" "$f" "$f.$m"
      expect 0 '' -- "$LZRW1" decompress -q "$f.$m" "$f.$m.out"
      cmp -s "$f" "$f.$m.out" || fail "$f with $m does not round-trip"
    done
  done
  # The header names the method.
  [ "$(head -c 4 text.fast)" = "WRZL" ] || fail "fast stream without WRZL"
  [ "$(head -c 4 text.good)" = '!HZL' ] || fail "good stream without !HZL"
  [ "$(od -An -tx1 empty.fast | tr -d ' \n')" = "57525a4c00000000010080" ] || fail "empty fast stream: $(od -An -tx1 empty.fast)"
  # Output replaces an existing file.
  echo old >text.out
  expect 0 '' -- "$LZRW1" decompress text.fast text.out
  cmp -s text text.out || fail "existing output not replaced"
  ;;
stdio)
  make_inputs
  "$LZRW1" compress -m fast - - <binary >b.fast 2>err.txt || fail "compress stdin->stdout: $(cat err.txt)"
  "$LZRW1" decompress - - <b.fast | cmp -s - binary || fail "decompress stdin->stdout"
  cat binary | "$LZRW1" compress -m good - b.good || fail "compress from a pipe"
  cat b.good | "$LZRW1" decompress - - | cmp -s - binary || fail "decompress from a pipe"
  cat text | "$LZRW1" compress -m auto - - | "$LZRW1" decompress - t.out || fail "pipe chain"
  cmp -s text t.out || fail "pipe chain output differs"
  [ "$(cat zeros | "$LZRW1" advise -)" = fast ] || fail "advise from a pipe"
  [ "$("$LZRW1" advise random)" = good ] || fail "advise random"
  [ "$("$LZRW1" advise -t 101 random)" = fast ] || fail "advise -t 101"
  [ "$("$LZRW1" advise -t 0 zeros)" = good ] || fail "advise -t 0"
  head -c 98303 zeros >short
  [ "$("$LZRW1" advise short)" = good ] || fail "advise short input"
  ;;
errors)
  make_inputs
  "$LZRW1" compress -q -m fast binary b.fast
  expect 1 '^lzrw1: missing: No such file or directory$' -- "$LZRW1" compress missing out1
  no_leftovers out1
  expect 1 '^lzrw1: missing: No such file or directory$' -- "$LZRW1" decompress missing out2
  no_leftovers out2
  expect 1 '^lzrw1: text: Lzrw1 decompression : input stream contains no valid header !$' -- "$LZRW1" decompress text out3
  no_leftovers out3
  head -c 100000 b.fast >cut.fast
  expect 1 '^lzrw1: cut.fast: Compression Error, reading from input stream !$' -- "$LZRW1" decompress cut.fast out4
  no_leftovers out4
  expect 1 "^lzrw1: no/such/dir/out5: cannot create output file: No such file or directory$" -- "$LZRW1" compress text no/such/dir/out5
  expect 1 '^lzrw1: .: Is a directory$' -- "$LZRW1" compress . out6
  no_leftovers out6
  # A reader that goes away: the write error is reported, exit 1.
  "$LZRW1" decompress b.fast - 2>err.txt | head -c 10 >/dev/null
  [ "${PIPESTATUS[0]}" = 1 ] || fail "closed stdout: exit ${PIPESTATUS[0]}"
  grep -q 'writing to output stream' err.txt || fail "closed stdout: $(cat err.txt)"
  # Usage errors.
  expect 2 'missing command' -- "$LZRW1"
  expect 2 "unknown command 'pack'" -- "$LZRW1" pack a b
  expect 2 "invalid method 'slow'" -- "$LZRW1" compress -m slow text out7
  expect 2 "invalid threshold 'x'" -- "$LZRW1" advise -t x text
  expect 2 'missing operand' -- "$LZRW1" decompress text
  expect 2 'too many operands' -- "$LZRW1" advise text text
  expect 2 "unknown option '-m'" -- "$LZRW1" decompress -m good a b
  expect 2 'needs a value' -- "$LZRW1" compress text out8 -t
  no_leftovers out7
  ;;
help)
  for cmd in "" compress decompress advise; do
    expect 0 '' -- "$LZRW1" $cmd --help
    grep -q '^Usage: lzrw1' out.txt || fail "'$cmd --help' prints no usage"
    expect 0 '' -- "$LZRW1" $cmd -h
  done
  "$LZRW1" compress --help | grep -q -- '-m good' || fail "compress help lacks -m"
  ;;
*)
  echo "unknown group $GROUP" >&2
  exit 2
  ;;
esac

[ "$failures" = 0 ] || { echo "$failures failure(s) in $GROUP" >&2; exit 1; }
echo "$GROUP: ok"
