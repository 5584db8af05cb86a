#!/usr/bin/env bash
# scripts/mariadb.sh through its life in a folder of its own: first start, a second start
# of a running server, stop and restart with the data kept, two starts at once, and a pid
# file that names some other process.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_helpers.sh"

DIR="$(mktemp -d /tmp/kalvix-server-test.XXXXXX)"
SCRIPT="$REPO/scripts/mariadb.sh"
cleanup() {
  bash "$SCRIPT" stop "$DIR" >/dev/null 2>&1
  rm -f "$DIR.log"
  [ -n "${BYSTANDER:-}" ] && kill "$BYSTANDER" 2>/dev/null
  rm -rf "$DIR"
}
trap cleanup EXIT

# The script's output goes to a log that is shown when a check fails.
run() {
  local out rc
  out="$(bash "$SCRIPT" "$@" 2>&1)"
  rc=$?
  printf '$ mariadb.sh %s\n%s\n' "$*" "$out" >>"$DIR.log"
  return $rc
}
status_code() { run "$@" && echo 0 || echo $?; }
servers_running() { pgrep -f -c -- "--datadir=$DIR/data( |$)" || true; }
pid_of_server() { tr -dc '0-9' <"$DIR/mysqld.pid"; }
env_value() { sed -n "s/^$1=//p" "$DIR/env" | tr -d "'"; }
sql() { mariadb --no-defaults --user=root --batch --skip-column-names "$@"; }

echo "--- usage"
check "no folder" "2" "$(status_code start)"
check "unknown command" "2" "$(status_code restart "$DIR")"
check "status before the first start" "1" "$(status_code status "$DIR")"

echo "--- first start"
check "start" "0" "$(status_code start "$DIR")"
check "one server" "1" "$(servers_running)"
check "env names the socket" "$DIR/mysqld.sock" "$(env_value KALVIX_DB_SOCKET)"
port="$(env_value KALVIX_DB_PORT)"
check "env names a port" "yes" "$([[ "$port" =~ ^[0-9]+$ ]] && echo yes)"
check "root over the socket, no password; the default plant installed" "27" \
  "$(sql --socket="$DIR/mysqld.sock" -e 'SELECT COUNT(*) FROM kalvix.`signal`')"
check "root over TCP on 127.0.0.1, no password" "root@127.0.0.1" \
  "$(sql --host=127.0.0.1 --port="$port" -e 'SELECT CURRENT_USER()')"
pid="$(pid_of_server)"
check "start of a running server" "0" "$(status_code start "$DIR")"
check "... keeps the same server" "$pid 1" "$(pid_of_server) $(servers_running)"
check "status of a running server" "0" "$(status_code status "$DIR")"

echo "--- stop and restart"
sql --socket="$DIR/mysqld.sock" -e "INSERT INTO kalvix.setup VALUES ('MIN_PLS', 1.3, 'kept')"
check "stop" "0" "$(status_code stop "$DIR")"
check "stop waited for the server to exit" "0" "$(servers_running)"
check "status after stop" "1" "$(status_code status "$DIR")"
check "stop of a stopped server" "0" "$(status_code stop "$DIR")"
check "restart" "0" "$(status_code start "$DIR")"
check "restart keeps the data" "1.3" \
  "$(sql --socket="$DIR/mysqld.sock" -e "SELECT ConstVal FROM kalvix.setup WHERE Comment = 'kept'")"
check "restart keeps the port" "$port" "$(env_value KALVIX_DB_PORT)"
run stop "$DIR"

echo "--- two starts at once"
run start "$DIR" & first=$!
run start "$DIR" & second=$!
wait $first; rc1=$?
wait $second; rc2=$?
check "both succeed" "0 0" "$rc1 $rc2"
check "one server" "1" "$(servers_running)"
run stop "$DIR"

echo "--- a pid file naming another process"
sleep 60 & BYSTANDER=$!
echo "$BYSTANDER" >"$DIR/mysqld.pid"
check "status sees no server" "1" "$(status_code status "$DIR")"
check "stop succeeds" "0" "$(status_code stop "$DIR")"
check "... and leaves the other process alone" "alive" "$(kill -0 "$BYSTANDER" 2>/dev/null && echo alive)"
check "start replaces the stale pid file" "0" "$(status_code start "$DIR")"
check "... with the server's" "1" "$(servers_running)"

[ "$FAILURES" -eq 0 ] || { echo "--- script output"; cat "$DIR.log"; }
rm -f "$DIR.log"
finish
