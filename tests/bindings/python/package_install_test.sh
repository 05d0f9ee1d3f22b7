#!/usr/bin/env bash
# The package as a user installs it: pip into a fresh virtual environment, offline; the installed
# package (not the sources) runs `python -m tvxapi info` and the Python demo against the sample
# server; the demo type-checks with mypy against the package's stubs.
#   package_install_test.sh <python> <directory of the built binaries> <source directory>
set -euo pipefail
python=$1 bin=$2 source=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$python" -m venv "$scratch/venv"
"$scratch/venv/bin/pip" install --quiet --no-index "$source/bindings/python"
cd "$scratch"  # away from the sources: the package comes from the environment
export TVXAPI_LIBRARY="$bin/libTVXClientAPI.so"
unset PYTHONPATH
where=$("$scratch/venv/bin/python" -c 'import tvxapi; print(tvxapi.__file__)')
case "$where" in "$scratch/venv/"*) ;; *) echo "tvxapi imported from $where, not the environment"; exit 1 ;; esac
"$scratch/venv/bin/python" -m tvxapi info "$bin/double_common" common >/dev/null
# Built where the interpreter's headers are (the build backend compiles the module), else ctypes.
want=ctypes
"$python" -c 'import os, sysconfig; os.stat(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null && want=compiled
path=$("$scratch/venv/bin/python" -c 'import tvxapi; print(tvxapi.PATH)')
[ "$path" = "$want" ] || { echo "the installed package took the $path path, not the $want one"; exit 1; }

if [ -x "$bin/tvx-sample-server" ] && [ -f "$bin/tvx_sample_remote.so" ]; then
  "$source/scripts/run-sample-demo.sh" "$bin" "$scratch/venv/bin/python $source/examples/demo.py" >"$scratch/demo.log" 2>&1 \
    || { cat "$scratch/demo.log"; echo "the Python demo failed from the installed package"; exit 1; }
fi

# mypy comes with Debian's python3-mypy, for the system's interpreter.
checker=""
for candidate in "$python" /usr/bin/python3; do
  if "$candidate" -c 'import mypy' 2>/dev/null; then checker=$candidate; break; fi
done
[ -n "$checker" ] || { echo "mypy is not installed (scripts/install-deps.sh installs python3-mypy)"; exit 1; }
MYPYPATH="$source/bindings/python" "$checker" -m mypy --cache-dir "$scratch/mypy" "$source/examples/demo.py"
echo "installed with pip ($path path), ran the demo, and the demo type-checks against the stubs"
