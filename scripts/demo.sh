#!/usr/bin/env bash
# The demo: a private MariaDB server, the simulated plant on three pseudo-terminals and the
# reception service polling it: with its window (kalvixsrv) when a display is present,
# otherwise headless (kalvixd). It shows the current state as the service writes
# it, places an operator task in control_vector half-way and shows it reaching the
# controllers, then ends the service as systemd would (SIGTERM) and shows the journal.
#
#   scripts/demo.sh                  about 40 seconds
#   KALVIX_DEMO_SECONDS=300 scripts/demo.sh
#   KALVIX_DEMO_HEADLESS=1 scripts/demo.sh     kalvixd even on a desktop
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SECONDS_TO_RUN="${KALVIX_DEMO_SECONDS:-40}"
RUN="$ROOT/.run/demo"

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
PROGRAM=kalvixd
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${KALVIX_DEMO_HEADLESS:-0}" != 1 ]; then
  PROGRAM=kalvixsrv
fi
cmake --build build -j "$(nproc)" --target "$PROGRAM" kalvix-plantsim

rm -rf "$RUN"
mkdir -p "$RUN"
# shellcheck source=scripts/lib-plant.sh
source scripts/lib-plant.sh
SERVICE_PID=""
cleanup() {
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null && wait "$SERVICE_PID" 2>/dev/null || true
  plant_stop
}
trap cleanup EXIT INT TERM

echo "== private database"
plant_start_database "$RUN/db"
sql() { plant_sql "$1"; }

INI="$RUN/kalvixsrv.ini"
plant_write_settings "$INI" AutoStart=1 AverageLen=10 ShowEmulTab=1

echo "== simulated plant"
plant_start_simulator build/bin "$INI" "$RUN" "$RUN/plant.ctl"
cat "$RUN/plantsim.out"

echo "== reception service: build/bin/$PROGRAM --config $INI"
build/bin/"$PROGRAM" --config "$INI" &
SERVICE_PID=$!

half=$((SECONDS_TO_RUN / 2))
for ((t = 5; t <= SECONDS_TO_RUN; t += 5)); do
  sleep 5
  echo "-- after ${t} s: current state (last_state)"
  sql "select RecMoment, PLS, Q_SUSP, TNK23, G23, RAB, RN from last_state" || true
  if [ "$t" -ge "$half" ] && [ "$t" -lt $((half + 5)) ]; then
    echo "-- the operator sets a task: density 1.62, load 355 t/h"
    sql "insert into control_vector values (now(), user(), 1.62, 355)"
  fi
done

echo "== writes the controllers received"
echo writes >"$RUN/plant.ctl"
sleep 1
grep -E '_PLSZ|_TNZ' "$RUN/plantsim.out" | tail -8 || true

echo "== ending the service with SIGTERM"
kill -TERM "$SERVICE_PID"
wait "$SERVICE_PID" || true
SERVICE_PID=""

echo "== minute history (pu_data)"
sql "select RecMoment, PLS, TNK23, G_1T2, G_1T23, G_1T41, _PLSZ from pu_data order by RecMoment"
echo "== journal (control_log)"
sql "select RecMoment, NPP, MessageText, MessageKind from control_log order by RecMoment, NPP"
echo "== today's log file"
cat "$RUN"/LOG/*.log | tr -d '\r' | tail -20
echo
echo "The demo's files are in $RUN (settings, LOG, plant output)."
