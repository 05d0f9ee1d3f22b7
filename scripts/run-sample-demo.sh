#!/usr/bin/env bash
# Starts tvx-sample-server on a free port, runs the sample demo against it and stops the server,
# whatever happens to the demo. The demo's exit status is this script's.
#   run-sample-demo.sh <directory of the built binaries> [program]
# The program (default: the C demo in that directory) is a command line, split at spaces, e.g.
# "python3 examples/demo.py"; it is given the directory and the server's address. TVXAPI_LIBRARY
# names that directory's TVXClientAPI unless it is set already (for the Python demo).
set -euo pipefail
bin=$(cd "$1" && pwd)
read -r -a program <<<"${2:-}"
[ ${#program[@]} -gt 0 ] || program=("$bin/demo")
export TVXAPI_LIBRARY="${TVXAPI_LIBRARY:-$bin/libTVXClientAPI.so}"
log=$(mktemp)
"$bin/tvx-sample-server" --parent-pid $$ >"$log" 2>&1 &
server=$!
stop_server() {
  if kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    echo "sample server stopped"
  fi
  rm -f "$log"
}
trap stop_server EXIT

port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || { cat "$log"; echo "the sample server did not start" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { cat "$log"; echo "the sample server did not report its port" >&2; exit 1; }
echo "sample server listening on 127.0.0.1:$port"
"${program[@]}" "$bin" "127.0.0.1:$port"
