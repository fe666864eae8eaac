#!/usr/bin/env bash
# The main job: installs what is missing, builds everything, shows the lzrw1
# tool on a sample file, packs a demo installer with the demo splash program,
# runs it under Wine (headless) and prints what happened.
#
# Scratch files go to build/demo/, the Wine prefix to build/wine-demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
demo=$root/build/demo
export WINEPREFIX=$root/build/wine-demo
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

step "Setting up (installs what is missing)"
bash scripts/setup.sh

step "Building (build/: native tools in build/bin, Windows programs in build/win32)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" | tail -n 1
bin=$root/build/bin
win=$root/build/win32
ls -l "$win/unpacker.exe" "$win/demo_splash.exe" | awk '{printf "  %-40s %8d bytes\n", $NF, $5}'

rm -rf "$demo" && mkdir -p "$demo"

step "lzrw1: compress and restore a sample (README.md) with both methods"
for m in good fast; do
  "$bin/lzrw1" compress -q -m "$m" README.md "$demo/README.$m.lz"
  "$bin/lzrw1" decompress -q "$demo/README.$m.lz" "$demo/README.$m"
  cmp -s README.md "$demo/README.$m" && same=identical || same=DIFFERENT
  printf '  %-5s %7d -> %7d bytes (%s%%), restored copy %s\n' "$m" "$(stat -c %s README.md)" \
    "$(stat -c %s "$demo/README.$m.lz")" \
    "$(( $(stat -c %s "$demo/README.$m.lz") * 100 / $(stat -c %s README.md) ))" "$same"
done
printf '  advise on build/bin/sfx: %s\n' "$("$bin/lzrw1" advise "$bin/sfx")"

step "sfx pack: the demo splash program, README.md and the docs/ folder"
"$bin/sfx" pack -q -o "$demo/kvdemo-setup.exe" "$win/demo_splash.exe" README.md docs
"$bin/sfx" list "$demo/kvdemo-setup.exe"
"$bin/sfx" test "$demo/kvdemo-setup.exe"

step "Running the installer under Wine (headless)"
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  echo "  creating the Wine prefix build/wine-demo (once)"
  wineboot -i >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
fi
target_unix=$demo/installed
mkdir -p "$target_unix"
target_win=$(winepath -w "$target_unix" 2>/dev/null)
log=$demo/splash.log
: >"$log"
start=$(date +%s%N)
set +e
KVSFX_DEMO_TARGET="$target_win" KVSFX_DEMO_LOG="$(winepath -w "$log" 2>/dev/null)" KVSFX_DEMO_AUTOCLOSE=1 \
  timeout 120 wine "$demo/kvdemo-setup.exe"
code=$?
timeout 60 wineserver -w
set -e
end=$(date +%s%N)
ms=$(( (end - start) / 1000000 ))
printf '  the unpacker ended with exit code %d after %d.%01d s\n' "$code" $((ms / 1000)) $((ms % 1000 / 100))
echo "  what the splash program saw:"
tr -d "\r" <"$log" | sed "s/^/    /"

step "Extracted files, compared with the originals"
ok=0 bad=0
for f in README.md docs/*; do
  [ -f "$f" ] || continue
  name=$(basename "$f")
  if cmp -s "$f" "$target_unix/$name"; then ok=$((ok + 1)); state=same
  else bad=$((bad + 1)); state=DIFFERENT; fi
  printf '  %-28s %9d bytes  %s\n' "$name" "$(stat -c %s "$target_unix/$name" 2>/dev/null || echo 0)" "$state"
done
echo "  entry 0 (the splash program) in the system directory: $(ls "$WINEPREFIX/drive_c/windows/system32/demo_splash.exe" 2>/dev/null || echo missing)"
if [ "$code" -eq 0 ] && [ "$bad" -eq 0 ] && grep -q '^result: OK' "$log"; then
  step "Done: $ok files installed into $target_unix"
else
  step "The demo installation did not succeed (see above)"
  exit 1
fi
