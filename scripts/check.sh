#!/bin/sh
# The whole test suite, as CI runs it: installs what it needs (Debian, as root), builds with
# warnings as errors and runs every check. FUZZ_SECONDS sets the fuzzing time (60 by default).
set -eu
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

step() { printf '\n== %s\n' "$*"; }

# A package unpacked into the scratch root $1 holds the manual and converts the example.
converts_from() {
    test -f "$1/usr/share/man/man1/gantrel.1.gz"
    "$1/usr/bin/gantrel" examples/icosahedron.quorvdata icosahedron "$1/icosahedron.quorvwire" |
        tee "$1/output"
    test "$(tail -n 1 "$1/output")" = "Successfully wrote quorvwire"
    cmp "$1/icosahedron.quorvwire" examples/icosahedron.quorvwire
}

step "packages"
scripts/install-deps.sh --tests --lint --fuzz --windows --cross --package

step "formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

step "build and test"
cmake --preset ci
cmake --build --preset ci
ctest --preset ci

step "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

step "end-to-end cases under valgrind"
cmake --preset valgrind
cmake --build --preset valgrind
GANTREL_COMMAND="valgrind -q --error-exitcode=1 --leak-check=full --show-leak-kinds=all \
--errors-for-leak-kinds=all $PWD/build/valgrind/gantrel" \
    build/ci/tests/gantrel_cli_tests --gtest_brief=1

step "static analysis"
git ls-files 'tool/*.cpp' 'files/*.cpp' 'formats/*.cpp' 'mesh/*.cpp' | grep -v -E '_win32\.cpp$|/win32/' |
    xargs clang-tidy -p build/ci --quiet
cppcheck --quiet --enable=warning,performance,portability,style --std=c++17 \
    --error-exitcode=1 --inline-suppr -I . tool files formats mesh

step "fuzzing for ${FUZZ_SECONDS:-60} seconds"
cmake --preset fuzz
cmake --build --preset fuzz
rm -rf build/fuzz/corpus && mkdir -p build/fuzz/corpus
if ! build/fuzz/fuzz/gantrel_convert_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus \
    >build/fuzz/log 2>&1; then
    tail -n 60 build/fuzz/log
    echo "the fuzzer found a failing input: build/fuzz/crash-*" >&2
    exit 1
fi
grep -E '^Done|^stat::number_of_executed_units' build/fuzz/log; grep 'cov:' build/fuzz/log | tail -n 1

step "Windows build and .zip, end-to-end cases under Wine"
cmake --workflow --preset windows-zip
unzip -l build/windows/gantrel-*-win64.zip | grep -q 'LICENSE.txt'
unzip -l build/windows/gantrel-*-win64.zip | grep -q 'README.txt'
export WINEDEBUG=-all WINEPREFIX="$PWD/build/wine"
wineboot --init >/dev/null 2>&1 || true
GANTREL_COMMAND="wine $PWD/build/windows/gantrel.exe" GANTREL_NEWLINE=crlf \
    build/ci/tests/gantrel_cli_tests --gtest_brief=1
rm -rf build/windows/scratch && mkdir -p build/windows/scratch
(cd build/windows/scratch && wine ../gantrel_windows_test.exe ../gantrel.exe)
# Ctrl+C and termination aimed at the temporary's life: Ctrl+C leaves nothing, termination only
# the documented window.
GANTREL_WINE_EXE="$PWD/build/windows/gantrel.exe" \
    build/ci/tests/gantrel_fault_tests --gtest_filter='WineInterrupts.*' --gtest_brief=1
# On a console, messages are written as UTF-16, so a path outside the ANSI code page shows as
# typed; `script` gives wine a terminal, which it shows as a console.
name=$(printf 'missing-\320\226\303\251')
console=$(cd build/windows/scratch &&
    LANG=C.UTF-8 script -qec "wine ../gantrel.exe '$name' abc w" /dev/null </dev/null)
case $console in
    *"Could not open file $name"*) echo "console output: UTF-16, as typed" ;;
    *) echo "console output was: $console" >&2; exit 1 ;;
esac

step "big-endian and 32-bit hosts: unit tests and end-to-end cases under qemu"
for target in s390x:s390x i686:i386; do
    preset=${target%%:*}
    emulator=qemu-${target#*:}-static
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    "$emulator" "build/$preset/tests/gantrel_unit_tests" --gtest_brief=1
    GANTREL_COMMAND="$emulator $PWD/build/$preset/gantrel" \
        build/ci/tests/gantrel_cli_tests --gtest_brief=1
done

step "manual page"
test -z "$(groff -ww -t -man -z doc/gantrel.1 2>&1)"
test -z "$(MANWIDTH=80 man --warnings -l doc/gantrel.1 2>&1 >/dev/null)"

step "Debian package: lintian, then installed into a scratch root"
cmake --workflow --preset deb
lintian --fail-on error,warning build/deb/gantrel_*.deb
root="$PWD/build/deb-root"
rm -rf "$root"
dpkg -x build/deb/gantrel_*.deb "$root"
test -f "$root/usr/share/doc/gantrel/copyright"
converts_from "$root"

step "RPM package: rpmlint, then installed into a scratch root"
cmake --workflow --preset rpm
rpmlint -c packaging/rpm/rpmlint.toml build/deb/gantrel-*.rpm | tee build/deb/rpmlint
grep -q ' 0 errors, 0 warnings' build/deb/rpmlint
root="$PWD/build/rpm-root"
rm -rf "$root" && mkdir -p "$root"
rpm2cpio build/deb/gantrel-*.rpm | (cd "$root" && cpio -idm --quiet)
test -f "$root/usr/share/licenses/gantrel/LICENSE"
converts_from "$root"

step "reproducible release: two clones, two builds, the same bytes"
scripts/reproducible.sh

step "mutation check: every plausible mistake in the list is caught by the tests"
scripts/mutation-check.py

step "all checks passed"
