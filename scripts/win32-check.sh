#!/usr/bin/env bash
# Cross-builds the check of the Win32 serial backend with MinGW-w64 and runs it under Wine, with
# Wine's COM5 mapped to a simulated logger's pseudo-terminal.
#
#   scripts/win32-check.sh [BUILD_DIR]
#
# BUILD_DIR (default: $CORVANE_BUILD_DIR, else build/) holds the simulator, which is built there
# when missing, and receives win32/win32_serial_check.exe. Installs the cross compiler and Wine
# when they are missing. Where Wine cannot run, prints one line "Win32 serial check skipped:
# <reason>" and exits 0; a check that runs and fails exits 1. Every step has a time limit.
source "$(dirname "$0")/common.sh"
ROOT="$CORVANE_ROOT"
BUILD_DIR="$(realpath -m "${1:-${CORVANE_BUILD_DIR:-$ROOT/build}}")"
CXX_WIN=x86_64-w64-mingw32-g++
PACKAGES=(g++-mingw-w64-x86-64-posix wine64 wine)

skip() {
    echo "Win32 serial check skipped: $*"
    exit 0
}

command -v "$CXX_WIN" >/dev/null && command -v wine >/dev/null ||
    (CORVANE_PACKAGES=("${PACKAGES[@]}") && corvane_install_deps) ||
    skip "the packages ${PACKAGES[*]} could not be installed"
command -v "$CXX_WIN" >/dev/null || skip "no MinGW-w64 cross compiler ($CXX_WIN)"
command -v wine >/dev/null || skip "no wine command"

# The check is Qt-free: the backend, the network name parser and the test program.
EXE="$BUILD_DIR/win32/win32_serial_check.exe"
mkdir -p "$(dirname "$EXE")"
echo "Cross-building $EXE"
timeout 600 "$CXX_WIN" -std=c++20 -O1 -Wall -Wextra -Wpedantic -Werror \
    -I"$ROOT/src/serial" -static -static-libgcc -static-libstdc++ \
    "$ROOT/tests/serial/win32/win32_serial_check.cpp" \
    "$ROOT/src/serial/win32/win32_serial_os.cpp" \
    "$ROOT/src/serial/network_port_name.cpp" -o "$EXE"

SIM="$BUILD_DIR/tools/logger-sim/corvane-logger-sim"
if [ ! -x "$SIM" ]; then
    echo "Building the simulator in $BUILD_DIR"
    [ -f "$BUILD_DIR/CMakeCache.txt" ] || timeout 600 cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja >/dev/null
    timeout 1800 cmake --build "$BUILD_DIR" --target corvane-logger-sim >/dev/null
fi

WORK="$(mktemp -d /tmp/corvane-win32.XXXXXX)"
SIM_PID=
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    WINEPREFIX="$WORK/prefix" timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT

# A prefix of its own, no display, no Mono or Gecko prompts, no debug output.
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if ! timeout 300 wineboot -i >"$WORK/wineboot.log" 2>&1 || [ ! -d "$WINEPREFIX/drive_c" ]; then
    skip "Wine cannot set up a prefix on this machine: $(tail -n 1 "$WORK/wineboot.log")"
fi
if ! timeout 120 wine cmd /c exit >"$WORK/probe.log" 2>&1; then
    skip "Wine cannot run a program on this machine: $(tail -n 1 "$WORK/probe.log")"
fi

LINK="$WORK/com5"
"$SIM" --slave 1:QTR-8D --link "$LINK" --quiet >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do
    [ -e "$LINK" ] && break
    sleep 0.1
done
if [ ! -e "$LINK" ]; then
    echo "Win32 serial check failed: the simulator did not come up at $LINK"
    exit 1
fi

# Wine's mount manager reads the port mapping when it starts; the server is stopped so that the
# next program starts it afresh.
if ! timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$LINK" /f \
    >"$WORK/reg.log" 2>&1; then
    echo "Win32 serial check failed: COM5 could not be mapped: $(tail -n 1 "$WORK/reg.log")"
    exit 1
fi
timeout 30 wineserver -k >/dev/null 2>&1 || true
timeout 30 wineserver -w >/dev/null 2>&1 || true

echo "Running the check under $(timeout 30 wine --version 2>/dev/null || echo wine), COM5 -> $LINK"
status=0
timeout 120 wine "$EXE" COM5 2>"$WORK/wine.log" || status=$?
if [ "$status" -eq 124 ]; then
    echo "Win32 serial check failed: no result within 120 s"
    exit 1
fi
if [ "$status" -ne 0 ]; then
    sed 's/^/wine: /' "$WORK/wine.log" | tail -n 20
    echo "Win32 serial check failed (exit status $status)"
    exit 1
fi
