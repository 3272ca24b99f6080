#!/usr/bin/env bash
# Cross-builds quarlix.exe (static, Windows x86-64) into build/windows, checks
# that it needs no DLL beyond the system's C runtime, and runs the end-to-end
# tests against it under wine.
#
#   .ci/windows.sh [E2E_TEST_BINARY [TEST_ARGUMENTS...]]
#
# E2E_TEST_BINARY is the Linux build of the end-to-end tests (default
# build/release/tests/quarlix_e2e_tests); it starts quarlix.exe through wine.
# TEST_ARGUMENTS go to it as they are (e.g. --gtest_filter=ReaderTest.*).
# Needs g++-mingw-w64-x86-64, libz-mingw-w64-dev, wine64 and wine.
set -euo pipefail
cd "$(dirname "$0")/.."

e2e_tests="${1:-build/release/tests/quarlix_e2e_tests}"
shift || true
if [ ! -x "$e2e_tests" ]; then
  echo "windows.sh: no end-to-end test binary at $e2e_tests; build the Linux tests first" >&2
  exit 2
fi

step_start=$SECONDS
step_done() { echo "-- $1 took $((SECONDS - step_start)) s"; step_start=$SECONDS; }

echo "== cross-building quarlix.exe"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DQUARLIX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
cmake --build build/windows -j"$(nproc)"
exe="$PWD/build/windows/quarlix.exe"
step_done "build"

echo "== DLLs that quarlix.exe imports"
imports="$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }')"
echo "$imports"
unexpected="$(echo "$imports" | grep -viE '^(kernel32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$' || true)"
if [ -n "$unexpected" ]; then
  echo "windows.sh: quarlix.exe must be static, but imports: $unexpected" >&2
  exit 1
fi

echo "== wine prefix"
wine="$(command -v /usr/lib/wine/wine64 wine64 wine | head -n 1 || true)"
if [ -z "$wine" ]; then
  echo "windows.sh: wine is not installed" >&2
  exit 2
fi
scratch="$(mktemp -d)"
export WINEPREFIX="$scratch/prefix"
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
stop_wine() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap stop_wine EXIT
# One persistent server, started before anything else and cut off from this
# script's output: otherwise every run pays for a server start and lingering
# helpers hold the callers' pipes open.
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wineboot --init </dev/null >/dev/null 2>&1
step_done "prefix creation"

echo "== end-to-end tests against quarlix.exe under $wine"
status=0
QUARLIX_TEST_BINARY="$exe" QUARLIX_TEST_LAUNCHER="$wine" QUARLIX_TEST_CRLF=1 \
  "$e2e_tests" "$@" || status=$?
step_done "end-to-end tests"
exit "$status"
