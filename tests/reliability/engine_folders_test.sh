#!/usr/bin/env bash
# The engine's folders as runs share them, or do not:
#  - a run paused inside the engine with the mutex of its lock folder left
#    held by a thread that no longer exists (as a run killed at the wrong
#    moment leaves it): a second run completes when each has its own folder,
#    and ends with a message naming the folder and the process when the
#    folder is shared through FIREBIRD_LOCK;
#  - engine folders under paths holding what the engine's settings take for
#    syntax: the run completes (into a database path holding ':', which the
#    settings name by an alias) and leaves no alias behind.
set -uo pipefail
BIN=${1:?usage: engine_folders_test.sh BIN_DIR}
CLI=$BIN/quorvel-migrate-cli

WORK=$(mktemp -d)
PAUSED=
cleanup() {
  [[ -n $PAUSED ]] && kill -KILL "$PAUSED" 2>/dev/null && wait "$PAUSED" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
unset FIREBIRD FIREBIRD_LOCK QUORVEL_ENGINE_FOLDER XDG_CACHE_HOME
DRIVE=$WORK/c
DATA=$DRIVE/MyData/wk-db/Quorvel2/Db
mkdir -p "$DATA/wedge001" "$DATA/wedge002"
"$BIN/quorvel-gen-sample" --rows 2000 --jsearch-records 30000 "$DATA/wedge001" >/dev/null || { echo "FAILED: no sample data"; exit 1; }
"$BIN/quorvel-gen-sample" --rows 20 --jsearch-records 20 "$DATA/wedge002" >/dev/null || exit 1

# guarded COMMAND...: runs it with a generous guard against a hang.
guarded() {
  timeout -s KILL 300 "$@"
}

# ---- the simulated wedge
for case in own shared; do
  export XDG_RUNTIME_DIR=$WORK/run-$case
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  [[ $case == shared ]] && export FIREBIRD_LOCK=$WORK/shared-lock && mkdir -m 700 "$FIREBIRD_LOCK"
  "$CLI" --replace --drive-c "$DRIVE" "$DATA/wedge001" >"$WORK/$case-a.out" 2>"$WORK/$case-a.err" &
  PAUSED=$!
  until grep -q "Creating tables" "$WORK/$case-a.out" 2>/dev/null || ! kill -0 "$PAUSED" 2>/dev/null; do sleep 0.1; done
  kill -STOP "$PAUSED"
  lock=${FIREBIRD_LOCK:-$(echo "$XDG_RUNTIME_DIR/quorvel-migrate/$PAUSED"-*/lock)}
  # The mutex at offset 16: locked, no waiter count, owner thread 999999.
  printf '\x02\x00\x00\x00\x00\x00\x00\x00\x3f\x42\x0f\x00' |
    dd of="$lock/fb_user_mapping" bs=1 seek=16 conv=notrunc status=none || fail "$case: no mapping in $lock"
  QUORVEL_TEST_TIMER_MS=1000 guarded "$CLI" --replace --drive-c "$DRIVE" --tables carrier.db "$DATA/wedge002" >"$WORK/$case-b.out" 2>"$WORK/$case-b.err"
  got=$?
  if [[ $case == own ]]; then
    ((got == 0)) && grep -qx "Conversion run complete" "$WORK/$case-b.out" || fail "$case: exit $got, the run did not complete"
  else
    ((got == 1)) && grep -q "waited 60 seconds on its lock folder $FIREBIRD_LOCK .*these processes use: $PAUSED (quorvel-migrate).*unset FIREBIRD_LOCK" \
      "$WORK/$case-b.err" || fail "$case: exit $got, expected 1 and the folder's message"
  fi
  tail -n 1 "$WORK/$case-b.err"
  kill -KILL "$PAUSED"
  wait "$PAUSED" 2>/dev/null
  PAUSED=
  unset FIREBIRD_LOCK
  echo "done: wedge, $case folder"
done

# ---- engine folders under odd paths, a database path holding ':'
ODD=$WORK/odd
mkdir -p "$ODD" "$WORK/c:colon"
cp -r "$DRIVE/MyData" "$WORK/c:colon/"
for name in '$(root)' $'new\nline' 'hash#' 'bracket]' 'equals=' 'plain'; do
  export XDG_RUNTIME_DIR=$ODD/$name
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  guarded "$CLI" --replace --drive-c "$WORK/c:colon" --tables carrier.db "$WORK/c:colon/MyData/wk-db/Quorvel2/Db/wedge002" \
    >"$WORK/odd.out" 2>"$WORK/odd.err"
  got=$?
  if ((got != 0)) || ! grep -qx "Conversion run complete" "$WORK/odd.out"; then
    fail "folder \"$name\": exit $got"
    tail -n 2 "$WORK/odd.err"
  fi
  left=$(find "$XDG_RUNTIME_DIR" -mindepth 2 | head -n 3)
  [[ -z $left ]] || fail "folder \"$name\": left behind: $left"
  echo "done: folder \"$name\""
done

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all engine folder cases passed"
