#!/usr/bin/env bash
# Soak of the engine's start and end: many runs and verifies of job-search
# data sets, two at a time, each checked to be gone at most 10 s after its
# work ended (its last summary line written). A process still there then is
# a hang: its stacks are printed (when gdb is installed) and it is killed.
#
#   soak_engine.sh BIN_DIR [ROUNDS]     (default 10 rounds: 40 commands)
# Exit 1 when any command hung or failed.
set -uo pipefail
BIN=${1:?usage: soak_engine.sh BIN_DIR [ROUNDS]}
ROUNDS=${2:-10}
CLI=$BIN/quorvel-migrate-cli
JOBS=${SOAK_JOB_RECORDS:-20000}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# Each data set on a drive of its own: runs on one drive share its job-search
# temporary folder, which two runs at once must not.
drive() { echo "$WORK/c-$1"; }
data() { echo "$(drive "$1")/MyData/wk-db/Quorvel2/Db/$1"; }
for set in soak0001 soak0002; do
  mkdir -p "$(data "$set")"
  "$BIN/quorvel-gen-sample" --rows 2000 --jsearch-records "$JOBS" --seed "${set: -1}" "$(data "$set")" >/dev/null ||
    { echo "soak: cannot write the data set $set" >&2; exit 1; }
done

# watch NAME DONE_PATTERN FILE -- COMMAND...: runs the command; returns 0 when
# it ended by itself within 10 s of DONE_PATTERN appearing in FILE, 2 when it
# hung (then killed), 1 when it failed.
watch() {
  local name=$1 pattern=$2 file=$3
  shift 4
  "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  local pid=$! done_at= start=$SECONDS
  while kill -0 "$pid" 2>/dev/null; do
    if [[ -z $done_at ]] && grep -qE -- "$pattern" "$WORK/$name.$file" 2>/dev/null; then done_at=$SECONDS; fi
    if { [[ -n $done_at ]] && ((SECONDS - done_at > 10)); } || ((SECONDS - start > 900)); then
      echo "HANG: $name (pid $pid) still there $((SECONDS - ${done_at:-$start})) s after its work ended: $*"
      command -v gdb >/dev/null && gdb -p "$pid" -batch -ex 'thread apply all bt 12' 2>/dev/null | grep -E '^(#|Thread)' | cut -c1-150
      kill -KILL "$pid"
      wait "$pid" 2>/dev/null
      return 2
    fi
    sleep 0.2
  done
  wait "$pid"
  local rc=$?
  ((rc == 0)) && return 0
  echo "FAILED: $name exit $rc: $(grep -m 1 -i 'error\|cannot\|refused' "$WORK/$name.err" || head -n 1 "$WORK/$name.err")"
  return 1
}

# slot SET: ROUNDS runs and verifies of SET, one after the other.
slot() {
  local set=$1 hangs=0 failures=0 r rc
  for ((r = 1; r <= ROUNDS; ++r)); do
    watch "$set-run-$r" '^Database written: ' err -- "$CLI" --drive-c "$(drive "$set")" --replace "$(data "$set")"
    rc=$?
    ((rc == 2)) && hangs=$((hangs + 1))
    ((rc == 1)) && failures=$((failures + 1))
    watch "$set-verify-$r" '^Total: .*: (every value arrived|DIFFERENCES FOUND)' out -- "$CLI" --drive-c "$(drive "$set")" --verify "$(data "$set")"
    rc=$?
    ((rc == 2)) && hangs=$((hangs + 1))
    ((rc == 1)) && failures=$((failures + 1))
  done
  echo "$hangs $failures" >"$WORK/$set.result"
}

slot soak0001 &
first=$!
slot soak0002 &
second=$!
wait "$first" "$second"
read -r h1 f1 <"$WORK/soak0001.result"
read -r h2 f2 <"$WORK/soak0002.result"
total=$((ROUNDS * 4))
echo "soak: $total commands (runs and verifies, two at a time), $((h1 + h2)) hung, $((f1 + f2)) failed"
((h1 + h2 + f1 + f2 == 0))
