#!/usr/bin/env bash
# Installs the built tree into a scratch prefix, then builds and runs a small C client against it
# twice: through the CMake package and through pkg-config.
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

cmake -S "$here" -B "$scratch/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/cmake-build/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c11 -Wall -Werror "$here/consumer.c" $(pkg-config --cflags --libs tvxclientapi) -o "$scratch/consumer-pc"
LD_LIBRARY_PATH="$libdir" "$scratch/consumer-pc"
echo "installed package: CMake and pkg-config consumers built and ran"
