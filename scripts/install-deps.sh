#!/bin/sh
# Installs the Debian packages gantrel needs that are missing: the tool's build alone by default;
# with --tests, the unit and end-to-end tests' (the file system tools and FUSE drivers the
# replacement tests mount with, and Python with the clang bindings for the mutation check); with
# --lint, the formatter, static analysers and valgrind; with --fuzz, clang and its sanitizer
# runtimes; with --windows, the cross-compiler and Wine; with --cross, the s390x, i686 and
# aarch64 cross-compilers and qemu; with --package, what builds and checks the Debian and RPM
# packages and renders the manual; with --bench, Google Benchmark.
set -eu

packages="cmake g++ make"
for option in "$@"; do
    case "$option" in
        --tests) packages="$packages python3 python3-clang-14 libclang-14-dev libgtest-dev e2fsprogs mount strace util-linux xfsprogs btrfs-progs dosfstools fusefat exfat-fuse exfatprogs ntfs-3g" ;;
        --windows) packages="$packages g++-mingw-w64-x86-64 wine wine64 groff-base unzip zip" ;;
        --bench) packages="$packages libbenchmark-dev" ;;
        --lint) packages="$packages clang-format clang-tidy cppcheck valgrind git" ;;
        --fuzz) packages="$packages clang libclang-rt-14-dev" ;;
        --cross) packages="$packages g++-s390x-linux-gnu g++-i686-linux-gnu g++-aarch64-linux-gnu qemu-user-static libgtest-dev" ;;
        --package) packages="$packages dpkg-dev groff-base man-db gzip lintian rpm rpmlint cpio" ;;
        *) echo "usage: install-deps.sh [--tests] [--lint] [--fuzz] [--windows] [--cross] [--package] [--bench]" >&2; exit 2 ;;
    esac
done

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "gantrel needs these Debian packages:$missing (run: sudo apt-get install$missing)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $missing >/dev/null
