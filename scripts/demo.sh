#!/usr/bin/env bash
# Builds the library, the sample implementation libraries, the sample server, the demo client and
# the installed programs (build/bin/tvxapi-inspect, build/bin/tvxapi-check), then walks the cross-library scenario: the
# server is started on a free port and stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target demo programs
scripts/run-sample-demo.sh build/bin
