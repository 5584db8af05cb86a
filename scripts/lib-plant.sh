# The demo plant for the scripts that run the service by hand (demo.sh, screenshots.sh,
# soak.sh): a private MariaDB server with the default plant, a settings file pointing at it,
# and the simulated plant on three pseudo-terminals. Sourced, not run:
#
#   source scripts/lib-plant.sh
#   plant_start_database "$RUN/db"            # sets PLANT_DB_SOCKET; plant_sql works after it
#   plant_write_settings "$RUN/kalvixsrv.ini" "AutoStart=1" "AverageLen=10"
#   plant_start_simulator BIN "$RUN/kalvixsrv.ini" "$RUN" [CONTROL_FIFO]   # sets PLANT_PID
#   trap plant_stop EXIT                      # the simulator, then the server
#
# The functions report a failure by their status; the caller's `set -e` ends it then.

PLANT_LIB_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PLANT_DB_DIR=""
PLANT_DB_SOCKET=""
PLANT_PID=""

# plant_start_database DIR: starts (or creates) the private server in DIR.
plant_start_database() {
  PLANT_DB_DIR="$1"
  bash "$PLANT_LIB_ROOT/scripts/mariadb.sh" start "$PLANT_DB_DIR" || return 1
  PLANT_DB_SOCKET="$PLANT_DB_DIR/mysqld.sock"
}

# plant_sql [CLIENT OPTION...] STATEMENT: runs one statement in the database kalvix of the
# private server (options such as -N -B go to the mariadb client).
plant_sql() {
  mariadb --no-defaults --user=root --socket="$PLANT_DB_SOCKET" --connect-timeout=2 \
    "${@:1:$#-1}" kalvix -e "${@: -1}"
}

# plant_write_settings INI [KEY=VALUE...]: a settings file whose [main] section holds the
# given keys and whose database is the private server (no service to start, no wait).
plant_write_settings() {
  local ini="$1" key
  shift
  {
    echo "[main]"
    for key in "$@"; do echo "$key"; done
    echo "[MySQL]"
    echo "Comp=$PLANT_DB_SOCKET"
    echo "ServiceName="
    echo "StartTime=0"
  } >"$ini"
}

# plant_start_simulator BIN INI LINK_DIR [CONTROL_FIFO]: kalvix-plantsim from BIN, pointing
# the port keys of INI at its lines, with links LINK_DIR/jumo, v120, bk003 and its output in
# LINK_DIR/plantsim.out; waits until the lines are there.
plant_start_simulator() {
  local bin="$1" ini="$2" dir="$3" fifo="${4:-}"
  local options=(--write-ini "$ini" --link "$dir")
  if [ -n "$fifo" ]; then
    mkfifo "$fifo"
    options+=(--control "$fifo")
  fi
  "$bin/kalvix-plantsim" "${options[@]}" >"$dir/plantsim.out" 2>&1 </dev/null &
  PLANT_PID=$!
  local _
  for _ in $(seq 50); do
    [ -e "$dir/jumo" ] && grep -q '^VK_PortName=' "$ini" && return 0
    sleep 0.1
  done
  echo "lib-plant.sh: the simulated plant did not come up; it said:" >&2
  cat "$dir/plantsim.out" >&2
  return 1
}

# plant_stop: ends the simulator and the server (for an EXIT trap; never fails).
plant_stop() {
  if [ -n "$PLANT_PID" ]; then
    kill -TERM "$PLANT_PID" 2>/dev/null && wait "$PLANT_PID" 2>/dev/null || true
    PLANT_PID=""
  fi
  if [ -n "$PLANT_DB_DIR" ]; then
    bash "$PLANT_LIB_ROOT/scripts/mariadb.sh" stop "$PLANT_DB_DIR" >/dev/null 2>&1 || true
  fi
}
