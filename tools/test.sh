#!/usr/bin/env bash
# Builds and runs every suite: native (and again under valgrind), a ThreadSanitizer run of the
# concurrency test, short seeded fuzzing runs, everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows DLL built with MinGW-w64 and run under Wine. Warnings
# are errors in every build.
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

echo "== ABI: the library against the baseline of the last release"
python3 tools/check_abi.py build/bin/libTVXClientAPI.so

echo "== valgrind memcheck"
supp="$PWD/tests/valgrind.supp"
for t in unit_tests api_tests family_tests property_tests cpp_binding_tests; do
  (cd build/bin && valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
     --suppressions="$supp" ./$t --gtest_brief=1)
done

echo "== thread sanitizer: distinct handles on several threads"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVX_SANITIZE=thread >/dev/null
cmake --build build-tsan --target concurrency_test
(cd build-tsan/bin && TSAN_OPTIONS=halt_on_error=1 ./concurrency_test --gtest_brief=1)

echo "== fuzzing: a short seeded run of each target"
tools/fuzz.sh

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
