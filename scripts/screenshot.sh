#!/usr/bin/env bash
# Takes the screenshots of the demo splash program: docs/demo-splash.png (in
# the middle of an installation) and docs/demo-splash-done.png (at its end).
#
# It packs a demo installer (the unpacker stub, the demo splash program and a
# few generated files), runs it under Wine with the X11 driver on a virtual X
# server (Xvfb), captures the screen while the files are being extracted and
# again after the result, and stops everything it started. When the stub
# cannot be built, the demo splash program is driven by fake_unpacker.exe
# instead, which plays the unpacker's side of the window protocol.
#
# Installs what it needs when missing (Debian, as root). Scratch files go to
# $KVSFX_SHOT_DIR (default /tmp/kvsfx-shot), the Wine prefix is
# $KVSFX_SHOT_PREFIX (default /tmp/kvsfx-shot-prefix): never ~/.wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${KVSFX_SHOT_DIR:-/tmp/kvsfx-shot}
export WINEPREFIX=${KVSFX_SHOT_PREFIX:-/tmp/kvsfx-shot-prefix}
export WINEDEBUG=${KVSFX_SHOT_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts
# The virtual desktop the setup window is shown on, and the X screen around it.
desktop=640x400
jobs=2

say() { echo "screenshot: $*" >&2; }

# ---- what is needed
bash scripts/setup.sh
need=()
command -v Xvfb >/dev/null || need+=(xvfb)
command -v import >/dev/null || need+=(imagemagick)
[ -f /usr/share/wine/fonts/marlett.ttf ] || need+=(fonts-wine)  # caption buttons, Tahoma
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    say "missing packages (${need[*]}); run as root or install them"
    exit 1
  fi
  say "installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# ---- build
mkdir -p "$work"
say "building the Windows programs in $work/win32"
cmake -S . -B "$work/win32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DKVSFX_TARGET_WIN32=ON -DKVSFX_BUILD_TESTS=OFF -DKVSFX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$work/win32" -j$jobs --target demo_splash fake_unpacker >/dev/null
bin=$work/win32/bin  # its own cross build, outside build/

mode=fake
if cmake --build "$work/win32" -j$jobs --target unpacker >"$work/stub-build.log" 2>&1; then
  say "building the packer (sfx) in $work/host"
  cmake -S . -B "$work/host" -G Ninja -DKVSFX_BUILD_TESTS=OFF -DKVSFX_BUILD_BENCH=OFF \
    -DKVSFX_WIN32_PROGRAMS=OFF >/dev/null
  if cmake --build "$work/host" -j$jobs --target sfx >"$work/host-build.log" 2>&1; then
    mode=installer
  fi
fi

if [ $mode = installer ]; then
  # A small product: some text, a manual, a data file that compresses only
  # in part (so it takes many buffers), a licence.
  payload=$work/payload
  rm -rf "$payload" && mkdir -p "$payload"
  printf 'KV Demo\n=======\n\nThanks for trying the KV Demo installer.\n' >"$payload/readme.txt"
  for i in $(seq 1 400); do echo "Chapter $i. The installer unpacks every file into the folder you chose."; done \
    >"$payload/manual.txt"
  head -c 220000 /dev/urandom | od -An -tx1 >"$payload/kvdemo-data.bin"
  printf 'Demo licence: use freely.\n' >"$payload/license.txt"
  say "packing $work/kvdemo-setup.exe"
  "$work/host/bin/sfx" pack -q -o "$work/kvdemo-setup.exe" --stub "$bin/unpacker.exe" "$bin/demo_splash.exe" \
    "$payload/readme.txt" "$payload/manual.txt" "$payload/kvdemo-data.bin" "$payload/license.txt"
  "$work/host/bin/sfx" list "$work/kvdemo-setup.exe" || true
else
  say "the stub or the packer does not build (see $work/*-build.log): using the fake unpacker"
fi

# ---- X server and Wine prefix
display=
for d in $(seq 90 99); do
  if [ ! -e /tmp/.X$d-lock ] && [ ! -e /tmp/.X11-unix/X$d ]; then display=:$d; break; fi
done
[ -n "$display" ] || { say "no free X display between :90 and :99"; exit 1; }
export DISPLAY=$display
Xvfb "$display" -screen 0 ${desktop}x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wine_pids=()
cleanup() {
  for p in "${wine_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true  # the server of our own prefix only
  kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "creating the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
fi
# Wine's own fonts where every Windows program finds them (Marlett draws the
# caption buttons, Tahoma is the dialog font).
cp -u /usr/share/wine/fonts/{marlett,tahoma,tahomabd}.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1
# One virtual desktop the size of the screen: Wine draws the window frames.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d $desktop /f >/dev/null 2>&1
wineserver -w

# ---- run and capture
log=$work/demo.log
rm -f "$log"
export KVSFX_DEMO_TARGET='C:\KVDemo'
export KVSFX_DEMO_LOG=$(winepath -w "$log" 2>/dev/null)
export KVSFX_DEMO_DELAY_MS=120  # slow enough to catch a moment of progress
export KVSFX_DEMO_AUTOCLOSE=6
if [ $mode = installer ]; then
  wine "$work/kvdemo-setup.exe" &
  wine_pids+=($!)
else
  wine "$bin/fake_unpacker.exe" &
  wine_pids+=($!)
  sleep 2  # its window must be up before the splash program looks for it
  wine "$bin/demo_splash.exe" /Splash &
  wine_pids+=($!)
fi

# Waits up to $2 seconds until the log matches the regular expression $1.
wait_log() {
  for _ in $(seq 1 $(($2 * 10))); do
    grep -Eq "$1" "$log" 2>/dev/null && return 0
    sleep 0.1
  done
  say "timed out waiting for /$1/ in $log"
  return 1
}
# Mid-installation: some buffers into the largest file.
big=$([ $mode = installer ] && echo kvdemo-data.bin || echo kvdemo.exe)
wait_log "^progress: $big read=[0-9]+ written=[1-9]" 90
for _ in $(seq 1 100); do
  [ "$(grep -c "^progress: $big " "$log")" -ge 12 ] && break
  sleep 0.1
done
import -window root docs/demo-splash.png
say "took docs/demo-splash.png"
wait_log '^result: ' 120
sleep 0.5
import -window root docs/demo-splash-done.png
say "took docs/demo-splash-done.png"
wait_log '^exit ' 30 || true
for p in "${wine_pids[@]}"; do wait "$p" 2>/dev/null || true; done
wine_pids=()

echo "---- what the demo splash program logged ($(grep -c '^progress' "$log") progress records; every 8th shown)"
awk '/^progress/ { if (n++ % 8) next } { print }' "$log"
