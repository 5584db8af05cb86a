#!/usr/bin/env bash
# scripts/galera.sh through the life of a three-node cluster: first start, a row written on
# one node read on the others, a node killed while another takes writes, its rejoin by
# incremental transfer, a rolling restart of a running node, a crash of all three and the
# start that recovers them, and the stop.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_helpers.sh"
source "$REPO/scripts/lib-mariadb.sh" # process_alive: an ended node may stay a zombie a while

DIR="$(mktemp -d /tmp/kalvix-galera-test.XXXXXX)"
SCRIPT="$REPO/scripts/galera.sh"
cleanup() {
  bash "$SCRIPT" stop "$DIR" >/dev/null 2>&1
  rm -f "$DIR.log"
  rm -rf "$DIR"
}
trap cleanup EXIT

# The script's output goes to a log that is shown when a check fails.
run() {
  local out rc
  out="$(bash "$SCRIPT" "$@" 2>&1)"
  rc=$?
  printf '$ galera.sh %s\n%s\n' "$*" "$out" >>"$DIR.log"
  return $rc
}
status_code() { run "$@" && echo 0 || echo $?; }
env_value() { sed -n "s/^$1=//p" "$DIR/env" | tr -d "'"; }
node_pid() { tr -dc '0-9' <"$DIR/node$1/mysqld.pid"; }
nodes_running() { pgrep -f -c -- "--defaults-file=$DIR/node[123]/my.cnf" || true; }
# Reads wait until the node has applied every write the cluster committed before them.
sql() {
  local n="$1"
  shift
  mariadb --no-defaults --user=root --socket="$DIR/node$n/mysqld.sock" --batch --skip-column-names \
    --init-command="SET SESSION wsrep_sync_wait = 1" kalvix -e "$*"
}
status_var() { sql "$1" "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = '$2'"; }
on_every_node() {
  local n out=""
  for n in 1 2 3; do out+="${out:+ }$(sql "$n" "$1" | tr '\n' ',')"; done
  echo "$out"
}
# What a node's log says from line FROM on: did it take a full copy or only what it missed?
transfer_since() {
  local log="$DIR/node$1/mysqld.err"
  if tail -n +"$2" "$log" | grep -q "SST completed on joiner"; then echo "full copy"
  elif tail -n +"$2" "$log" | grep -q "IST received"; then echo "IST"
  else echo "none"; fi
}
log_lines() { wc -l <"$DIR/node$1/mysqld.err"; }

echo "--- usage"
while IFS='|' read -r what expected args; do
  # shellcheck disable=SC2086 # the table's arguments are words
  check "$what" "$expected" "$(status_code $args)"
done <<EOF
no folder|2|start
unknown command|2|rebuild $DIR
a node number where none is taken|2|start $DIR 1
no node number to kill|2|kill $DIR
a node that does not exist|2|restart $DIR 4
status before the first start|1|status $DIR
EOF

echo "--- first start"
check "start" "0" "$(status_code start "$DIR")"
check "three nodes" "3" "$(nodes_running)"
check "status: all Synced in a cluster of three" "0" "$(status_code status "$DIR")"
comp="$(env_value KALVIX_GALERA_COMP)"
check "env lists the three nodes for Comp" "127.0.0.1:$(env_value KALVIX_GALERA_NODE1_PORT),127.0.0.1:$(env_value KALVIX_GALERA_NODE2_PORT),127.0.0.1:$(env_value KALVIX_GALERA_NODE3_PORT)" "$comp"
check "env names node 3's socket" "$DIR/node3/mysqld.sock" "$(env_value KALVIX_GALERA_NODE3_SOCKET)"
check "the default plant on every node" "27, 27, 27," "$(on_every_node 'SELECT COUNT(*) FROM `signal`')"
check "root over TCP on 127.0.0.1 without a password, node 3" "root@127.0.0.1" \
  "$(mariadb --no-defaults --user=root --host=127.0.0.1 --port="$(env_value KALVIX_GALERA_NODE3_PORT)" \
    -N -e 'SELECT CURRENT_USER()')"
history="$(status_var 1 wsrep_cluster_state_uuid)"

echo "--- a write on node 1 is read on nodes 2 and 3"
sql 1 "INSERT INTO setup VALUES ('ON_NODE1', 1, 'written on node 1')"
check "read on every node" "1, 1, 1," "$(on_every_node "SELECT ConstVal FROM setup WHERE ConstName = 'ON_NODE1'")"

echo "--- node 1 killed, node 2 takes writes"
killed="$(node_pid 1)"
check "kill" "0" "$(status_code kill "$DIR" 1)"
check "... the process is gone" "gone" "$(process_alive "$killed" || echo gone)"
check "status says the cluster is short" "1" "$(status_code status "$DIR")"
sql 2 "INSERT INTO setup VALUES ('ON_NODE2', 2, 'written while node 1 was down')"
check "the write commits in a cluster of two" "2" "$(status_var 2 wsrep_cluster_size)"
check "... and reaches node 3" "2" "$(sql 3 "SELECT ConstVal FROM setup WHERE ConstName = 'ON_NODE2'")"

echo "--- node 1 restarted: it rejoins with what it missed"
from=$(($(log_lines 1) + 1))
check "restart" "0" "$(status_code restart "$DIR" 1)"
check "no new cluster: the same history" "$history" "$(status_var 1 wsrep_cluster_state_uuid)"
check "it took only what it missed" "IST" "$(transfer_since 1 "$from")"
check "the row written meanwhile is on node 1" "2" "$(sql 1 "SELECT ConstVal FROM setup WHERE ConstName = 'ON_NODE2'")"
check "all Synced in a cluster of three again" "0" "$(status_code status "$DIR")"

echo "--- a running node restarted (one step of a rolling restart)"
from=$(($(log_lines 2) + 1))
before="$(node_pid 2)"
check "restart of node 2" "0" "$(status_code restart "$DIR" 2)"
check "... a new process" "yes" "$([ "$(node_pid 2)" != "$before" ] && echo yes)"
check "... by IST" "IST" "$(transfer_since 2 "$from")"
sql 2 "INSERT INTO setup VALUES ('AFTER_ROLL', 3, 'written after the restart of node 2')"
check "writes on node 2 reach every node" "3, 3, 3," "$(on_every_node "SELECT ConstVal FROM setup WHERE ConstName = 'AFTER_ROLL'")"

echo "--- all three crash; start recovers them"
for n in 3 2 1; do run kill "$DIR" "$n"; done
check "nothing runs" "0" "$(nodes_running)"
from2=$(($(log_lines 2) + 1))
from3=$(($(log_lines 3) + 1))
check "start" "0" "$(status_code start "$DIR")"
check "the history goes on" "$history" "$(status_var 1 wsrep_cluster_state_uuid)"
check "node 2 and 3 join by IST" "IST IST" "$(transfer_since 2 "$from2") $(transfer_since 3 "$from3")"
check "every row on every node" "3, 3, 3," "$(on_every_node "SELECT COUNT(*) FROM setup WHERE ConstName IN ('ON_NODE1', 'ON_NODE2', 'AFTER_ROLL')")"

echo "--- stop"
check "stop" "0" "$(status_code stop "$DIR")"
check "stop waited for every node to exit" "0" "$(nodes_running)"
check "status after stop" "1" "$(status_code status "$DIR")"
check "stop of a stopped cluster" "0" "$(status_code stop "$DIR")"
check "node 1 left last and may bootstrap" "1" \
  "$(sed -n 's/^safe_to_bootstrap:[[:space:]]*//p' "$DIR/node1/data/grastate.dat")"

[ "$FAILURES" -eq 0 ] || { echo "--- script output"; cat "$DIR.log"; }
rm -f "$DIR.log"
finish
