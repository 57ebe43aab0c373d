# CI steps, for .ci/run and the scripts it runs: source it.  Each step runs
# under `timeout` (which ends the step's whole process group), so a hang fails
# within its limit and names its step; a table of every step's time and
# outcome is printed at the end, whatever ends the run.
#   step NAME LIMIT CMD...          runs now; a failure ends the run
#   step_or_note NAME LIMIT CMD...  runs now; a failure returns 1, so that the
#                                   caller can run the next suite and fail later
#   step_background NAME LIMIT CMD...   runs beside the next steps, its output
#                                   into build/ci-logs/NAME.log
#   step_wait NAME                  waits for it, prints its log; a failure ends the run
# A script that sources this file while another one's steps run (CI_LOGS set)
# adds its rows to that one's table instead of printing its own.

if [ -z "${CI_LOGS:-}" ]; then
  export CI_LOGS=$PWD/build/ci-logs
  rm -rf "$CI_LOGS"
  mkdir -p "$CI_LOGS"
  CI_OUTERMOST=yes
  : >"$CI_LOGS/steps.tsv"
else
  CI_OUTERMOST=no
fi
CI_STARTED=$SECONDS
declare -A CI_BACKGROUND=()

ci_row() {  # ci_row NAME SECONDS OUTCOME
  printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$CI_LOGS/steps.tsv"
}

ci_outcome() {  # ci_outcome STATUS LIMIT: how a step ended
  case "$1" in
    0) echo ok ;;
    124 | 137) echo "TIMED OUT after $2 s" ;;
    *) echo "FAILED (exit $1)" ;;
  esac
}

ci_table() {
  local name secs outcome
  [ "$CI_OUTERMOST" = yes ] || return 0
  echo
  echo "CI steps in the order they ended (wall time; background steps overlap the others):"
  printf '  %-28s %7s  %s\n' step seconds outcome
  while IFS=$'\t' read -r name secs outcome; do
    printf '  %-28s %7s  %s\n' "$name" "$secs" "$outcome"
  done <"$CI_LOGS/steps.tsv"
  printf '  %-28s %7s\n' total "$((SECONDS - CI_STARTED))"
}

ci_end() {  # on exit: stop what still runs in the background, print the table
  local status=$? name pid
  for name in "${!CI_BACKGROUND[@]}"; do
    pid=${CI_BACKGROUND[$name]%%:*}
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      ci_row "$name" - "stopped: the run ended first"
    fi
  done
  ci_table
  exit "$status"
}
trap ci_end EXIT

step() {  # step NAME LIMIT CMD...
  step_or_note "$@" || exit 1
}

step_or_note() {  # step_or_note NAME LIMIT CMD...: as step, but returns 1 on failure
  local name=$1 limit=$2 start=$SECONDS status=0
  shift 2
  echo "=== CI step: $name (limit $limit s)"
  timeout --kill-after=30 "$limit" "$@" || status=$?
  ci_row "$name" "$((SECONDS - start))" "$(ci_outcome "$status" "$limit")"
  if [ "$status" != 0 ]; then
    echo "CI step '$name' $(ci_outcome "$status" "$limit")" >&2
    return 1
  fi
}

step_background() {  # step_background NAME LIMIT CMD...
  local name=$1 limit=$2
  shift 2
  echo "=== CI step: $name (in the background, limit $limit s; log $CI_LOGS/$name.log)"
  timeout --kill-after=30 "$limit" "$@" >"$CI_LOGS/$name.log" 2>&1 &
  CI_BACKGROUND[$name]="$!:$SECONDS:$limit"
}

step_wait() {  # step_wait NAME
  local name=$1 pid start limit status=0
  IFS=: read -r pid start limit <<<"${CI_BACKGROUND[$name]}"
  wait "$pid" || status=$?
  unset "CI_BACKGROUND[$name]"
  echo "=== CI step: $name (ran in the background)"
  cat "$CI_LOGS/$name.log"
  ci_row "$name" "$((SECONDS - start))" "$(ci_outcome "$status" "$limit")"
  if [ "$status" != 0 ]; then
    echo "CI step '$name' $(ci_outcome "$status" "$limit")" >&2
    exit 1
  fi
}
