#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the packages twice, from two fresh clones of the same commit in
# directories of different names, with SOURCE_DATE_EPOCH set to the commit's
# time, and fails unless the .deb, the static .tar.gz and the Windows .zip
# come out byte for byte the same.
# Usage: check_reproducible.sh [REPO] [COMMIT]
set -euo pipefail

repo=$(realpath "${1:-$(dirname "$0")/..}")
commit=${2:-HEAD}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH

build() {
  local dir=$1
  git clone --quiet --no-checkout "$repo" "$dir"
  git -C "$dir" checkout --quiet "$commit"
  for preset in package tarball windows-zip; do
    (cd "$dir" && cmake --workflow --preset "$preset" >> "$dir.log" 2>&1) ||
      { cat "$dir.log"; exit 1; }
  done
}
build "$work/a"
build "$work/second-clone-elsewhere"

status=0
for package in tagwrap_*_amd64.deb tagwrap-*-Linux.tar.gz tagwrap-*-win64.zip; do
  # The pattern is matched in the first clone's package directory.
  a=$(cd "$work/a/build/packages" && ls $package)
  if cmp "$work/a/build/packages/$a" \
      "$work/second-clone-elsewhere/build/packages/$a"; then
    echo "ok   $a is the same from both clones"
  else
    echo "FAIL $a differs between the clones"
    status=1
  fi
done
exit $status
