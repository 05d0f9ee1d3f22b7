# Time-limited stages for the build and test scripts (sourced, not run).
#
#   run_stage NAME LIMIT COMMAND...   runs COMMAND with its own process group under a limit of LIMIT
#                                     seconds; past it, the whole group is stopped (TERM, then KILL
#                                     TVX_KILL_AFTER seconds later, 15 by default) and the stage fails naming itself. Returns the
#                                     command's status (124 when it ran out of time).
#   limited WHAT LIMIT COMMAND...     the same for one step inside a stage (a test under valgrind, a
#                                     fuzzer), names WHAT when it runs out of time; it stays in the
#                                     stage's process group, so stopping the stage stops it too.
#   stage_summary                     one line per stage run so far: name, seconds taken, limit and
#                                     outcome (for an EXIT trap, so it prints after a failure too).

TVX_STAGE_LINES=()

_tvx_timeout() {  # WHAT LIMIT TIMEOUT-OPTION COMMAND...
  local what=$1 limit=$2 option=$3 status=0 start=$SECONDS
  shift 3
  timeout $option --kill-after="${TVX_KILL_AFTER:-15}" "$limit" "$@" || status=$?
  # 124: stopped by TERM; 137: by the KILL that follows, or killed for another reason before the limit
  if [ "$status" -eq 124 ] || { [ "$status" -eq 137 ] && [ $((SECONDS - start)) -ge "$limit" ]; }; then
    echo "TIME LIMIT: $what ran past its limit of ${limit}s and was stopped" >&2
    return 124
  fi
  return "$status"
}

limited() {
  _tvx_timeout "$1" "$2" --foreground "${@:3}"
}

run_stage() {
  local name=$1 limit=$2 start status=0 outcome
  shift 2
  echo "== $name (limit ${limit}s)"
  start=$SECONDS
  _tvx_timeout "stage '$name'" "$limit" "" "$@" || status=$?
  case $status in
    0) outcome=passed ;;
    124) outcome="TIMED OUT" ;;
    *) outcome="FAILED (exit status $status)" ;;
  esac
  TVX_STAGE_LINES+=("$(printf '%-12s %6ss %7s  %s' "$name" $((SECONDS - start)) "/${limit}s" "$outcome")")
  [ "$status" -eq 0 ] || echo "stage '$name' $outcome" >&2
  return "$status"
}

stage_summary() {
  [ ${#TVX_STAGE_LINES[@]} -gt 0 ] || return 0
  echo "== stages: time taken / limit"
  printf '%s\n' "${TVX_STAGE_LINES[@]}"
}
