#!/usr/bin/env bash
# Pictures of every page of the window, running against the demo plant (a private MariaDB
# server and the simulated plant), rendered offscreen into docs/screenshots/.
#
#   scripts/screenshots.sh [OUT_DIR]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
OUT="${1:-$ROOT/docs/screenshots}"
RUN="$ROOT/.run/screenshots"

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kalvix-screenshots kalvix-plantsim

rm -rf "$RUN"
mkdir -p "$RUN"
DB="$RUN/db"
PLANT_PID=""
cleanup() {
  [ -n "$PLANT_PID" ] && kill "$PLANT_PID" 2>/dev/null && wait "$PLANT_PID" 2>/dev/null || true
  bash scripts/mariadb.sh stop "$DB" >/dev/null 2>&1 || true
}
trap cleanup EXIT INT TERM

bash scripts/mariadb.sh start "$DB" >/dev/null
# shellcheck disable=SC1091
source "$DB/env"
mariadb --socket="$KALVIX_DB_SOCKET" -u root kalvix \
  -e "insert into control_vector values (now() - interval 1 hour, 'operator@plant', 1.58, 340)"

INI="$RUN/kalvixsrv.ini"
cat >"$INI" <<INI
[main]
AverageLen=10
ShowEmulTab=1
[MySQL]
Comp=$KALVIX_DB_SOCKET
ServiceName=
StartTime=0
INI
build/bin/kalvix-plantsim --write-ini "$INI" --link "$RUN" >"$RUN/plantsim.out" 2>&1 </dev/null &
PLANT_PID=$!
for _ in $(seq 50); do [ -e "$RUN/jumo" ] && break; sleep 0.1; done

# The task stored after the start reaches the task page.
( sleep 8 && mariadb --socket="$KALVIX_DB_SOCKET" -u root kalvix \
    -e "insert into control_vector values (now(), 'operator@plant', 1.62, 355)" ) &
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" build/bin/kalvix-screenshots --config "$INI" --out "$OUT"
wait
