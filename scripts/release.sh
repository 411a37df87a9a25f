#!/bin/sh
# Builds the release packages (the Debian package, the RPM package and the Windows .zip) and
# gathers them in build/packages with their SHA256SUMS. The packages are reproducible: the same
# commit built with the same toolchain gives the same bytes, wherever and whenever it is built.
set -eu
cd "$(dirname "$0")/.."
cmake --workflow --preset deb >/dev/null
cmake --workflow --preset rpm >/dev/null
cmake --workflow --preset windows-zip >/dev/null
rm -rf build/packages
mkdir -p build/packages
cp build/deb/gantrel_*.deb build/deb/gantrel-*.rpm build/windows/gantrel-*-win64.zip \
    build/packages/
(cd build/packages && sha256sum -- * >SHA256SUMS && cat SHA256SUMS)
