#!/bin/sh
# Installs what building gantrel needs on Debian: the tool alone by default, the test suite's
# packages too with --tests. Installs nothing that is already there.
set -eu

packages="cmake g++ make"
if [ "${1:-}" = "--tests" ]; then
    packages="$packages libgtest-dev"
fi

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
