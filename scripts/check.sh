#!/bin/sh
# The whole test suite, as CI runs it: installs what it needs (Debian, as root), then runs every
# check CMake and CTest know of (scripts/install-deps.sh, CMakePresets.json). FUZZ_SECONDS sets
# the fuzzing time (60 by default); MUTATIONS how many of the generated mutations are tried (40
# by default, drawn with the commit as the seed; "all" tries every one).
set -eu
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

step() { printf '\n== %s\n' "$*"; }

step "packages"
scripts/install-deps.sh --tests --lint --fuzz --windows --cross --package

# The host build first: the Windows tests drive gantrel.exe with its test programs.
for workflow in ci lint sanitize memcheck fuzz s390x i686 aarch64 windows packages; do
    step "cmake --workflow --preset $workflow"
    cmake --workflow --preset "$workflow"
done

step "reproducible release: two clones, two builds, the same bytes"
scripts/reproducible.sh

step "mutations: a sample of the generated set, every one caught or listed as equivalent"
scripts/mutation-check.py --workers 2 --sample "${MUTATIONS:-40}"

step "all checks passed"
