#!/usr/bin/env bash
# Times tagwrap against cp on a 9,999,999-byte image, the largest the header
# can state, and reports the median wall-time ratio and tagwrap's peak memory.
# Run by hand: bench/bench.sh [path/to/tagwrap] [rounds]
set -euo pipefail

tagwrap=$(realpath "${1:-build/default/tagwrap}")
rounds=${2:-31}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A generic image: the magic, then pseudo-random bytes.
{ printf 'HDR0'; head -c 9999995 /dev/urandom; } > generic.bin

now_us() { echo $(( ${EPOCHREALTIME/./} )); }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ratios=() tag_times=() cp_times=()
for ((i = 0; i < rounds; i++)); do
  rm -f lk-buffalo-wzr-rs-g54.bin copy.bin
  t0=$(now_us)
  "$tagwrap" generic.bin wzr-rs-g54 > /dev/null
  t1=$(now_us)
  cp generic.bin copy.bin
  t2=$(now_us)
  tag_times+=($((t1 - t0)))
  cp_times+=($((t2 - t1)))
  ratios+=("$(awk -v a=$((t1 - t0)) -v b=$((t2 - t1)) 'BEGIN { printf "%.3f", a / b }')")
done

rm -f lk-buffalo-wzr-rs-g54.bin
peak_kib=$(/usr/bin/time -f %M "$tagwrap" generic.bin wzr-rs-g54 2>&1 > /dev/null | tail -n 1)
cmp <(tail -c +38 lk-buffalo-wzr-rs-g54.bin) generic.bin

echo "rounds:              $rounds"
echo "tagwrap median:      $(printf '%s\n' "${tag_times[@]}" | median) us"
echo "cp median:           $(printf '%s\n' "${cp_times[@]}" | median) us"
echo "median ratio:        $(printf '%s\n' "${ratios[@]}" | median) (target <= 1.5)"
echo "tagwrap peak memory: ${peak_kib} KiB (target <= 6144 KiB)"
