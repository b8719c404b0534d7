#!/usr/bin/env bash
# A Firebird server of its own for tests and the benchmark: not the system
# service, but the installed server program run on a free loopback port with
# a private root folder (its own settings, security database, lock and
# temporary folders), so that it touches nothing of the machine's.
#
#   test_server.sh start DIR PASSWORD [WIRECRYPT]
#       Lays out DIR (an empty folder): DIR/root (settings), DIR/db (the only
#       folder the server lets databases live in), starts the server with
#       SYSDBA's password PASSWORD and WireCrypt WIRECRYPT (default Required),
#       and prints "PORT PID" once it accepts connections.
#       Exit 77 when no server program is installed.
#   test_server.sh stop DIR
#       Ends the server started for DIR (by its process id) and waits for it.
set -euo pipefail

SERVER=${FIREBIRD_SERVER_PROGRAM:-/usr/sbin/firebird}

installed_root() {
  local lib
  lib=$(ldconfig -p | awk '/libfbclient\.so\.2 /{print $NF; exit}')
  [[ -n $lib ]] && readlink -f "$(dirname "$(readlink -f "$lib")")/firebird/3.0"
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start() {
  local dir=$1 password=$2 crypt=${3:-Required}
  [[ -x $SERVER ]] || { echo "no Firebird server program at $SERVER" >&2; exit 77; }
  local installed
  installed=$(installed_root) || true
  [[ -d $installed/plugins ]] || { echo "no Firebird root folder beside the client library" >&2; exit 77; }
  dir=$(readlink -f "$dir")
  local root=$dir/root
  mkdir -p "$root" "$dir/db" "$dir/lock" "$dir/tmp"
  chmod 0700 "$dir"
  for f in "$installed"/*; do
    case ${f##*/} in firebird.conf | databases.conf) ;; *) ln -sfn "$f" "$root/${f##*/}" ;; esac
  done
  cat >"$root/databases.conf" <<CONF
security.db = $root/security3.fdb
CONF
  write_conf() {
    cat >"$root/firebird.conf" <<CONF
RemoteServicePort = $1
RemoteBindAddress = 127.0.0.1
WireCrypt = $crypt
DatabaseAccess = $2
ServerMode = Super
SecurityDatabase = security.db
AuthServer = Srp
UserManager = Srp
TempDirectories = $dir/tmp
IpcName = quorvel-test-$$
GuardianOption = 0
CONF
  }
  write_conf 3050 Full  # for the security database's creation only
  # The security database: an empty database that is its own security
  # database, with SYSDBA made over an embedded connection.
  local sql=$dir/security.sql
  printf "CREATE DATABASE '%s';\nCREATE USER SYSDBA PASSWORD '%s';\nCOMMIT;\n" "$root/security3.fdb" \
    "${password//\'/\'\'}" >"$sql"
  FIREBIRD=$root FIREBIRD_LOCK=$dir/lock isql-fb -q -b -i "$sql" >"$dir/isql.log" 2>&1 ||
    { cat "$dir/isql.log" >&2; rm -f "$sql"; exit 1; }
  rm -f "$sql"
  local attempt port pid
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + (RANDOM * 32768 + RANDOM + $$) % 40000))
    port_in_use "$port" && continue
    write_conf "$port" "Restrict $dir/db"
    FIREBIRD=$root FIREBIRD_LOCK=$dir/lock FIREBIRD_TMP=$dir/tmp "$SERVER" -p "$port" -el "$dir/lock" \
      </dev/null >"$dir/server.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/server.pid"
    for _ in $(seq 100); do
      if port_in_use "$port"; then echo "$port $pid"; return 0; fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    stop "$dir"
  done
  echo "the Firebird server would not start; its output:" >&2
  cat "$dir/server.log" >&2
  exit 1
}

stop() {
  local dir=$1 pid
  [[ -f $dir/server.pid ]] || return 0
  pid=$(<"$dir/server.pid")
  rm -f "$dir/server.pid"
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

case ${1:-} in
  start) shift; start "$@" ;;
  stop) shift; stop "$@" ;;
  *) echo "usage: $0 start DIR PASSWORD [WIRECRYPT] | stop DIR" >&2; exit 2 ;;
esac
