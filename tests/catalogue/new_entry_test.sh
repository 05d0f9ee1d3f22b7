#!/usr/bin/env bash
# Adding entries takes one line each in the catalogue and no other edit. In a scratch copy of the
# source tree, three made-up lines of the common shapes (an object entry, a handle-returning free
# entry, an entry taking an input array with its count) are appended to a family's file; then the
# rules take them, the generator writes them everywhere, the audit names the published figure they
# change, the library builds and exports them in its version node, the ABI check reports them as
# added, the C++ binding compiles a call of each, and Python calls reach a recording double with
# what was passed.
#   new_entry_test.sh <source dir> <scratch dir>
set -euo pipefail
src=$(cd "$1" && pwd)
rm -rf "$2"
mkdir -p "$2"
copy=$(cd "$2" && pwd)/src
mkdir -p "$copy"
tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
cd "$copy"
fail() { echo "new entry: $*" >&2; exit 1; }

cat >>catalogue/05_fields.entries <<'LINES'
both object | int CSField_MadeUpRank(handle field, int axis)
common free | TvxObject Field_newMadeUp(int components, const char* label)
both object | double CSField_MadeUpWeightedSum(handle field, int count, const double* weights[count], const char* label)
LINES

python3 codegen/rules.py || fail "the rules refuse well-formed new lines"
python3 codegen/generate.py >/dev/null
python3 codegen/generate.py --check || fail "a second generation differs from the first"
for declaration in \
  'TVX_API int CSField_MadeUpRank(TvxObject\* field, int axis, int\* error_size, wchar_t\*\* error_message);' \
  'TVX_API TvxObject\* Field_newMadeUp(int components, const char\* label, int\* error_size, wchar_t\*\* error_message);' \
  'TVX_API double CSField_MadeUpWeightedSum(TvxObject\* field, int count, const double\* weights, const char\* label, int\* error_size, wchar_t\*\* error_message);'; do
  grep -q "$declaration" include/tvx/fields.h || fail "the C header lacks: $declaration"
done
if python3 codegen/check_catalogue.py --quiet 2>audit.log; then fail "the audit did not notice three new exports"; fi
grep -q 'fields: exports: catalogue has 90, expected 87' audit.log || { cat audit.log; fail "the audit does not name the figure"; }

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build --target TVXClientAPI double_common tvxrecorder >build.log 2>&1 || { tail -30 build.log; fail "the build failed"; }
python3 scripts/check_exports.py --binary build/bin/libTVXClientAPI.so --versions objdump >exports.log \
  || { cat exports.log; fail "the library does not export exactly the catalogue's entries"; }
python3 scripts/check_abi.py build/bin/libTVXClientAPI.so >abi.log || { cat abi.log; fail "added exports failed the ABI check"; }
for name in CSField_MadeUpRank Field_newMadeUp CSField_MadeUpWeightedSum; do
  grep -q "^ABI: added export $name" abi.log || { cat abi.log; fail "the ABI check does not report $name as added"; }
done

# The C++ binding: each new entry as a function, the array one also on a std::vector.
cat >binding_check.cpp <<'CPP'
#include <vector>
#include "TVXClientAPI.hpp"
void use(tvx::Ref field) {
    int rank = tvx::CSField_MadeUpRank(field, 2);
    tvx::Object made = tvx::Field_newMadeUp(3, "made up");
    const std::vector<double> weights{0.5, 1.5};
    double sum = tvx::CSField_MadeUpWeightedSum(field, weights, "made up");
    sum += tvx::CSField_MadeUpWeightedSum(field, 2, weights.data(), "made up");
    (void)rank;
    (void)sum;
}
CPP
c++ -std=c++17 -Wall -Werror -fsyntax-only -Iinclude binding_check.cpp || fail "the C++ binding does not take the new entries"

# Python: the calls reach the common double with what was passed.
TVXAPI_LIBRARY=$PWD/build/bin/libTVXClientAPI.so TVX_TEST_BIN=$PWD/build/bin PYTHONDONTWRITEBYTECODE=1 \
  python3 - <<'PY' || fail "the Python calls of the new entries"
import array
import sys
sys.path.insert(0, "tests/bindings/python")
from tvx_test_support import double_path, last_call_of, recorder, tvxapi

tvxapi.load(double_path("double_common"), "common")
recorder.tvxrec_hand_out_objects(b"common", 1)
recorder.tvxrec_set_result(b"common", b"CSField_MadeUpRank", 7)
with tvxapi.Field_newMadeUp(3, "made up") as field:
    assert isinstance(field, tvxapi.Object), field
    assert last_call_of("Field_newMadeUp").args[0].i == 3
    assert tvxapi.CSField_MadeUpRank(field, 2) == 7
    assert last_call_of("CSField_MadeUpRank").args[1].i == 2
    weights = array.array("d", [0.5, 1.5, 2.5])  # passed in place: the double saw this buffer
    tvxapi.CSField_MadeUpWeightedSum(field, weights, "made up")
    call = last_call_of("CSField_MadeUpWeightedSum")
    assert call.library == "common" and call.args[1].i == 3 and call.args[3].s == b"made up", call
    assert call.args[2].p == weights.buffer_info()[0]
tvxapi.unload("common")
assert recorder.tvxrec_objects_live() == 0
PY
echo "new entry: three lines in the catalogue, no other edit: generated, built, exported, bound and called"
