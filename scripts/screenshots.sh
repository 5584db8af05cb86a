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
# shellcheck source=scripts/lib-plant.sh
source scripts/lib-plant.sh
trap plant_stop EXIT INT TERM

plant_start_database "$RUN/db" >/dev/null
plant_sql "insert into control_vector values (now() - interval 1 hour, 'operator@plant', 1.58, 340)"
INI="$RUN/kalvixsrv.ini"
plant_write_settings "$INI" AverageLen=10 ShowEmulTab=1
plant_start_simulator build/bin "$INI" "$RUN"

# The task stored after the start reaches the task page.
( sleep 8 && plant_sql "insert into control_vector values (now(), 'operator@plant', 1.62, 355)" ) &
TASK_PID=$!
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" build/bin/kalvix-screenshots --config "$INI" --out "$OUT"
# Only the task's sleeper: a bare `wait` would also wait for the simulator, which runs on
# until the exit trap ends it.
wait "$TASK_PID"
