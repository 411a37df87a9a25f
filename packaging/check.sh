#!/bin/sh
# Builds one package from the build tree $2 and checks it as a user would meet it:
#   deb  lintian, then unpacked into a scratch root, where it holds its manual and copyright
#        and converts the example
#   rpm  rpmlint, then the same from its cpio archive, with the licence where RPM wants it
#   zip  the Windows .zip holds the licence and the README beside gantrel.exe
# Run from the source folder.
set -eu
kind=$1
build=$2

# A package unpacked into the scratch root $1 holds the manual and converts the example.
converts_from() {
    test -f "$1/usr/share/man/man1/gantrel.1.gz"
    "$1/usr/bin/gantrel" examples/icosahedron.quorvdata icosahedron "$1/icosahedron.quorvwire" |
        tee "$1/output"
    test "$(tail -n 1 "$1/output")" = "Successfully wrote quorvwire"
    cmp "$1/icosahedron.quorvwire" examples/icosahedron.quorvwire
}

case $kind in
    deb)
        (cd "$build" && cpack -G DEB >/dev/null)
        lintian --fail-on error,warning "$build"/gantrel_*.deb
        root="$build/deb-root"
        rm -rf "$root"
        dpkg -x "$build"/gantrel_*.deb "$root"
        test -f "$root/usr/share/doc/gantrel/copyright"
        converts_from "$root"
        ;;
    rpm)
        (cd "$build" && cpack -G RPM >/dev/null)
        rpmlint -c packaging/rpm/rpmlint.toml "$build"/gantrel-*.rpm | tee "$build/rpmlint"
        grep -q ' 0 errors, 0 warnings' "$build/rpmlint"
        root="$build/rpm-root"
        rm -rf "$root" && mkdir -p "$root"
        rpm2cpio "$build"/gantrel-*.rpm | (cd "$root" && cpio -idm --quiet)
        test -f "$root/usr/share/licenses/gantrel/LICENSE"
        converts_from "$root"
        ;;
    zip)
        (cd "$build" && cpack -G ZIP >/dev/null)
        unzip -l "$build"/gantrel-*-win64.zip | grep -q 'gantrel.exe'
        unzip -l "$build"/gantrel-*-win64.zip | grep -q 'LICENSE.txt'
        unzip -l "$build"/gantrel-*-win64.zip | grep -q 'README.txt'
        ;;
    *)
        echo "usage: packaging/check.sh deb|rpm|zip BUILD_DIR" >&2
        exit 2
        ;;
esac
echo "$kind package: checked"
