#!/usr/bin/env bash
# Builds the library and the demo, then runs the demo against the recording doubles.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh native
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target demo
build/bin/demo build/bin
