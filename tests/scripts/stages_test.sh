#!/usr/bin/env bash
# The time limits of the test command (scripts/stages.sh): a stage that hangs is stopped at its limit
# with everything it started and fails naming itself, also when it ignores TERM; a step inside a
# stage that hangs is named; failures keep their status; the summary has a line per stage.
#   stages_test.sh SOURCE_DIR
set -uo pipefail
source "$1/scripts/stages.sh"
export TVX_KILL_AFTER=2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_status() {  # WHAT WANT GOT
  [ "$3" -eq "$2" ] || fail "$1: exit status $3, expected $2"
}

# A stage whose child hangs: the stage and the child both go, within the limit and the grace.
hang() { sleep 300 & echo $! >"$work/child"; wait; }
export -f hang
export work
start=$SECONDS
run_stage hangs 2 bash -c hang 2>"$work/err" >/dev/null
expect_status "hanging stage" 124 $?
[ $((SECONDS - start)) -le 10 ] || fail "hanging stage took $((SECONDS - start))s with a limit of 2s"
grep -q "stage 'hangs' ran past its limit of 2s" "$work/err" || fail "hang not named: $(cat "$work/err")"
sleep 0.2
alive() {  # a killed child nobody reaps is a zombie: gone for our purpose
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  [[ ${stat##*) } != Z* ]]
}
! alive "$(cat "$work/child")" || fail "the hanging stage's child is still running"

# A stage that ignores TERM is killed after the grace and still reported as out of time.
run_stage deaf 1 bash -c 'trap "" TERM; while :; do sleep 0.1; done' 2>"$work/err" >/dev/null
expect_status "stage ignoring TERM" 124 $?
grep -q "stage 'deaf' ran past its limit of 1s" "$work/err" || fail "deaf stage not named: $(cat "$work/err")"

# A failing stage keeps its status and is not called a time-out.
run_stage fails 30 bash -c 'exit 3' 2>"$work/err" >/dev/null
expect_status "failing stage" 3 $?
! grep -q "ran past" "$work/err" || fail "a failure reported as a time-out"

# A step inside a stage that hangs names the step, and the stage fails through it.
inner() { source "$1/scripts/stages.sh"; set -e; limited "step 'waits'" 1 sleep 300; echo "not reached"; }
export -f inner
run_stage outer 30 bash -c 'inner "$0"' "$1" 2>"$work/err" >"$work/out"
expect_status "stage with a hanging step" 124 $?
grep -q "step 'waits' ran past its limit of 1s" "$work/err" || fail "step not named: $(cat "$work/err")"
! grep -q "not reached" "$work/out" || fail "the stage went on after its step ran out of time"

run_stage passes 30 true >/dev/null
expect_status "passing stage" 0 $?

# One summary line per stage, in order, with its outcome.
stage_summary >"$work/summary"
want=("hangs .*/2s  TIMED OUT" "deaf .*/1s  TIMED OUT" "fails .*FAILED \(exit status 3\)"
  "outer .*TIMED OUT" "passes .*passed")
[ "$(grep -c '' "$work/summary")" -eq 6 ] || fail "summary: $(cat "$work/summary")"
for i in "${!want[@]}"; do
  sed -n "$((i + 2))p" "$work/summary" | grep -Eq "^${want[$i]}$" || fail "summary line $((i + 2)): $(sed -n "$((i + 2))p" "$work/summary")"
done

[ "$failures" -eq 0 ] && echo "stage limits: all checks passed"
exit $((failures > 0))
