#!/usr/bin/env bash
# libFuzzer run of the Paradox table reader.
#   tools/fuzz.sh BUILD_DIR [SECONDS]
# Seeds a corpus from the real fixture tables (each .DB with its .MB), runs
# the fuzzer for SECONDS and prints how many inputs it executed.
set -euo pipefail
BUILD=${1:?usage: fuzz.sh BUILD_DIR [SECONDS]}
SECONDS_TO_RUN=${2:-60}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FIXTURES=${QV_SHARED_DIR:-$ROOT/../shared}/fixtures/real-paradox
FUZZER=$BUILD/bin/paradox_fuzz
[[ -x $FUZZER ]] || cmake --build "$BUILD" --target paradox_fuzz -j "${JOBS:-2}"

WORK=$BUILD/fuzz
CORPUS=$WORK/corpus
SEEDS=$WORK/seeds
mkdir -p "$CORPUS" "$SEEDS"
if [[ ! -d $FIXTURES ]]; then
  # A clone of the project alone has none; CI must have them.
  [[ ${CI:-} == true ]] && { echo "paradox_fuzz: the shared fixtures are not at $FIXTURES" >&2; exit 1; }
  echo "paradox_fuzz: no seeds, the shared fixtures are not at $FIXTURES"
fi
le32() { printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
while IFS= read -r -d '' db; do
  size=$(stat -c %s "$db")
  ((size <= 65536)) || continue
  mb=$(find "$(dirname "$db")" -maxdepth 1 -iname "$(basename "${db%.*}").mb" | head -n1)
  seed=$SEEDS/$(basename "$(dirname "$db")")-$(basename "$db")
  { le32 "$size"; cat "$db"; if [[ -n $mb && $(stat -c %s "$mb") -le 65536 ]]; then cat "$mb"; fi; } >"$seed"
done < <([[ -d $FIXTURES ]] && find "$FIXTURES" -iname '*.db' -print0)

LOG=$WORK/fuzz.log
# The target writes each input to a file: keep those in memory when we can.
[[ -d /dev/shm && -w /dev/shm ]] && export TMPDIR=/dev/shm
ASAN_OPTIONS=detect_leaks=1 "$FUZZER" "$CORPUS" "$SEEDS" -max_total_time="$SECONDS_TO_RUN" -max_len=131072 \
  -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 2>"$LOG" || { tail -n 40 "$LOG" >&2; exit 1; }
execs=$(grep -m1 'stat::number_of_executed_units' "$LOG" | awk '{print $2}')
echo "paradox_fuzz: ${execs:-?} executions in ${SECONDS_TO_RUN} s, no crash"
