#!/usr/bin/env bash
# Both sample libraries pass tvxapi-check: the in-process one as "common", the remote one as
# "remote" with tvx-sample-server running, so that its objects, copies and client are checked too.
#   check_samples.sh <tvxapi-check> <directory of the built binaries>
set -uo pipefail
check=$1 bin=$2
status=0

expect_clean() {  # <what> <report>: exit 0 was seen; no requirement may be violated
  if grep -q ' violated ' <<<"$2"; then
    echo "FAIL: $1 reports a violation:"; echo "$2"; status=1
  fi
}
expect_held() {  # <what> <report> <requirement...>
  local what=$1 report=$2; shift 2
  for r in "$@"; do
    grep -Eq "^$r +held " <<<"$report" || { echo "FAIL: $what: $r not held"; echo "$report"; status=1; }
  done
}

report=$("$check" "$bin/tvx_sample_inprocess" common) || { echo "FAIL: in-process sample: exit $?"; echo "$report"; status=1; }
expect_clean "in-process sample" "$report"
expect_held "in-process sample" "$report" R1 R2 R3 R4 R5 R6 R7 R8 R9 R10

if [ -x "$bin/tvx-sample-server" ] && [ -f "$bin/tvx_sample_remote.so" ]; then
  log=$(mktemp)
  "$bin/tvx-sample-server" --parent-pid $$ >"$log" 2>&1 &
  server=$!
  trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$log"' EXIT
  address=""
  for _ in $(seq 100); do
    address=$(sed -n 's/^listening on \(127\.0\.0\.1:[0-9]*\)$/\1/p' "$log")
    [ -n "$address" ] && break
    sleep 0.1
  done
  [ -n "$address" ] || { echo "FAIL: the sample server did not start"; cat "$log"; exit 1; }
  report=$("$check" "$bin/tvx_sample_remote" remote --server "$address") || { echo "FAIL: remote sample: exit $?"; echo "$report"; status=1; }
  expect_clean "remote sample" "$report"
  expect_held "remote sample" "$report" R1 R2 R3 R4 R5 R6 R7 R8 R11
fi
[ $status -eq 0 ] && echo "both samples pass tvxapi-check"
exit $status
