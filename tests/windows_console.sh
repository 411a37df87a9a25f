#!/bin/sh
# Runs gantrel.exe ($2) under Wine ($1) on a terminal, which Wine shows as a console, with a
# missing input whose name lies outside the ANSI code page: the message must show it as typed.
set -eu
wine=$1
exe=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
name=$(printf 'missing-\320\226\303\251')
console=$(cd "$scratch" && LANG=C.UTF-8 script -qec "$wine '$exe' '$name' abc w" /dev/null </dev/null)
case $console in
    *"Could not open file $name"*) echo "console output: UTF-16, as typed" ;;
    *) echo "console output was: $console" >&2; exit 1 ;;
esac
