#!/usr/bin/env bash
# The demo: writes the sample old data set, migrates it with the headless
# command (every table ticked) and shows a few rows of the new database.
#   tools/demo.sh BUILD_DIR
# The drive root that stands for C:\ is $QUORVEL_DRIVE_C when set, else a
# fresh BUILD_DIR/demo-drive.
set -euo pipefail
BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
BIN=$BUILD/bin

if [[ -n "${QUORVEL_DRIVE_C:-}" ]]; then
  ROOT=$QUORVEL_DRIVE_C
else
  ROOT=$BUILD/demo-drive
  rm -rf "$ROOT"
fi
DATA=$ROOT/MyData/wk-db/Quorvel2/Db/demo0001
mkdir -p "$DATA"

# One private lock folder for the program and for isql-fb below, so that
# they share the database.
export FIREBIRD_LOCK=${FIREBIRD_LOCK:-$(mktemp -d)}
mkdir -p -m 700 "$FIREBIRD_LOCK"

echo "== Writing the sample data set into $DATA"
"$BIN/quorvel-gen-sample" "$DATA" >/dev/null

echo "== Migrating (status log on stdout, summary on stderr)"
rc=0
start=$(date +%s%N)
# --replace: a second demo in the same drive replaces the first one's database.
"$BIN/quorvel-migrate-cli" --drive-c "$ROOT" --replace "$DATA" || rc=$?
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
printf '== The migration took %d.%03d s\n' $((elapsed_ms / 1000)) $((elapsed_ms % 1000))
if ((rc != 0)); then
  echo "The migration stopped (exit $rc)." >&2
  exit "$rc"
fi

DB=$(find "$ROOT" -ipath '*/intrbase/quorvel4/db/demo0001.gdb' -print -quit)
if [[ -z "$DB" ]] || ! command -v isql-fb >/dev/null; then
  echo "No database or no isql-fb to read it back with." >&2
  exit 1
fi

echo
echo "== A few rows read back from $DB"
# The tables keep their text as Windows-1252 bytes.
isql-fb -user SYSDBA -password tarnwheel "$DB" <<'SQL' | iconv -f WINDOWS-1252 -t UTF-8
SET LIST OFF;
SELECT FIRST 5 CARRIER FROM CARRIER_4;
SELECT FIRST 3 PK, CATEGORY, ITEM_DATE, SS_AMT, CARRIER, COMMENT FROM QUORVEL_4 ORDER BY PK;
SELECT AUTO_ZIP, MY_CITY, MY_STATE FROM CONFIG_4;
SELECT FIRST 3 PK, ACTIVE_, DATE_, CONTACT_NAME, POS_STATE, POS_TITLE FROM JSEARCH_4 ORDER BY PK;
SELECT STATE, COUNT_, PERCENTAGE, AS_OF_DATE FROM STATS_ST_4 ORDER BY STATE;
SELECT FIRST 4 X24_HOUR, X12_HOUR FROM TIME10_4 WHERE X12_HOUR CONTAINING 'PM';
SELECT 'JSEARCH_4 rows: ' || COUNT(*) FROM JSEARCH_4;
SQL
