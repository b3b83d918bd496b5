#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs tagwrap under memcheck on a successful run and on each failure path,
# and fails on any memory error or definite leak.
# Usage: valgrind.sh path/to/tagwrap
set -u

if ! command -v valgrind > /dev/null; then
  echo "valgrind is not installed"
  # CI sets TAGWRAP_REQUIRE_TOOLS so that this pass is never skipped there.
  [ -n "${TAGWRAP_REQUIRE_TOOLS:-}" ] && exit 1
  exit 77
fi
tagwrap=$(realpath "$1")
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work"

failures=0
# check NAME STATUS [SETUP...] -- ARGS...: runs tagwrap under memcheck in a
# fresh directory and expects exit status STATUS and no report from memcheck.
check() {
  local name=$1 expected=$2
  shift 2
  local setup=()
  while [ "$1" != -- ]; do setup+=("$1"); shift; done
  shift
  rm -rf run && mkdir run
  (
    cd run
    eval "${setup[@]:-:}"
    exec valgrind -q --error-exitcode=99 --leak-check=full \
      --errors-for-leak-kinds=definite --show-leak-kinds=definite \
      --log-file="$work/memcheck.log" "$tagwrap" "$@"
  ) > out 2> /dev/null
  local status=$?
  if [ "$status" != "$expected" ] || [ -s memcheck.log ]; then
    echo "FAIL $name: status $status, expected $expected"
    cat memcheck.log
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

{ printf 'HDR0'; head -c 4000 /dev/zero; } > image.bin
printf 'NOPE' > bad.bin
{ printf 'HDR0'; } > big.bin && truncate -s 10000000 big.bin
image=$work/image.bin

check usage 2 --
check success 0 -- "$image" wzr-rs-g54
check missing-input 1 -- "$work/absent.bin" wzr-rs-g54
check not-regular 1 -- "$work" wzr-rs-g54
check bad-magic 1 -- "$work/bad.bin" wzr-rs-g54
check unknown-model 1 -- "$image" WZR-RS-G54
check too-large 1 -- "$work/big.bin" wzr-rs-g54
check output-is-directory 1 'mkdir lk-buffalo-wzr-rs-g54.bin' -- "$image" wzr-rs-g54
check disk-full 1 "trap '' XFSZ; ulimit -f 1" -- "$image" wzr-rs-g54
check no-directory 1 'cd .. && rmdir run && mkdir run2 && cd run2 && rmdir ../run2' -- "$image" wzr-rs-g54

exit $((failures > 0))
