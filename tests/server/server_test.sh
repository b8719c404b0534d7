#!/usr/bin/env bash
# Migrations into a real Firebird server: a server of the test's own (see
# tools/test_server.sh) on a free loopback port. The sample data set goes
# into it and, table by table, must equal a local run of the same data; then
# the ways a server run is refused or fails. Exit 77 (skipped) when no server
# program is installed.
set -uo pipefail
BIN=${1:?usage: server_test.sh BIN_DIR SOURCE_DIR}
SRC=${2:?usage: server_test.sh BIN_DIR SOURCE_DIR}
CLI=$BIN/quorvel-migrate-cli

WORK=$(mktemp -d)
. "$SRC/tests/support/private_folders.sh" "$WORK/private"
export FIREBIRD_LOCK=$WORK/client-lock  # isql-fb's local attachments
mkdir -p -m 700 "$FIREBIRD_LOCK"
failures=0
cleanup() {
  [[ -n ${HOLDER:-} ]] && kill "$HOLDER" 2>/dev/null
  [[ -n ${PORT_HOLDER:-} ]] && kill "$PORT_HOLDER" 2>/dev/null
  bash "$SRC/tools/test_server.sh" stop "$WORK/srv"
  rm -rf "$WORK"
}
trap cleanup EXIT

PASSWORD="pw-$RANDOM-'x"  # a quote on the way, too
rc=0
out=$(bash "$SRC/tools/test_server.sh" start "$WORK/srv" "$PASSWORD" Required) || rc=$?
if ((rc == 77)); then
  echo "SKIPPED: no Firebird server program installed (./run.sh deps installs firebird3.0-server)"
  exit 77
fi
((rc == 0)) || { echo "FAILED: the test server did not start"; exit 1; }
read -r PORT _ <<<"$out"
SERVER=127.0.0.1/$PORT
DBDIR=$WORK/srv/db

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# run NAME EXPECTED_EXIT [PATTERN_IN_STDERR] -- command...: the exit code and
# a line of stderr (or stdout) as expected.
run() {
  local name=$1 want=$2 pattern=$3
  shift 4
  T0=$SECONDS
  "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"
  local got=$?
  if ((got != want)); then
    fail "$name: exit $got, expected $want"
    tail -n 5 "$WORK/$name.out" "$WORK/$name.err"
  elif [[ -n $pattern ]] && ! grep -qF -- "$pattern" "$WORK/$name.err" "$WORK/$name.out"; then
    fail "$name: no \"$pattern\" in its output"
    tail -n 5 "$WORK/$name.err"
  else
    echo "ok: $name ($((SECONDS - ${T0:-0}))s)"
  fi
}

DRIVE=$WORK/c
DATA=$DRIVE/MyData/wk-db/Quorvel2/Db/srvtest1
mkdir -p "$DATA"
"$BIN/quorvel-gen-sample" "$DATA" >/dev/null || { echo "FAILED: no sample data"; exit 1; }
LOCAL_DB=$DRIVE/MyData/wk-db/intrbase/quorvel4/db/srvtest1.gdb
SERVER_DB=$DBDIR/srvtest1.gdb
export ISC_USER=SYSDBA ISC_PASSWORD=$PASSWORD
on_server=(--drive-c "$DRIVE" --server "$SERVER" --server-dir "$DBDIR")

# ---- the whole data set, locally and on the server, table by table equal
run local 0 "Conversion run complete" -- env -u ISC_USER -u ISC_PASSWORD "$CLI" --drive-c "$DRIVE" "$DATA"
run server 0 "Conversion run complete" -- "$CLI" "${on_server[@]}" --report "$WORK/report.json" "$DATA"
[[ -f $SERVER_DB && ! -e $DBDIR/../c ]] || fail "server: no database in the server's folder"
[[ -n $(find "$DRIVE" -ipath '*/intrbase/quorvel4/temp/1-js.db') ]] || fail "server: the temporary job-search files are not local"
run verify 0 "every value arrived" -- "$CLI" "${on_server[@]}" --verify "$DATA"
cp -r "$DATA" "${DATA%1}2"
run verify-none 2 "There is no database $SERVER:$DBDIR/srvtest2.gdb to verify" -- \
  "$CLI" "${on_server[@]}" --verify "${DATA%1}2"
# The check logs in and looks at the server's database.
run check-there 1 "is already there: the run would be refused. Give --replace" -- "$CLI" "${on_server[@]}" --check "$DATA"
run check-replace 0 "The run will drop the database $SERVER:$SERVER_DB" -- "$CLI" "${on_server[@]}" --check --replace "$DATA"
run check-new 0 "The server answers and takes the login" -- "$CLI" "${on_server[@]}" --check "${DATA%1}2"
run check-password 1 "The server cannot be used" -- env ISC_PASSWORD=wrong "$CLI" "${on_server[@]}" --check "$DATA"
# Nobody listens on a port this test itself keeps bound (a port freed by
# a stopped server could be taken by another process meanwhile); it is held
# until the end (the not-running case below).
mkfifo "$WORK/port" "$WORK/port-hold"
"$BIN/quorvel-hold-port" <"$WORK/port-hold" >"$WORK/port" &
PORT_HOLDER=$!
exec 4>"$WORK/port-hold"
read -r FREE_PORT <"$WORK/port"
run check-unreachable 1 "The server cannot be used" -- \
  "$CLI" --drive-c "$DRIVE" --server "127.0.0.1/$FREE_PORT" --server-dir "$DBDIR" --check "$DATA"

# Every table of both databases, rows in the order of all their columns.
dump() {
  local -a login=(-user SYSDBA)
  [[ $1 == *:* ]] && login+=(-password "$PASSWORD")
  local tables
  tables=$(isql-fb -q "${login[@]}" "$1" <<'SQL' | awk 'NF == 2 && $2 ~ /^[0-9]+$/'
SET HEADING OFF;
SELECT TRIM(RDB$RELATION_NAME), COUNT(*) FROM RDB$RELATION_FIELDS
 WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 GROUP BY 1 ORDER BY 1;
SQL
  )
  [[ -n $tables ]] || return 1
  {
    echo "SET LIST ON;"
    while read -r table count; do
      echo "SELECT '$table' AS T, a.* FROM $table a ORDER BY $(seq -s, 2 $((count + 1)));"
    done <<<"$tables"
  } | isql-fb -q "${login[@]}" "$1"
}
dump "$LOCAL_DB" >"$WORK/local.dump" || fail "dump of the local database"
dump "$SERVER:$SERVER_DB" >"$WORK/server.dump" || fail "dump of the server's database"
if [[ $(grep -c '^T ' "$WORK/local.dump") -lt 12000 ]]; then
  fail "dump: too few rows in the local database"
elif ! cmp -s "$WORK/local.dump" "$WORK/server.dump"; then
  fail "the server's database differs from the local one"
  diff "$WORK/local.dump" "$WORK/server.dump" | head -20
else
  echo "ok: every table equal to the local run's ($(grep -c '^T ' "$WORK/local.dump") rows)"
fi
if grep -rqF -- "$PASSWORD" "$WORK"/*.out "$WORK"/*.err "$WORK/report.json"; then
  fail "the password shows in a log or the report"
fi

# ---- a key clash in the middle of a call of several rows: the same exit
# code, error line and stored rows as a local run (one row per call)
CLASH=${DATA%1}3
mkdir -p "$CLASH"
"$BIN/quorvel-gen-sample" --repeated-key 30 "$CLASH" >/dev/null || fail "no sample data with a repeated key"
clash_line="QUORVEL2.db, row 30: key PK '29' is already in QUORVEL_4: "
run clash-local 1 "$clash_line" -- env -u ISC_USER -u ISC_PASSWORD "$CLI" --drive-c "$DRIVE" "$CLASH"
run clash-server 1 "$clash_line" -- "$CLI" "${on_server[@]}" "$CLASH"
if [[ $(grep -hF -- "$clash_line" "$WORK/clash-local.err" "$WORK/clash-local.out" | sort -u) != \
      $(grep -hF -- "$clash_line" "$WORK/clash-server.err" "$WORK/clash-server.out" | sort -u) ]]; then
  fail "clash: the server run's error line differs from the local run's"
fi
dump "${LOCAL_DB%1.gdb}3.gdb" >"$WORK/clash-local.dump" || fail "dump of the local database (clash)"
dump "$SERVER:${SERVER_DB%1.gdb}3.gdb" >"$WORK/clash-server.dump" || fail "dump of the server's database (clash)"
if [[ $(grep -c "^T  *QUORVEL_4" "$WORK/clash-local.dump") != 29 ]]; then
  fail "clash: the local run did not store the 29 payment records before the clash"
elif ! cmp -s "$WORK/clash-local.dump" "$WORK/clash-server.dump"; then
  fail "clash: the server's database differs from the local one"
  diff "$WORK/clash-local.dump" "$WORK/clash-server.dump" | head -20
else
  echo "ok: clash: the same rows stored as locally"
fi

# ---- refusals and failures; the database stays as it is
run wrong-password 2 "refused the user name or the password" -- env ISC_PASSWORD=wrong "$CLI" "${on_server[@]}" "$DATA"
run no-password 2 "No password for the server" -- env -u ISC_PASSWORD setsid -w "$CLI" "${on_server[@]}" "$DATA"
run wire-crypt 2 "do not agree on wire encryption" -- "$CLI" "${on_server[@]}" --wire-crypt disabled "$DATA"
mkdir -p "$WORK/elsewhere"
run outside-access 2 "does not allow a database in that folder" -- \
  "$CLI" --drive-c "$DRIVE" --server "$SERVER" --server-dir "$WORK/elsewhere" "$DATA"
[[ -z $(ls "$WORK/elsewhere") ]] || fail "outside-access: a file was made outside the server's folders"

# Another attachment holds the database: the two refusal lines, exit 2.
mkfifo "$WORK/hold"
isql-fb -q -user SYSDBA -password "$PASSWORD" "$SERVER:$SERVER_DB" <"$WORK/hold" >/dev/null 2>&1 &
HOLDER=$!
exec 3>"$WORK/hold"
echo "SELECT COUNT(*) FROM CARRIER_4;" >&3
# Until the server shows that attachment (another than the asking one).
attached() {
  isql-fb -q -user SYSDBA -password "$PASSWORD" "$SERVER:$SERVER_DB" <<'SQL' | grep -qE '^ *[1-9][0-9]* *$'
SET HEADING OFF;
SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0;
SQL
}
until attached; do
  kill -0 "$HOLDER" 2>/dev/null || { fail "in-use: the holding attachment ended"; break; }
  sleep 0.1
done
run in-use 2 "You must rename or delete this database before trying again" -- "$CLI" "${on_server[@]}" --replace "$DATA"
grep -qxF "Database already exists, not attempting to create" "$WORK/in-use.out" || fail "in-use: first refusal line missing"
exec 3>&-
wait "$HOLDER" 2>/dev/null
HOLDER=
run still-there 0 "every value arrived" -- "$CLI" "${on_server[@]}" --verify --tables carrier.db,config.db "$DATA"

# ---- a stop signal while the server does not answer (stopped with SIGSTOP):
# the engine's call is cancelled, and when even that does not end the run,
# the program ends with the signal's code and says where it stopped.
SERVER_PID=$(<"$WORK/srv/server.pid")
QUORVEL_TEST_TIMER_MS=500 "$CLI" "${on_server[@]}" --replace "$DATA" >"$WORK/frozen.out" 2>"$WORK/frozen.err" &
RUN=$!
until grep -q "Creating tables" "$WORK/frozen.out" 2>/dev/null || ! kill -0 "$RUN" 2>/dev/null; do sleep 0.1; done
kill -STOP "$SERVER_PID"
kill -TERM "$RUN"
(sleep 300 && kill -KILL "$RUN") >/dev/null 2>&1 &  # only a guard against a hang (holding no output of the test)
GUARD=$!
wait "$RUN"
got=$?
kill "$GUARD" 2>/dev/null
kill -CONT "$SERVER_PID"
if ((got != 143)); then
  fail "frozen-server: exit $got, expected 143"
  tail -n 3 "$WORK/frozen.err"
elif ! grep -q "^Stopped by SIGTERM at .*: the database engine did not give up its call, so the database may be incomplete.$" \
  "$WORK/frozen.err"; then
  fail "frozen-server: no line saying where it stopped"
  tail -n 3 "$WORK/frozen.err"
else
  echo "ok: frozen-server"
fi

# ---- the server killed during the run: whatever it had reached, the summary
# on stderr and the JSON report count per table the rows the database holds
# (read afterwards from the file itself), and a lost connection says so.
LOST=${DATA%1}4
mkdir -p "$LOST"
"$BIN/quorvel-gen-sample" --jsearch-records 20000 "$LOST" >/dev/null || fail "no sample data for the lost server"
"$CLI" "${on_server[@]}" --report "$WORK/lost.json" "$LOST" >"$WORK/lost.out" 2>"$WORK/lost.err" &
RUN=$!
while kill -0 "$RUN" 2>/dev/null && ! grep -q "^Step 2" "$WORK/lost.out"; do sleep 0.1; done
kill -KILL "$(<"$WORK/srv/server.pid")"
rm -f "$WORK/srv/server.pid"
wait "$RUN"
lost_code=$?
[[ -n ${KEEP_SERVER_TEST_OUTPUT:-} ]] && cp "$WORK"/lost.* "$KEEP_SERVER_TEST_OUTPUT"/
if ((lost_code == 1)); then
  grep -qF "The connection to the database was lost" "$WORK/lost.err" || fail "lost: not said plainly"
  grep -qF "were not committed" "$WORK/lost.err" || fail "lost: the table whose rows were not committed is not named"
  grep -qF "the database holds the rows written until then" "$WORK/lost.err" "$WORK/lost.out" &&
    fail "lost: says the database holds the rows written"
fi
summary=$(awk '$1 ~ /_4$/ && NF == 7 { print $1, $3 }' "$WORK/lost.err")
report=$(awk -F'"' '/"new_rows"/ { n = $3; gsub(/[^0-9]/, "", n) } /"table"/ { print $4, n }' "$WORK/lost.json")
held=$(while read -r table _; do
  printf '%s %s\n' "$table" "$(echo "SET HEADING OFF; SELECT COUNT(*) FROM $table;" |
    isql-fb -q -user SYSDBA "${SERVER_DB%1.gdb}4.gdb" | awk 'NF { print $1 }')"
done <<<"$summary")
if [[ -z $summary || $summary != "$report" || $summary != "$held" ]]; then
  fail "lost (exit $lost_code): the summary, the report and the database disagree"
  paste <(echo "$summary") <(echo "$report") <(echo "$held") | head -20
else
  echo "ok: lost server (exit $lost_code): summary, report and database agree on $(wc -l <<<"$summary") tables"
fi

run not-running 2 "cannot be reached (is it running" -- \
  "$CLI" --replace --drive-c "$DRIVE" --server "127.0.0.1/$FREE_PORT" --server-dir "$DBDIR" "$DATA"
exec 4>&-
# Processes started meanwhile may hold the pipe open too.
kill "$PORT_HOLDER" 2>/dev/null
wait "$PORT_HOLDER" 2>/dev/null
PORT_HOLDER=

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all server cases passed"
