#!/usr/bin/env bash
# A private MariaDB server in a folder of its own, for the tests and the demo. It needs no
# system-wide server and no configuration file: everything lives in DIR.
#
#   scripts/mariadb.sh start DIR    create the server on first use, start it, wait until it
#                                   answers, create the database `kalvix` (schema and the
#                                   default plant) on first start, print how to connect
#   scripts/mariadb.sh stop DIR     end the server by its process id and wait for it to exit
#   scripts/mariadb.sh status DIR   say whether it runs; exit 0 when it does, 1 when not
#
# DIR holds data/ (the data folder), mysqld.sock, mysqld.pid, mysqld.err (the server's log),
# tmp/ and env, a file of KEY=value lines to `source`: KALVIX_DB_SOCKET, KALVIX_DB_PORT,
# KALVIX_DB_HOST, KALVIX_DB_USER, KALVIX_DB_DIR. The user root has no password and may log
# in over the socket and over TCP on 127.0.0.1. The server listens on loopback only.
#
# When DIR/tls/ holds ca.pem, server.pem and server-key.pem at a start, the server also
# offers TLS with them (for the tests of encrypted connections).
#
# Starting a running server only prints its details. The TCP port is chosen free at the first
# start and kept for later starts while it stays free. Works as root (the server then runs
# as root) and as a normal user.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
START_TIMEOUT="${KALVIX_DB_START_TIMEOUT:-60}"   # seconds until the server must answer
STOP_TIMEOUT="${KALVIX_DB_STOP_TIMEOUT:-60}"     # seconds until the server must have exited

usage() {
  echo "usage: $0 start|stop|status DIR" >&2
  exit 2
}

die() {
  echo "mariadb.sh: $*" >&2
  exit 1
}

[ $# -eq 2 ] || usage
COMMAND="$1"
case "$COMMAND" in start|stop|status) ;; *) usage ;; esac
[ -n "$2" ] || usage
case "$2" in *"'"*|*$'\n'*) die "the folder name must not contain a quote or a line break" ;; esac

if [ "$COMMAND" = start ]; then mkdir -p "$2"; fi
if [ ! -d "$2" ]; then
  [ "$COMMAND" = status ] && { echo "not running (no folder $2)"; exit 1; }
  echo "not running (no folder $2)"
  exit 0
fi
DIR="$(cd "$2" && pwd)"
DATA="$DIR/data"
SOCKET="$DIR/mysqld.sock"
PIDFILE="$DIR/mysqld.pid"
ERRLOG="$DIR/mysqld.err"
ENVFILE="$DIR/env"

# A Unix socket path holds at most 107 bytes.
[ "${#SOCKET}" -le 107 ] || die "the socket path $SOCKET is too long for a Unix socket; use a shorter folder"

source "$ROOT/scripts/lib-mariadb.sh"

client() {
  mariadb --no-defaults --socket="$SOCKET" --user=root --connect-timeout=2 "$@"
}

# The process id of this folder's server, when it runs.
server_pid() {
  pid_from_file "$PIDFILE" "--datadir=$DATA"
}

saved_port() {
  [ -r "$ENVFILE" ] || return 1
  sed -n "s/^KALVIX_DB_PORT=\([0-9]\{1,5\}\)$/\1/p" "$ENVFILE" | head -1
}

current_port() {
  local pid="$1"
  tr '\0' '\n' <"/proc/$pid/cmdline" | sed -n 's/^--port=//p' | head -1
}

write_env() {
  local port="$1"
  cat >"$ENVFILE.tmp" <<EOF
KALVIX_DB_DIR='$DIR'
KALVIX_DB_SOCKET='$SOCKET'
KALVIX_DB_PORT=$port
KALVIX_DB_HOST=127.0.0.1
KALVIX_DB_USER=root
EOF
  mv -f "$ENVFILE.tmp" "$ENVFILE"
}

print_details() {
  local pid="$1" port="$2"
  cat <<EOF
MariaDB runs in $DIR (pid $pid)
  socket    $SOCKET
  TCP       127.0.0.1:$port
  user      root, no password
  connect   mariadb --socket=$SOCKET -u root kalvix
  settings  [MySQL] Comp=$SOCKET   (or Comp=127.0.0.1:$port)
  env       source $ENVFILE
  log       $ERRLOG
EOF
}

install_server() {
  echo "mariadb.sh: creating a new server in $DATA"
  install_data_folder "$DATA" "$DIR/tmp" "$DIR/install.log" || die "mariadb-install-db failed"
}

# Starts the server on the port and waits until it answers. Returns 0 when it answers,
# 2 when the port was taken meanwhile, 1 on any other failure.
launch() {
  local port="$1" pid waited=0 log_start tls=()
  if [ -f "$DIR/tls/ca.pem" ] && [ -f "$DIR/tls/server.pem" ] && [ -f "$DIR/tls/server-key.pem" ]; then
    tls=(--ssl-ca="$DIR/tls/ca.pem" --ssl-cert="$DIR/tls/server.pem" --ssl-key="$DIR/tls/server-key.pem")
  fi
  rm -f "$SOCKET" "$PIDFILE"
  log_start=1
  if [ -f "$ERRLOG" ]; then log_start=$(($(wc -l <"$ERRLOG") + 1)); fi
  # setsid: the server leaves the caller's process group, so a Ctrl-C meant for a test run
  # does not reach it; the run's own clean-up stops it. It must not inherit the folder's
  # lock (descriptor 9), or the lock would stay taken as long as the server runs.
  setsid mariadbd --no-defaults "${SERVER_USER[@]}" \
    --datadir="$DATA" --socket="$SOCKET" --pid-file="$PIDFILE" --log-error="$ERRLOG" \
    --port="$port" --bind-address=127.0.0.1 --skip-name-resolve --tmpdir="$DIR/tmp" \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-buffer-pool-size=64M "${tls[@]}" \
    </dev/null >>"$DIR/mysqld.out" 2>&1 9>&- &
  local launched=$!
  while [ "$waited" -lt $((START_TIMEOUT * 10)) ]; do
    if client -e "SELECT 1" >/dev/null 2>&1; then return 0; fi
    if ! process_alive "$launched" && ! pid="$(server_pid)"; then
      if tail -n +"$log_start" "$ERRLOG" 2>/dev/null | grep -q "Address already in use"; then
        return 2
      fi
      echo "mariadb.sh: the server ended during its start; its log says:" >&2
      tail -n +"$log_start" "$ERRLOG" >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "mariadb.sh: the server did not answer within $START_TIMEOUT s; its log says:" >&2
  tail -n 20 "$ERRLOG" >&2 2>/dev/null || true
  # Leave no half-started server behind.
  if pid="$(server_pid)"; then kill -TERM "$pid" 2>/dev/null || true; fi
  return 1
}

create_database() {
  if [ -n "$(client -N -e "SHOW DATABASES LIKE 'kalvix'")" ]; then return 0; fi
  echo "mariadb.sh: creating the database kalvix (db/schema.sql, db/default_plant.sql)"
  cat "$ROOT/db/schema.sql" "$ROOT/db/default_plant.sql" | client || die "creating the database failed"
}

do_start() {
  local pid port attempt rc
  if pid="$(server_pid)"; then
    print_details "$pid" "$(current_port "$pid")"
    return 0
  fi
  [ -d "$DATA/mysql" ] || install_server
  mkdir -p "$DIR/tmp"
  port="$(saved_port || true)"
  if [ -z "$port" ] || port_in_use "$port"; then port="$(pick_port)" || die "no free TCP port found"; fi
  for attempt in 1 2 3 4 5; do
    rc=0
    launch "$port" || rc=$?
    [ "$rc" -eq 0 ] && break
    [ "$rc" -eq 2 ] || die "the server did not start"
    port="$(pick_port)" || die "no free TCP port found"
  done
  [ "$rc" -eq 0 ] || die "no free TCP port after $attempt attempts"
  pid="$(server_pid)" || die "the server answers but wrote no pid file $PIDFILE"
  create_database
  write_env "$port"
  print_details "$pid" "$port"
}

do_stop() {
  local pid waited=0
  if ! pid="$(server_pid)"; then
    echo "MariaDB in $DIR is not running"
    return 0
  fi
  kill -TERM "$pid"
  while process_alive "$pid"; do
    if [ "$waited" -ge $((STOP_TIMEOUT * 10)) ]; then
      echo "mariadb.sh: the server (pid $pid) did not exit within $STOP_TIMEOUT s; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "MariaDB in $DIR stopped (pid $pid)"
}

do_status() {
  local pid
  if pid="$(server_pid)"; then
    echo "MariaDB in $DIR runs (pid $pid, socket $SOCKET, port $(current_port "$pid"))"
    return 0
  fi
  echo "MariaDB in $DIR is not running"
  return 1
}

# One start or stop at a time per folder.
exec 9>"$DIR/.lock"
flock -w $((START_TIMEOUT + STOP_TIMEOUT)) 9 || die "another start or stop in $DIR does not finish"

case "$COMMAND" in
  start) do_start ;;
  stop) do_stop ;;
  status) do_status ;;
esac
