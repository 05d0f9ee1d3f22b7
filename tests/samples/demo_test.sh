#!/usr/bin/env bash
# A demo on the samples (the C demo, or another given as a command line, e.g. the C++ one): its
# values, its success line, and no server left behind.
#   demo_test.sh <source dir> <directory of the built binaries> [program]
set -uo pipefail
out=$("$1/scripts/run-sample-demo.sh" "$2" ${3:+"$3"} 2>&1)
status=$?
echo "$out"
fail() { echo "demo test: $1" >&2; exit 1; }
[ $status -eq 0 ] || fail "the demo exited with $status"
grep -q 'client of 127\.0\.0\.1:[0-9]*, protocol "grpc"$' <<<"$out" || fail "no client"
grep -q 'result \[12, 24, 36\] on entities 11, 12, 13, location "Nodal", 1 component(s)' <<<"$out" || fail "no sum"
grep -q 'the server field now has a local copy: yes; result \[10, 20, 30\]' <<<"$out" || fail "no deep copy"
grep -q 'Error code is 126: Module could not be found.' <<<"$out" || fail "no failure shown"
grep -q '^SUCCESS: ' <<<"$out" || fail "no success line"
grep -q '^sample server stopped$' <<<"$out" || fail "the server was not stopped"
port=$(sed -n 's/^sample server listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' <<<"$out")
[ -n "$port" ] || fail "no port"
if pgrep -f "tvx-sample-server --parent-pid" >/dev/null && ss -ltn 2>/dev/null | grep -q ":$port "; then
  fail "a server still listens on $port"
fi
echo "demo test: passed"
