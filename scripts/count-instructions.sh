#!/usr/bin/env bash
# Counts with callgrind the instructions each forwarding shape adds to a direct call of the same
# implementation entry: per case, a run of 2N calls minus a run of N calls, divided by N.
#   count-instructions.sh [build dir, default build-release]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
if [ ! -x "$build/bin/count_calls" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target count_calls >/dev/null
fi
lib=$(cd "$build/bin" && pwd)/tvx_bench_impl
n=2000
count() {  # instructions of one run
  local out
  out=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file="$out" "$build/bin/count_calls" "$lib" "$1" "$2" >/dev/null 2>&1
  awk '/^summary:/ {print $2}' "$out"
  rm -f "$out"
}
per_call() {
  local a b
  a=$(count "$1" "$n")
  b=$(count "$1" $((2 * n)))
  echo $(((b - a) / n))
}
printf '%-10s %8s %8s %8s\n' shape entry direct added
for shape in object fast free handle two; do
  e=$(per_call "$shape-entry")
  d=$(per_call "$shape-direct")
  printf '%-10s %8d %8d %+8d\n' "$shape" "$e" "$d" $((e - d))
done
