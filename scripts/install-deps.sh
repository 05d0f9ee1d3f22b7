#!/usr/bin/env bash
# Installs with apt-get what the build needs and is not installed yet (Debian 12).
#   install-deps.sh native   compilers, CMake, Ninja, Python, GoogleTest sources, Google Benchmark,
#                            valgrind, gRPC and protocol buffers (for the samples), libabigail's
#                            abidw and abidiff (the ABI check), the Python headers, venv and mypy (the
#                            Python package's compiled module, install and type stubs)
#   install-deps.sh all      the same plus MinGW-w64 and Wine for the Windows build, clang for fuzzing
set -euo pipefail
packages=(cmake ninja-build g++ gcc python3 googletest binutils pkg-config libbenchmark-dev valgrind
  abigail-tools libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler python3-dev python3-venv python3-mypy)
if [ "${1:-native}" = all ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 wine clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
