#!/usr/bin/env bash
# A private three-node MariaDB Galera cluster on loopback in a folder of its own, for the
# tests that need a replicated database. Like scripts/mariadb.sh it needs no system-wide
# server: every node is a mariadbd with its own data folder, socket and ports inside DIR.
#
#   scripts/galera.sh start DIR      create the cluster on first use; start every node that
#                                    does not run (the first of a stopped cluster bootstraps
#                                    it, the others join), wait until all three are Synced in
#                                    one cluster of three, create the database `kalvix` on
#                                    first start, print how to connect
#   scripts/galera.sh stop DIR [N]   end every node (or node N) by its process id and wait for
#                                    it to exit; the nodes end from the third to the first
#   scripts/galera.sh status DIR     one line per node; exit 0 when all three run Synced in a
#                                    cluster of three, 1 otherwise
#   scripts/galera.sh kill DIR N     end node N with SIGKILL (a crash) and wait until it is gone
#   scripts/galera.sh restart DIR N  stop node N if it runs, start it again and wait until it
#                                    has rejoined (IST from the others' cache, or a full copy
#                                    by mariabackup when its state is lost) and all three are Synced
#
# DIR holds node1/ node2/ node3/ (each: data/, my.cnf, mysqld.sock, mysqld.pid, mysqld.err,
# tmp/) and env, KEY=value lines to `source`: KALVIX_GALERA_NODEn_SOCKET and
# KALVIX_GALERA_NODEn_PORT for n = 1..3, KALVIX_GALERA_HOST, KALVIX_GALERA_USER,
# KALVIX_GALERA_COMP (the three nodes as host:port, comma-separated, for [MySQL] Comp) and
# KALVIX_GALERA_COMP_SOCKETS (the same by socket). As on the private server, root has no
# password over the socket and over TCP on 127.0.0.1.
#
# Every node uses four TCP ports on 127.0.0.1: SQL, group communication, incremental state
# transfer (IST) and full state transfer (SST). They are chosen free at the first start and
# kept while they stay free. A whole-cluster start after a crash of every node finds the
# node with the newest state (mariadbd --wsrep-recover) and bootstraps from it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/lib-mariadb.sh"
START_TIMEOUT="${KALVIX_GALERA_START_TIMEOUT:-120}" # seconds until a node must be Synced
STOP_TIMEOUT="${KALVIX_GALERA_STOP_TIMEOUT:-60}"    # seconds until a node must have exited
NODES=(1 2 3)
PROVIDER=/usr/lib/galera/libgalera_smm.so
# More provider options, ';'-separated, e.g. "evs.suspect_timeout=PT3S" to have a crashed
# node dropped from the cluster sooner than the default 5 s.
PROVIDER_OPTIONS="${KALVIX_GALERA_PROVIDER_OPTIONS:-}"

usage() {
  echo "usage: $0 start|stop|status DIR, $0 stop|kill|restart DIR N (N = 1, 2 or 3)" >&2
  exit 2
}

die() {
  echo "galera.sh: $*" >&2
  exit 1
}

[ $# -ge 2 ] && [ $# -le 3 ] || usage
COMMAND="$1"
NODE="${3:-}"
case "$COMMAND" in
  start|status) [ $# -eq 2 ] || usage ;;
  stop) ;;
  kill|restart) [ $# -eq 3 ] || usage ;;
  *) usage ;;
esac
case "$NODE" in ""|1|2|3) ;; *) usage ;; esac
[ -n "$2" ] || usage
case "$2" in *"'"*|*$'\n'*|*,*|*' '*) die "the folder name must not contain a quote, comma, blank or line break" ;; esac

if [ "$COMMAND" = start ]; then mkdir -p "$2"; fi
if [ ! -d "$2" ]; then
  echo "not running (no folder $2)"
  [ "$COMMAND" = stop ] && exit 0
  exit 1
fi
DIR="$(cd "$2" && pwd)"
ENVFILE="$DIR/env"
[ -x "$PROVIDER" ] || [ -r "$PROVIDER" ] || die "$PROVIDER is missing (Debian package galera-4)"

node_dir() { echo "$DIR/node$1"; }
node_socket() { echo "$DIR/node$1/mysqld.sock"; }
node_cnf() { echo "$DIR/node$1/my.cnf"; }
node_errlog() { echo "$DIR/node$1/mysqld.err"; }

# A Unix socket path holds at most 107 bytes.
[ "$(node_socket 1 | wc -c)" -le 108 ] || die "the socket path $(node_socket 1) is too long for a Unix socket; use a shorter folder"

client() {
  local n="$1"
  shift
  mariadb --no-defaults --socket="$(node_socket "$n")" --user=root --connect-timeout=2 "$@"
}

node_pid() {
  pid_from_file "$DIR/node$1/mysqld.pid" "--defaults-file=$(node_cnf "$1")"
}

# "SIZE STATUS STATE" of a node, e.g. "3 Primary Synced"; nothing when it does not answer.
node_wsrep() {
  client "$1" -N -B -e "SELECT GROUP_CONCAT(VARIABLE_VALUE ORDER BY VARIABLE_NAME SEPARATOR ' ')
    FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN
    ('WSREP_CLUSTER_SIZE', 'WSREP_CLUSTER_STATUS', 'WSREP_LOCAL_STATE_COMMENT')" 2>/dev/null || true
}

running_nodes() {
  local n
  for n in "${NODES[@]}"; do node_pid "$n" >/dev/null && echo "$n"; done
  return 0
}

# --- ports: SQL, group communication, IST and SST per node, kept in env -------------------

declare -A PORT=()
PORT_KINDS=(SQL GCOMM IST SST)

load_ports() {
  local n kind value
  [ -r "$ENVFILE" ] || return 1
  for n in "${NODES[@]}"; do
    for kind in "${PORT_KINDS[@]}"; do
      value="$(sed -n "s/^KALVIX_GALERA_NODE${n}_${kind}_PORT=\([0-9]\{1,5\}\)$/\1/p" "$ENVFILE" | head -1)"
      [ -n "$value" ] || return 1
      PORT[$n.$kind]="$value"
    done
  done
}

any_port_in_use() {
  local key
  for key in "${!PORT[@]}"; do port_in_use "${PORT[$key]}" && return 0; done
  return 1
}

pick_ports() {
  local n kind taken=()
  for n in "${NODES[@]}"; do
    for kind in "${PORT_KINDS[@]}"; do
      PORT[$n.$kind]="$(pick_port "${taken[@]}")" || die "no free TCP port found"
      taken+=("${PORT[$n.$kind]}")
    done
  done
}

write_env() {
  local n kind comp="" sockets=""
  for n in "${NODES[@]}"; do
    comp+="${comp:+,}127.0.0.1:${PORT[$n.SQL]}"
    sockets+="${sockets:+,}$(node_socket "$n")"
  done
  {
    echo "KALVIX_GALERA_DIR='$DIR'"
    echo "KALVIX_GALERA_HOST=127.0.0.1"
    echo "KALVIX_GALERA_USER=root"
    for n in "${NODES[@]}"; do
      echo "KALVIX_GALERA_NODE${n}_SOCKET='$(node_socket "$n")'"
      echo "KALVIX_GALERA_NODE${n}_PORT=${PORT[$n.SQL]}"
      for kind in "${PORT_KINDS[@]}"; do echo "KALVIX_GALERA_NODE${n}_${kind}_PORT=${PORT[$n.$kind]}"; done
    done
    echo "KALVIX_GALERA_COMP=$comp"
    echo "KALVIX_GALERA_COMP_SOCKETS='$sockets'"
  } >"$ENVFILE.tmp"
  mv -f "$ENVFILE.tmp" "$ENVFILE"
}

# --- one node -----------------------------------------------------------------------------

# The node's settings, written before every start so that they follow the ports in use.
# Small InnoDB files, buffer pool and write-set cache keep the three nodes light: this is a
# test cluster beside other servers. The cluster's name is the folder's, so two clusters on
# one machine never merge even if one were pointed at the other's ports.
write_cnf() {
  local n="$1" d members="" m
  d="$(node_dir "$n")"
  for m in "${NODES[@]}"; do members+="${members:+,}127.0.0.1:${PORT[$m.GCOMM]}"; done
  cat >"$(node_cnf "$n").tmp" <<EOF
[mysqld]
datadir=$d/data
socket=$d/mysqld.sock
pid-file=$d/mysqld.pid
log-error=$d/mysqld.err
tmpdir=$d/tmp
port=${PORT[$n.SQL]}
bind-address=127.0.0.1
skip-name-resolve
${SERVER_USER[0]:+user=root}
character-set-server=utf8mb4
collation-server=utf8mb4_general_ci
default-storage-engine=InnoDB
innodb-buffer-pool-size=32M
innodb-log-file-size=16M
innodb-autoinc-lock-mode=2
binlog-format=ROW
wsrep-on=ON
wsrep-provider=$PROVIDER
wsrep-cluster-name=kalvix-$(printf '%s' "$DIR" | cksum | cut -d' ' -f1)
wsrep-cluster-address=gcomm://$members
wsrep-node-name=node$n
wsrep-node-address=127.0.0.1:${PORT[$n.GCOMM]}
wsrep-node-incoming-address=127.0.0.1:${PORT[$n.SQL]}
wsrep-sst-method=mariabackup
wsrep-sst-auth=root:
wsrep-sst-receive-address=127.0.0.1:${PORT[$n.SST]}
wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:${PORT[$n.GCOMM]};ist.recv_addr=127.0.0.1:${PORT[$n.IST]};gcache.size=32M${PROVIDER_OPTIONS:+;$PROVIDER_OPTIONS}"
[sst]
sst-log-archive-dir=$d/sst-logs
EOF
  mv -f "$(node_cnf "$n").tmp" "$(node_cnf "$n")"
}

# Starts node N (with --wsrep-new-cluster when the second argument is "bootstrap") and
# waits until it is Synced in a cluster of EXPECTED nodes. Returns 0 then, 2 when one of its
# ports was taken meanwhile, 1 on any other failure.
launch_node() {
  local n="$1" mode="$2" expected="$3" d log_start launched waited=0 state
  d="$(node_dir "$n")"
  mkdir -p "$d/data" "$d/tmp"
  write_cnf "$n"
  rm -f "$d/mysqld.sock" "$d/mysqld.pid"
  log_start=1
  if [ -f "$d/mysqld.err" ]; then log_start=$(($(wc -l <"$d/mysqld.err") + 1)); fi
  local extra=() position
  [ "$mode" = bootstrap ] && extra=(--wsrep-new-cluster)
  if [ "$(grastate_value "$n" seqno)" = -1 ] && position="$(recovered_position "$n")"; then
    # After a crash the node must be told where it stopped: a joiner would otherwise ask for
    # a full copy where the others' write-set cache could send only what it missed, and a
    # bootstrap would begin a new history that no other node can join by IST.
    extra+=(--wsrep-start-position="$position")
  fi
  # setsid: the node leaves the caller's process group, so a Ctrl-C meant for a test run
  # does not reach it. It must not inherit the folder's lock (descriptor 9).
  setsid mariadbd --defaults-file="$(node_cnf "$n")" "${extra[@]}" \
    </dev/null >>"$d/mysqld.out" 2>&1 9>&- &
  launched=$!
  while [ "$waited" -lt $((START_TIMEOUT * 10)) ]; do
    state="$(node_wsrep "$n")"
    if [ "$state" = "$expected Primary Synced" ]; then return 0; fi
    if ! process_alive "$launched" && ! node_pid "$n" >/dev/null; then
      if tail -n +"$log_start" "$d/mysqld.err" 2>/dev/null | grep -q "Address already in use"; then
        return 2
      fi
      echo "galera.sh: node $n ended during its start; its log says:" >&2
      tail -n +"$log_start" "$d/mysqld.err" 2>/dev/null | tail -n 30 >&2 || true
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "galera.sh: node $n was not Synced in a cluster of $expected within $START_TIMEOUT s" \
    "(it says: ${state:-no answer}); its log says:" >&2
  tail -n 20 "$d/mysqld.err" >&2 2>/dev/null || true
  return 1
}

stop_node() {
  local n="$1" pid waited=0
  pid="$(node_pid "$n")" || return 0
  kill -TERM "$pid"
  while process_alive "$pid"; do
    if [ "$waited" -ge $((STOP_TIMEOUT * 10)) ]; then
      echo "galera.sh: node $n (pid $pid) did not exit within $STOP_TIMEOUT s; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "node $n stopped (pid $pid)"
}

kill_node() {
  local n="$1" pid waited=0
  pid="$(node_pid "$n")" || { echo "node $n is not running"; return 0; }
  kill -KILL "$pid"
  while process_alive "$pid"; do
    [ "$waited" -lt 100 ] || die "node $n (pid $pid) is still there 10 s after SIGKILL"
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "node $n killed (pid $pid)"
}

# --- the whole cluster --------------------------------------------------------------------

grastate_value() {
  sed -n "s/^$2:[[:space:]]*//p" "$(node_dir "$1")/data/grastate.dat" 2>/dev/null | head -1
}

# The last position (UUID:SEQNO) a node committed: its state file says -1 after a crash,
# and then its InnoDB logs know it.
recovered_position() {
  local n="$1" uuid seqno log
  uuid="$(grastate_value "$n" uuid)"
  seqno="$(grastate_value "$n" seqno)"
  if [ -n "$uuid" ] && [ -n "$seqno" ] && [ "$seqno" != -1 ]; then echo "$uuid:$seqno"; return 0; fi
  [ -d "$(node_dir "$n")/data/mysql" ] || return 1
  log="$(node_dir "$n")/recover.log"
  rm -f "$log"
  mariadbd --defaults-file="$(node_cnf "$n")" --wsrep-recover --log-error="$log" \
    </dev/null >/dev/null 2>&1 9>&- || true
  sed -n 's/.*WSREP: Recovered position: \([0-9a-f-]*:-\{0,1\}[0-9]\+\).*/\1/p' "$log" 2>/dev/null \
    | tail -1 | grep . || return 1
}

# The node to bootstrap a stopped cluster from: the one the others left last (the state
# file marks it safe), or after a crash of all, the one with the newest state.
bootstrap_node() {
  local n best="" best_seqno=-2 seqno
  for n in "${NODES[@]}"; do
    if [ "$(grastate_value "$n" safe_to_bootstrap)" = 1 ]; then echo "$n"; return 0; fi
  done
  for n in "${NODES[@]}"; do
    [ -f "$(node_dir "$n")/data/grastate.dat" ] || continue
    write_cnf "$n"
    seqno="$(recovered_position "$n" || echo :-1)"
    seqno="${seqno##*:}"
    if [ "$seqno" -gt "$best_seqno" ]; then best="$n" best_seqno="$seqno"; fi
  done
  [ -n "$best" ] || { echo 1; return 0; }
  echo "galera.sh: no node left the cluster last; node $best holds the newest state ($best_seqno)" >&2
  sed -i 's/^safe_to_bootstrap:.*/safe_to_bootstrap: 1/' "$(node_dir "$best")/data/grastate.dat"
  echo "$best"
}

create_database() {
  local n="$1"
  if [ -n "$(client "$n" -N -e "SHOW DATABASES LIKE 'kalvix'")" ]; then return 0; fi
  echo "galera.sh: creating the database kalvix (db/schema.sql, db/default_plant.sql)"
  cat "$ROOT/db/schema.sql" "$ROOT/db/default_plant.sql" | client "$n" || die "creating the database failed"
}

print_details() {
  local n pid
  echo "MariaDB Galera cluster in $DIR"
  for n in "${NODES[@]}"; do
    pid="$(node_pid "$n" || echo -)"
    echo "  node $n    pid $pid, socket $(node_socket "$n"), TCP 127.0.0.1:${PORT[$n.SQL]}"
  done
  cat <<EOF
  user      root, no password
  connect   mariadb --socket=$(node_socket 1) -u root kalvix
  settings  [MySQL] Comp=$(sed -n 's/^KALVIX_GALERA_COMP=//p' "$ENVFILE")
  env       source $ENVFILE
  logs      $DIR/node*/mysqld.err
EOF
}

# Starts the nodes that do not run, one after the other (a donor serves one copy at a time).
start_missing() {
  local first="$1" n count rc
  count=$(running_nodes | wc -l)
  for n in "$first" "${NODES[@]}"; do
    node_pid "$n" >/dev/null && continue
    count=$((count + 1))
    if [ "$count" -eq 1 ]; then
      echo "galera.sh: node $n bootstraps the cluster"
      rc=0
      launch_node "$n" bootstrap 1 || rc=$?
    else
      echo "galera.sh: node $n joins the cluster"
      rc=0
      launch_node "$n" join "$count" || rc=$?
    fi
    [ "$rc" -eq 0 ] || return "$rc"
  done
}

do_start() {
  local rc first=1 running up
  running="$(running_nodes)"
  if [ -n "$running" ]; then
    load_ports || die "nodes run but $ENVFILE does not name their ports"
  else
    if ! load_ports || any_port_in_use; then pick_ports; fi
    write_env
    if [ ! -d "$(node_dir 1)/data/mysql" ]; then
      echo "galera.sh: creating a new cluster in $DIR"
      install_data_folder "$(node_dir 1)/data" "$(node_dir 1)/tmp" "$(node_dir 1)/install.log" \
        || die "mariadb-install-db failed"
    else
      first="$(bootstrap_node)"
    fi
  fi
  for _ in 1 2 3; do
    rc=0
    start_missing "$first" || rc=$?
    [ "$rc" -eq 2 ] && [ -z "$running" ] || break
    # A port was taken between the choice and the start: all again on other ports.
    echo "galera.sh: a port was taken meanwhile; choosing others" >&2
    for first in 3 2 1; do stop_node "$first" >/dev/null || true; done
    first="$(bootstrap_node)"
    pick_ports
    write_env
  done
  [ "$rc" -eq 0 ] || die "the cluster did not start"
  mapfile -t up < <(running_nodes)
  create_database "${up[0]}"
  print_details
}

do_stop() {
  local n failed=0
  if [ -n "$NODE" ]; then
    stop_node "$NODE" || failed=1
  elif [ -z "$(running_nodes)" ]; then
    echo "MariaDB Galera cluster in $DIR is not running"
  else
    for n in 3 2 1; do stop_node "$n" || failed=1; done
    echo "MariaDB Galera cluster in $DIR stopped"
  fi
  return "$failed"
}

do_status() {
  local n pid state healthy=1
  load_ports || true
  for n in "${NODES[@]}"; do
    if pid="$(node_pid "$n")"; then
      state="$(node_wsrep "$n")"
      echo "node $n runs (pid $pid, port ${PORT[$n.SQL]:-?}): cluster size, status, state: ${state:-no answer}"
      [ "$state" = "3 Primary Synced" ] || healthy=0
    else
      echo "node $n is not running"
      healthy=0
    fi
  done
  [ "$healthy" -eq 1 ]
}

do_restart() {
  local count
  load_ports || die "$ENVFILE names no ports: start the cluster first"
  stop_node "$NODE"
  count=$(($(running_nodes | wc -l) + 1))
  [ "$count" -gt 1 ] || die "no other node runs for node $NODE to join: use start"
  echo "galera.sh: node $NODE rejoins the cluster"
  launch_node "$NODE" join "$count" || die "node $NODE did not rejoin"
  node_wsrep "$NODE" | sed "s/^/node $NODE: cluster size, status, state: /"
}

# One command at a time per folder.
exec 9>"$DIR/.lock"
flock -w $((START_TIMEOUT * 3 + STOP_TIMEOUT * 3)) 9 || die "another command in $DIR does not finish"

case "$COMMAND" in
  start) do_start ;;
  stop) do_stop ;;
  status) do_status ;;
  kill) kill_node "$NODE" ;;
  restart) do_restart ;;
esac
