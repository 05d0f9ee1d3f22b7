#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer) and runs each.
#   fuzz.sh            a short seeded run of each target, as CI does
#   fuzz.sh long [S]   each target for S seconds (default 600), with a corpus kept in build-fuzz/corpus
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stages.sh
mode=${1:-smoke}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTVX_FUZZ=ON -DTVX_BUILD_TESTS=OFF -DTVX_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz --target utf8_fuzz load_fuzz
bin=build-fuzz/bin
# Seeds for the loader: an operation byte, an options byte, a name, a zero, a file in the binaries'
# directory (the benchmark implementation libraries load; anything else is a missing file).
seeds=build-fuzz/corpus/load_fuzz
mkdir -p "$seeds" build-fuzz/corpus/utf8_fuzz
printf '\001\001common\000tvx_bench_impl' >"$seeds/load-common"
printf '\000\000remote\000tvx_bench_remote' >"$seeds/load-remote-strict"
printf '\001\001other\000tvx_bench_impl' >"$seeds/load-other"
printf '\002\000common\000' >"$seeds/unload"
printf '\002\000\000' >"$seeds/unload-all"
printf '\003\000\000' >"$seeds/call"
printf 'caf\303\251 \360\237\230\200 \355\240\200' >build-fuzz/corpus/utf8_fuzz/mixed
for t in utf8_fuzz load_fuzz; do
  corpus=build-fuzz/corpus/$t
  if [ "$mode" = long ]; then
    limited "$t" $((${2:-600} + 120)) "$bin/$t" -max_total_time="${2:-600}" -max_len=256 "$corpus"
  else
    limited "$t" 300 "$bin/$t" -seed=1 -runs=30000 -max_len=64 "$corpus"
  fi
done
