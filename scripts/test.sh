#!/usr/bin/env bash
# Builds and runs every suite: native (and again under valgrind), the ABI check against the last
# release, made-up entries added to a scratch copy of the catalogue, a ThreadSanitizer run of the concurrency test, short seeded fuzzing runs, everything with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows DLL built with MinGW-w64 and run
# under Wine. Warnings are errors in every build.
#
# Every stage runs under a time limit, and every test and tool inside it under its own: whatever
# hangs is stopped and named. The run ends with a line per stage and the time it took.
#   test.sh                 every stage
#   test.sh --stage NAME    one stage alone, without its limit (stages: see STAGES below)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stages.sh

# Name and limit in seconds; the limits are several times what a stage takes on 2 cores.
STAGES=(deps:2400 catalogue:120 native:1800 abi:300 new-entry:900 valgrind:1200 tsan:900 fuzz:600
  asan:2400 windows:2700)
# Any one test has a limit too: TVX_TEST_TIMEOUT in the build (300 s; 600 s under Wine).

stage_deps() {
  scripts/install-deps.sh all
}

stage_catalogue() {
  python3 codegen/rules.py
  python3 codegen/check_catalogue.py
  python3 codegen/generate.py --check
}

stage_native() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build
  ctest --test-dir build --output-on-failure
}

stage_abi() {
  python3 scripts/check_abi.py build/bin/libTVXClientAPI.so
}

stage_new-entry() {
  tests/catalogue/new_entry_test.sh . build-new-entry
}

stage_valgrind() {
  local t supp="$PWD/tests/valgrind.supp"
  cd build/bin
  for t in unit_tests api_tests family_tests property_tests cpp_binding_tests; do
    limited "$t under valgrind" 600 valgrind -q --error-exitcode=1 --leak-check=full \
      --errors-for-leak-kinds=definite --suppressions="$supp" "./$t" --gtest_brief=1
  done
}

stage_tsan() {
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVX_SANITIZE=thread >/dev/null
  cmake --build build-tsan --target concurrency_test
  cd build-tsan/bin
  TSAN_OPTIONS=halt_on_error=1 limited "concurrency_test under ThreadSanitizer" 300 \
    ./concurrency_test --gtest_brief=1
}

stage_fuzz() {
  scripts/fuzz.sh
}

stage_asan() {
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTVX_SANITIZE=address,undefined >/dev/null
  cmake --build build-asan
  ctest --test-dir build-asan --output-on-failure
}

stage_windows() {
  cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTVX_TEST_TIMEOUT=600 >/dev/null
  cmake --build build-win
  ctest --test-dir build-win --output-on-failure
}

# Wine's server outlives the programs it served, in a session of its own: stop it whatever happened.
stop_wine() {
  [ -d build-win/wineprefix ] || return 0
  WINEPREFIX="$PWD/build-win/wineprefix" timeout 60 wineserver -k 2>/dev/null || true
}

if [ "${1:-}" = --stage ]; then
  "stage_$2"
  exit
fi

trap stage_summary EXIT
for s in "${STAGES[@]}"; do
  name=${s%%:*}
  status=0
  run_stage "$name" "${s##*:}" "$0" --stage "$name" || status=$?
  [ "$name" != windows ] || stop_wine
  [ "$status" -eq 0 ] || exit "$status"
done
