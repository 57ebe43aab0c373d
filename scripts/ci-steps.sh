# CI steps, for .ci/run: source it.  Each step runs under `timeout` (which ends
# the step's whole process group), so a hang fails within its limit and names
# its step; a table of every step's time and outcome is printed at the end,
# whatever ends the run.
#   step NAME LIMIT CMD...          runs now; a failure ends the run
#   step_background NAME LIMIT CMD...   runs beside the next steps, its output
#                                   into build/ci-logs/NAME.log
#   step_wait NAME                  waits for it, prints its log; a failure ends the run

CI_LOGS=${CI_LOGS:-$PWD/build/ci-logs}
CI_STARTED=$SECONDS
CI_ROWS=()
declare -A CI_BACKGROUND=()
rm -rf "$CI_LOGS"
mkdir -p "$CI_LOGS"

ci_outcome() {  # ci_outcome STATUS LIMIT: how a step ended
  case "$1" in
    0) echo ok ;;
    124 | 137) echo "TIMED OUT after $2 s" ;;
    *) echo "FAILED (exit $1)" ;;
  esac
}

ci_table() {
  local row
  echo
  echo "CI steps (wall time; background steps overlap the others):"
  printf '  %-28s %7s  %s\n' step seconds outcome
  for row in "${CI_ROWS[@]}"; do
    IFS=$'\t' read -r name secs outcome <<<"$row"
    printf '  %-28s %7s  %s\n' "$name" "$secs" "$outcome"
  done
  printf '  %-28s %7s\n' total "$((SECONDS - CI_STARTED))"
}

ci_end() {  # on exit: stop what still runs in the background, print the table
  local status=$? name pid
  for name in "${!CI_BACKGROUND[@]}"; do
    pid=${CI_BACKGROUND[$name]%%:*}
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      CI_ROWS+=("$name"$'\t'-$'\t'"stopped: the run ended first")
    fi
  done
  ci_table
  exit "$status"
}
trap ci_end EXIT

step() {  # step NAME LIMIT CMD...
  local name=$1 limit=$2 start=$SECONDS status=0
  shift 2
  echo "=== CI step: $name (limit $limit s)"
  timeout --kill-after=30 "$limit" "$@" || status=$?
  CI_ROWS+=("$name"$'\t'"$((SECONDS - start))"$'\t'"$(ci_outcome "$status" "$limit")")
  if [ "$status" != 0 ]; then
    echo "CI step '$name' $(ci_outcome "$status" "$limit")" >&2
    exit 1
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
  CI_ROWS+=("$name"$'\t'"$((SECONDS - start))"$'\t'"$(ci_outcome "$status" "$limit")")
  if [ "$status" != 0 ]; then
    echo "CI step '$name' $(ci_outcome "$status" "$limit")" >&2
    exit 1
  fi
}
