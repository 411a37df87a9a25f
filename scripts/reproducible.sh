#!/bin/sh
# Checks that the release is reproducible: builds it from two clones of HEAD at different paths,
# with different umasks (022 and 002), time zones, locales and, as root, users, a moment apart,
# and compares the packages and both programs byte for byte. Runs lintian and rpmlint on the
# build made with umask 002. Where diffoscope is installed, it shows how an artefact differs.
set -eu
cd "$(dirname "$0")/.."
source=$PWD
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"

git clone -q "$source" "$scratch/a"
mkdir -p "$scratch/second/clone/at/another/depth"
git clone -q "$source" "$scratch/second/clone/at/another/depth/b"
first=$scratch/a
second=$scratch/second/clone/at/another/depth/b

(cd "$first" && umask 022 && TZ=UTC LC_ALL=C.UTF-8 scripts/release.sh >/dev/null)
sleep 2  # a different build time
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    # Another user builds the second, with its own home and toolchain caches.
    chown -R nobody "$scratch/second"
    chmod -R a+rX "$scratch"
    (cd "$second" && umask 002 && env HOME="$second" TZ=Pacific/Kiritimati LC_ALL=C \
        setpriv --reuid=nobody --regid=nogroup --clear-groups scripts/release.sh >/dev/null)
else
    (cd "$second" && umask 002 && TZ=Pacific/Kiritimati LC_ALL=C scripts/release.sh >/dev/null)
fi

status=0
for artefact in build/packages/SHA256SUMS build/packages/*.deb build/packages/*.rpm \
    build/packages/*.zip build/deb/gantrel build/windows/gantrel.exe; do
    for path in "$first"/$artefact; do
        name=${path#"$first"/}
        if cmp -s "$path" "$second/$name"; then
            echo "identical: $name $(sha256sum <"$path" | cut -d' ' -f1)"
        else
            echo "differs:   $name" >&2
            if command -v diffoscope >/dev/null; then
                diffoscope "$path" "$second/$name" >&2 || true
            fi
            status=1
        fi
    done
done

lintian --fail-on error,warning "$second"/build/packages/*.deb
rpmlint -c packaging/rpm/rpmlint.toml "$second"/build/packages/*.rpm >"$scratch/rpmlint" 2>&1 ||
    { cat "$scratch/rpmlint" >&2; status=1; }
grep -q ' 0 errors, 0 warnings' "$scratch/rpmlint" || { cat "$scratch/rpmlint" >&2; status=1; }
echo "lintian and rpmlint: no error or warning on the build made with umask 002"
exit $status
