#!/usr/bin/env bash
# Soak run: kalvixd for a long while against kalvix-plantsim and a private MariaDB server,
# with device faults switching on and off and, every ten minutes, the database server
# killed for a minute. Once a minute it samples the service's resident memory, open file
# descriptors and threads, the age of the current-state row, the minute-history rows and
# the log's error lines, and prints them as a table at the end (and as it goes).
#
#   scripts/soak.sh                      30 minutes, programs from build/bin
#   KALVIX_SOAK_MINUTES=5 KALVIX_BIN=build-x/bin scripts/soak.sh
#
# Exits non-zero when the service died, did not end on SIGTERM within 20 s, or its memory,
# descriptors or threads kept growing (last sample more than 1.5 times the one at minute 2).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
MINUTES="${KALVIX_SOAK_MINUTES:-30}"
BIN="$(cd "${KALVIX_BIN:-$ROOT/build/bin}" && pwd)"
OUTAGE_SECONDS="${KALVIX_SOAK_OUTAGE:-60}"
WORK="$(mktemp -d /tmp/kalvix-soak-XXXXXX)"
DB="$WORK/db"
SVC="$WORK/service"
mkdir -p "$SVC"

for program in kalvixd kalvix-plantsim; do
  [ -x "$BIN/$program" ] || { echo "soak.sh: $BIN/$program is missing; build it first" >&2; exit 2; }
done

# shellcheck source=scripts/lib-plant.sh
source "$ROOT/scripts/lib-plant.sh"
SERVICE_PID=""
cleanup() {
  [ -n "$SERVICE_PID" ] && kill -KILL "$SERVICE_PID" 2>/dev/null || true
  exec 9>&- 2>/dev/null || true
  plant_stop
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

plant_start_database "$DB" >"$WORK/mariadb.log" 2>&1 || { cat "$WORK/mariadb.log"; exit 1; }
sql() { plant_sql -N -B "$1" 2>/dev/null; }

INI="$SVC/kalvixsrv.ini"
plant_write_settings "$INI" AutoStart=1 AverageLen=10
FIFO="$WORK/plant-control"
plant_start_simulator "$BIN" "$INI" "$SVC" "$FIFO"
exec 9>"$FIFO"   # held open, so the simulator never sees the end of its commands
"$BIN/kalvixd" --config "$INI" >"$WORK/kalvixd.out" 2>&1 &
SERVICE_PID=$!

LOG_DIR="$SVC/LOG"
log_errors() { cat "$LOG_DIR"/*.log 2>/dev/null | grep -c -e '\*\*\* SQL error' -e 'Сбой чтения' || true; }
state_age() {
  local age
  age="$(sql 'select timestampdiff(second, RecMoment, now()) from last_state' || true)"
  echo "${age:--}"
}
sample() {  # minute, note
  local status rss threads fds
  status="/proc/$SERVICE_PID/status"
  if [ ! -r "$status" ]; then
    echo "soak.sh: kalvixd is gone (a second copy ends at once: is another kalvixd running?)" >&2
    cat "$WORK/kalvixd.out" >&2
    tail -20 "$LOG_DIR"/*.log >&2 2>/dev/null || true
    return 1
  fi
  rss="$(awk '/^VmRSS:/ { print $2 }' "$status")"
  threads="$(awk '/^Threads:/ { print $2 }' "$status")"
  fds="$(ls "/proc/$SERVICE_PID/fd" | wc -l)"
  printf '%6s %9s %5s %7s %9s %8s %10s  %s\n' "$1" "$rss" "$fds" "$threads" "$(state_age)" \
    "$(sql 'select count(*) from pu_data' || echo -)" "$(log_errors)" "$2" | tee -a "$WORK/table"
  echo "$1 $rss $fds $threads" >>"$WORK/samples"
}

# The faults of minute m, switched on at second 20 and off at second 35.
FAULTS=("jumo1 silent" "v120 corrupt" "bk003 truncate 4" "jumo2 noise 200" "all slow 300"
        "v120 silent" "jumo truncate 2" "bk003 silent")

printf '%6s %9s %5s %7s %9s %8s %10s  %s\n' minute "rss(kB)" fds threads "age(s)" pu_data \
  "err.lines" "event" | tee "$WORK/table"
failed=0
for minute in $(seq 1 "$MINUTES"); do
  note=""
  if [ $((minute % 10)) -eq 5 ]; then
    # A database outage: killed, back after OUTAGE_SECONDS; recovery = first new state row.
    kill -KILL "$(tr -dc '0-9' <"$DB/mysqld.pid")"
    sleep "$OUTAGE_SECONDS"
    bash "$ROOT/scripts/mariadb.sh" start "$DB" >>"$WORK/mariadb.log" 2>&1
    back=$SECONDS
    recovered="-"
    for _ in $(seq 600); do
      age="$(state_age)"
      if [ "$age" != "-" ] && [ "$age" -le 1 ]; then recovered=$((SECONDS - back)); break; fi
      sleep 0.1
    done
    note="database killed for ${OUTAGE_SECONDS} s, cycles again after ${recovered} s"
  else
    fault="${FAULTS[$((minute % ${#FAULTS[@]}))]}"
    sleep 20
    echo "fault $fault" >&9
    sleep 15
    echo "fault all off" >&9
    note="$fault for 15 s"
    sleep 25
  fi
  sample "$minute" "$note" || { failed=1; break; }
done

if [ "$failed" -eq 0 ]; then
  start=$SECONDS
  kill -TERM "$SERVICE_PID"
  ended=0
  for _ in $(seq 200); do
    kill -0 "$SERVICE_PID" 2>/dev/null || { ended=1; break; }
    sleep 0.1
  done
  if [ "$ended" -eq 1 ]; then
    wait "$SERVICE_PID" && code=0 || code=$?
    echo "SIGTERM: ended after $((SECONDS - start)) s with exit status $code"
    [ "$code" -eq 0 ] || failed=1
  else
    echo "SIGTERM: still running after 20 s"
    failed=1
  fi
  SERVICE_PID=""
  # Growth: the last sample against minute 2 (start-up allocations settled).
  if [ "$MINUTES" -ge 3 ]; then
    read -r _ rss0 fds0 thr0 < <(sed -n 2p "$WORK/samples")
    read -r _ rss1 fds1 thr1 < <(tail -1 "$WORK/samples")
    for pair in "rss $rss0 $rss1" "fds $fds0 $fds1" "threads $thr0 $thr1"; do
      set -- $pair
      if [ $(($3 * 2)) -gt $(($2 * 3)) ]; then echo "growth: $1 from $2 to $3"; failed=1; fi
    done
  fi
fi
echo
echo "=== kalvixd soak, $MINUTES min ==="
cat "$WORK/table"
echo "log: $(cat "$LOG_DIR"/*.log 2>/dev/null | wc -l) lines; SQL errors: $(cat "$LOG_DIR"/*.log 2>/dev/null | grep -c '\*\*\* SQL error' || true)"
exit $failed
