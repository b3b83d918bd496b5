#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times cp, a shell one-liner that writes the same header, and tagwrap, in
# turn within each round (in a rotating order) and each on a fresh output,
# on a 9,999,999-byte image (the largest the header can state) and on a 4 KiB
# one. Prints each median wall-time ratio to cp and tagwrap's peak resident
# memory.
# Run by hand: bench/bench.sh [path/to/tagwrap] [rounds]
set -euo pipefail

tagwrap=$(realpath "${1:-build/default/tagwrap}")
rounds=${2:-31}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a / b }'; }

# The one-liner's header: the length padded with zero bytes to seven.
field() {
  local size=$1
  printf '%s' "$size"
  head -c $((7 - ${#size})) /dev/zero
}

bench() {
  local size=$1 label=$2
  { printf 'HDR0'; head -c $((size - 4)) /dev/urandom; } > generic.bin
  field "$size" > field
  local out=lk-buffalo-wzr-rs-g54.bin
  local cp_us=() shell_ratios=() tag_ratios=()
  for ((i = 0; i < rounds; i++)); do
    rm -f copy.bin shell.bin "$out"
    # Each round starts with another of the three, so none always goes first.
    local order=(cp shell tag cp shell)
    local -A us=()
    for which in "${order[@]:$((i % 3)):3}"; do
      # Read without a subshell, which would add a fork to every figure.
      local t0=${EPOCHREALTIME/./} t1
      case $which in
        cp) cp generic.bin copy.bin ;;
        shell) { printf 'WZR-RS-G54 2.32 1.01\nfilelen='; cat field; printf '\n'; cat generic.bin; } > shell.bin ;;
        tag) "$tagwrap" generic.bin wzr-rs-g54 > /dev/null ;;
      esac
      t1=${EPOCHREALTIME/./}
      us[$which]=$((t1 - t0))
    done
    cp_us+=("${us[cp]}")
    shell_ratios+=("$(ratio "${us[shell]}" "${us[cp]}")")
    tag_ratios+=("$(ratio "${us[tag]}" "${us[cp]}")")
  done
  cmp shell.bin "$out"

  rm -f "$out"
  local peak_kib
  peak_kib=$(/usr/bin/time -f %M "$tagwrap" generic.bin wzr-rs-g54 2>&1 > /dev/null | tail -n 1)
  echo "$label ($size bytes, $rounds rounds)"
  echo "  cp median:                 $(printf '%s\n' "${cp_us[@]}" | median) us"
  echo "  one-liner / cp, median:    $(printf '%s\n' "${shell_ratios[@]}" | median)"
  echo "  tagwrap / cp, median:      $(printf '%s\n' "${tag_ratios[@]}" | median) (target: at most 0.90 at 10 MB and 0.66 at 4 KiB, below the one-liner)"
  echo "  tagwrap peak memory:       ${peak_kib} KiB (target <= 3072 KiB)"
}

bench 9999999 "largest image"
bench 4096 "4 KiB image"
