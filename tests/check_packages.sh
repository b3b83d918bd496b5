#!/usr/bin/env bash
# Checks what users install: `cmake --install`, the .deb (installed with
# dpkg and run from PATH, then removed), the .tar.gz, the Windows .zip when
# it was built, and that the man page renders without warnings.
# Usage: check_packages.sh BUILD_DIR PACKAGE_DIR
set -euo pipefail

build=$(realpath "$1")
packages=$(realpath "$2")
top=$(cd "$(dirname "$0")/.." && pwd)
sample=$top/examples/generic.trx
work=$(mktemp -d)
installed=
cleanup() {
  [ -n "$installed" ] && dpkg -r tagwrap > /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }
# expect_listing LISTING NAME...: every NAME is a line of LISTING.
expect_listing() {
  local listing=$1
  shift
  for name in "$@"; do
    grep -qxF -- "$name" <<< "$listing" || fail "missing $name in:"$'\n'"$listing"
  done
}
# tag PROGRAM: tags the sample in a fresh directory and checks the output.
tag() {
  local dir
  dir=$(mktemp -d -p "$work")
  (cd "$dir" && "$1" "$sample" wzr-rs-g54 > out) || fail "$1 failed"
  cmp <({ printf 'WZR-RS-G54 2.32 1.01\nfilelen=%s' "$(stat -c %s "$sample")";
          head -c 4 /dev/zero; printf '\n'; cat "$sample"; }) \
      "$dir/lk-buffalo-wzr-rs-g54.bin" || fail "$1 wrote a wrong image"
}

warnings=$(MANWIDTH=80 man --warnings -l "$top/doc/tagwrap.1" 2>&1 > /dev/null)
[ -z "$warnings" ] || fail "the man page renders with warnings: $warnings"
echo "ok   man page renders cleanly"

cmake --install "$build" --prefix "$work/prefix" > /dev/null
[ -x "$work/prefix/bin/tagwrap" ] || fail "cmake --install: no bin/tagwrap"
[ -f "$work/prefix/share/man/man1/tagwrap.1" ] ||
  fail "cmake --install: no share/man/man1/tagwrap.1"
tag "$work/prefix/bin/tagwrap"
echo "ok   cmake --install"

deb=$(ls "$packages"/tagwrap_*_amd64.deb)
expect_listing "$(dpkg-deb -c "$deb" | awk '{ print $NF }')" \
  ./usr/bin/tagwrap ./usr/share/man/man1/tagwrap.1
dpkg -i "$deb" > /dev/null
installed=yes
[ "$(command -v tagwrap)" = /usr/bin/tagwrap ] || fail "tagwrap is not on PATH"
status=0
tagwrap > "$work/usage" || status=$?
[ "$status" = 2 ] || fail "tagwrap without arguments exited $status, not 2"
grep -q '^  wzr-rs-g54$' "$work/usage" || fail "the usage lists no models"
tag tagwrap
[ "$(man -w tagwrap)" = /usr/share/man/man1/tagwrap.1 ] ||
  fail "man does not find the installed page"
echo "ok   $(basename "$deb") installs, runs from PATH and has its man page"

tgz=$(ls "$packages"/tagwrap-*-Linux.tar.gz)
stem=$(basename "$tgz" .tar.gz)
expect_listing "$(tar tzf "$tgz")" \
  "$stem/bin/tagwrap" "$stem/share/man/man1/tagwrap.1"
echo "ok   $(basename "$tgz")"

for zip in "$packages"/tagwrap-*-win64.zip; do
  [ -e "$zip" ] || continue
  expect_listing "$(cmake -E tar tf "$zip")" "$(basename "$zip" .zip)/tagwrap.exe"
  echo "ok   $(basename "$zip")"
done
