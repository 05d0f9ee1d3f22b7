#!/usr/bin/env bash
# Installs the built tree into a scratch prefix, then builds and runs a small C client against it
# twice: through the CMake package and through pkg-config; then imports the installed Python package.
#   install_test.sh <build dir> <scratch dir>
set -euo pipefail
build=$1
scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libTVXClientAPI.so*' -printf '%h\n' | head -n1)

# The library carries its major version as SONAME.
soname=$(objdump -p "$libdir/libTVXClientAPI.so" | awk '/SONAME/ {print $2}')
case "$soname" in libTVXClientAPI.so.[0-9]*) ;; *) echo "unexpected SONAME '$soname'"; exit 1 ;; esac
test -x "$prefix/bin/tvxapi-inspect" || { echo "tvxapi-inspect is not installed"; exit 1; }
test -x "$prefix/bin/tvxapi-check" || { echo "tvxapi-check is not installed"; exit 1; }
# The installed checker finds the installed library by itself and runs its children.
rc=0; "$prefix/bin/tvxapi-check" "$scratch/no-such-library" common >/dev/null || rc=$?
[ "$rc" -eq 2 ] || { echo "installed tvxapi-check: exit $rc for a missing file, not 2"; exit 1; }
# The installed tracer finds the installed library and its tracing library by itself.
"$prefix/bin/tvxtrace" -o "$scratch/trace" -- true 2>/dev/null || { echo "installed tvxtrace does not run"; exit 1; }

cmake -S "$here" -B "$scratch/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/cmake-build/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c11 -Wall -Werror "$here/consumer.c" $(pkg-config --cflags --libs tvxclientapi) -o "$scratch/consumer-pc"
LD_LIBRARY_PATH="$libdir" "$scratch/consumer-pc"
echo "installed package: CMake and pkg-config consumers built and ran"

# The Python package: importable from the installed site-packages alone, it finds the installed
# library by itself (no TVXAPI_LIBRARY, no LD_LIBRARY_PATH) and reports an entry's missing library.
package=$(find "$prefix" -path '*-packages/tvxapi/__init__.py' -printf '%h\n' | head -n1)
[ -n "$package" ] || { echo "the Python package tvxapi is not installed"; exit 1; }
(cd "$scratch" && env -u TVXAPI_LIBRARY -u LD_LIBRARY_PATH PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$(dirname "$package")" python3 - "$prefix" <<'PY'
import os
import sys

import tvxapi

prefix = os.path.realpath(sys.argv[1]) + os.sep
for what, path in (("package", tvxapi.__file__), ("library", tvxapi.library_path())):
    if not os.path.realpath(path).startswith(prefix):
        sys.exit("the %s comes from %s, not from the installed prefix" % (what, path))
try:
    tvxapi.Field_new(1, 3, "Nodal")
    sys.exit("Field_new succeeded with no library loaded")
except tvxapi.Error as e:
    want = "Invalid API pointer when calling function Field_new"
    if (e.message, e.size) != (want, len(want) + 1):
        sys.exit("unexpected error %r (size %d)" % (e.message, e.size))
compiled = any(n.startswith("_native.") for n in os.listdir(os.path.dirname(tvxapi.__file__)))
if tvxapi.PATH != ("compiled" if compiled else "ctypes"):
    sys.exit("the installed package takes the %s path" % tvxapi.PATH)
print("installed Python package (%s path): %s reports: %s" % (tvxapi.PATH, os.path.basename(tvxapi.library_path()), want))
PY
)
