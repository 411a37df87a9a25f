#!/bin/sh
# The whole test suite, as CI runs it: installs what it needs (Debian, as root), then builds with
# warnings as errors and runs every check. Run from anywhere; it works in the source tree.
set -eu
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

step() { printf '\n== %s\n' "$*"; }

step "packages"
scripts/install-deps.sh --tests --windows

step "build and test"
cmake --preset ci
cmake --build --preset ci
ctest --preset ci

step "Windows build, end-to-end cases under Wine"
cmake --preset windows
cmake --build --preset windows
export WINEDEBUG=-all WINEPREFIX="$PWD/build/wine"
wineboot --init >/dev/null 2>&1 || true
GANTREL_COMMAND="wine $PWD/build/windows/gantrel.exe" GANTREL_NEWLINE=crlf \
    build/ci/tests/gantrel_cli_tests --gtest_brief=1
