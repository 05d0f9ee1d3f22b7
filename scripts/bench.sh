#!/usr/bin/env bash
# Builds a Release tree and runs the call-cost benchmarks: each forwarding shape against the same
# implementation entry called directly, best of 5 runs, with a table of ratios at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVX_BUILD_TESTS=OFF >/dev/null
cmake --build build-release --target bench
