#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what users install: `cmake --install`, the .deb (lintian-clean,
# installed with dpkg and run from PATH, then removed), the .tar.gz (a
# static program that runs in an empty chroot), the Windows .zip when it was
# built, the completions in bash, zsh and fish, and that the man page
# renders without warnings.
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

# completes SHELL PROGRAM COMPLETION: the completion completes in SHELL.
completes() {
  "$top/tests/completion_test.sh" "$@" > "$work/completion.log" ||
    fail "the $1 completion $3 does not complete:"$'\n'"$(cat "$work/completion.log")"
}

# What every install from source or package holds, below its prefix; zsh
# looks in vendor-completions below /usr and in site-functions elsewhere.
files=(bin/tagwrap share/man/man1/tagwrap.1.gz share/doc/tagwrap/copyright
  share/doc/tagwrap/changelog.gz share/bash-completion/completions/tagwrap
  share/fish/vendor_completions.d/tagwrap.fish)
usr_files=("${files[@]}" share/zsh/vendor-completions/_tagwrap)
local_files=("${files[@]}" share/zsh/site-functions/_tagwrap)

cmake --install "$build" --prefix "$work/prefix" > /dev/null
for file in "${local_files[@]}"; do
  [ -f "$work/prefix/$file" ] || fail "cmake --install: no $file"
done
tag "$work/prefix/bin/tagwrap"
echo "ok   cmake --install"

deb=$(ls "$packages"/tagwrap_*_amd64.deb)
expect_listing "$(dpkg-deb -c "$deb" | awk '{ print $NF }')" \
  "${usr_files[@]/#/./usr/}"
# lintian warns about being run as root on stderr; its findings go to stdout.
findings=$(lintian --fail-on error,warning "$deb" 2> /dev/null) ||
  fail "lintian:"$'\n'"$findings"
[ -z "$findings" ] || fail "lintian:"$'\n'"$findings"
echo "ok   lintian has nothing to say about $(basename "$deb")"
dpkg -i "$deb" > /dev/null
installed=yes
[ "$(command -v tagwrap)" = /usr/bin/tagwrap ] || fail "tagwrap is not on PATH"
status=0
tagwrap > "$work/usage" || status=$?
[ "$status" = 2 ] || fail "tagwrap without arguments exited $status, not 2"
grep -q '^  wzr-rs-g54$' "$work/usage" || fail "the usage lists no models"
tag tagwrap
[ "$(man -w tagwrap)" = /usr/share/man/man1/tagwrap.1.gz ] ||
  fail "man does not find the installed page"
completes bash /usr/bin/tagwrap /usr/share/bash-completion/completions/tagwrap
completes zsh /usr/bin/tagwrap /usr/share/zsh/vendor-completions/_tagwrap
completes fish /usr/bin/tagwrap /usr/share/fish/vendor_completions.d/tagwrap.fish
# Each shell finds the installed completion with no setup.
zsh -fc 'autoload -Uz compinit && compinit -u -D && [ "$_comps[tagwrap]" = _tagwrap ]' ||
  fail "zsh does not find the installed completion"
HOME=$work XDG_CONFIG_HOME=$work fish -c 'complete --do-complete "tagwrap generic.trx wzr"' |
  grep -qx 'wzr-rs-g54.*' || fail "fish does not find the installed completion"
echo "ok   $(basename "$deb") installs, runs from PATH, has its man page and completes in bash, zsh and fish"

tgz=$(ls "$packages"/tagwrap-*-Linux.tar.gz)
stem=$(basename "$tgz" .tar.gz)
expect_listing "$(tar tzf "$tgz")" "${local_files[@]/#/$stem/}"
tar xzf "$tgz" -C "$work"
static=$work/$stem/bin/tagwrap
# No program interpreter, no shared library, no symbol version to ask for.
! readelf -l "$static" | grep -q 'program interpreter' ||
  fail "the tarball's tagwrap needs a program interpreter"
! objdump -T "$static" 2>&1 | grep -q 'GLIBC_' ||
  fail "the tarball's tagwrap asks for glibc symbol versions"
readelf -h "$static" | grep -q 'DYN (Position-Independent' ||
  fail "the tarball's tagwrap is not a static PIE"
# It runs in an empty root that holds nothing but itself and the sample.
root=$work/chroot
mkdir "$root"
cp "$static" "$root/tagwrap"
cp "$sample" "$root/generic.trx"
status=0
chroot "$root" /tagwrap > "$work/usage" || status=$?
[ "$status" = 2 ] || fail "tagwrap in an empty chroot exited $status, not 2"
grep -q '^  wzr-rs-g54$' "$work/usage" || fail "the usage in the chroot lists no models"
chroot "$root" /tagwrap /generic.trx wzr-rs-g54 > "$work/out" ||
  fail "tagwrap in an empty chroot failed: $(cat "$work/out")"
cmp <({ printf 'WZR-RS-G54 2.32 1.01\nfilelen=%s' "$(stat -c %s "$sample")";
        head -c 4 /dev/zero; printf '\n'; cat "$sample"; }) \
    "$root/lk-buffalo-wzr-rs-g54.bin" || fail "tagwrap in an empty chroot wrote a wrong image"
[ "$(ls "$root" | sort | tr '\n' ' ')" = "generic.trx lk-buffalo-wzr-rs-g54.bin tagwrap " ] ||
  fail "tagwrap in an empty chroot left: $(ls "$root")"
echo "ok   $(basename "$tgz"): a static PIE that tags the sample in an empty chroot"

for zip in "$packages"/tagwrap-*-win64.zip; do
  [ -e "$zip" ] || continue
  stem=$(basename "$zip" .zip)
  expect_listing "$(cmake -E tar tf "$zip")" \
    "$stem/tagwrap.exe" "$stem/README.md" "$stem/LICENSE.txt"
  echo "ok   $(basename "$zip")"
done
