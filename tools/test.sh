#!/usr/bin/env bash
# Builds and runs every suite: native, with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the Windows DLL built with MinGW-w64 and run under Wine. Warnings are errors in every build.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh all

echo "== catalogue and generated files"
python3 tools/check_catalogue.py
python3 tools/generate.py --check

echo "== native"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure

echo "== address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTVX_SANITIZE=address,undefined >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure

echo "== Windows DLL under Wine"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win
status=0
ctest --test-dir build-win --output-on-failure || status=$?
WINEPREFIX="$PWD/build-win/wineprefix" wineserver -k 2>/dev/null || true
exit $status
