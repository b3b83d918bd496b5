#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the bash completion: a file name first, then the model keys, which
# it takes from the usage text of the tagwrap it completes.
# Usage: completion_test.sh path/to/tagwrap path/to/completion
set -u

tagwrap=$(realpath "$1")
completion=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$tagwrap" "$work/bin/tagwrap"
PATH=$work/bin:$PATH
cd "$work"
touch generic.trx generic.bin other.img
# shellcheck source=/dev/null
source "$completion"

failures=0
# expect WORDS... -- REPLIES...: completing the last of WORDS gives REPLIES.
expect() {
  local words=()
  while [ "$1" != -- ]; do words+=("$1"); shift; done
  shift
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  _tagwrap
  local got want
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
  want=$(printf '%s\n' "$@" | sort)
  if [ "$got" = "$want" ]; then
    echo "ok   ${words[*]}"
  else
    echo "FAIL ${words[*]}: got"$'\n'"$got"$'\n'"expected"$'\n'"$want"
    failures=$((failures + 1))
  fi
}

expect tagwrap generic.trx w -- wla-g54 wla-g54c wla2-g54c wla2-g54l \
  wbr-g54 wbr2-g54 wbr2-g54s wli-tx4-g54hp wli3-tx1-g54 wzr-rs-g54
expect tagwrap generic.trx wzr -- wzr-rs-g54
expect tagwrap generic.trx WZR --
expect tagwrap gen -- generic.bin generic.trx
exit $((failures > 0))
