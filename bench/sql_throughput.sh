#!/usr/bin/env bash
# Statements per second: the statement server (with the twelve-per-tick throttle lifted)
# against the mariadb client running the very same statements, both on a private MariaDB
# started here with scripts/mariadb.sh and stopped again at the end.
#
#   bench/sql_throughput.sh [BUILD_DIR] [N]
#
# BUILD_DIR (default build) must hold bin/bench_sql_throughput (built when libbenchmark-dev
# is installed); N (default 5000) is the number of statements the client runs per kind.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
N="${2:-5000}"
BENCH="$BUILD/bin/bench_sql_throughput"
[ -x "$BENCH" ] || { echo "sql_throughput.sh: $BENCH not built (libbenchmark-dev installed?)" >&2; exit 1; }

DIR="$(mktemp -d /tmp/kalvix-bench-XXXXXX)"
cleanup() {
  bash "$ROOT/scripts/mariadb.sh" stop "$DIR" >/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

bash "$ROOT/scripts/mariadb.sh" start "$DIR" >/dev/null
# shellcheck disable=SC1091
source "$DIR/env"
client() { mariadb --no-defaults --socket="$KALVIX_DB_SOCKET" -u root "$@"; }

# A database of the benchmark's own, with the service's tables, so runs never touch `kalvix`.
reset_tables() {
  client -e "DROP DATABASE IF EXISTS kalvix_bench; CREATE DATABASE kalvix_bench;
             CREATE TABLE kalvix_bench.control_log LIKE kalvix.control_log;
             CREATE TABLE kalvix_bench.last_state LIKE kalvix.last_state;
             INSERT INTO kalvix_bench.last_state (RecMoment) VALUES (Now());"
}

echo "== machine"
echo "  $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
echo "  $(mariadb --version)"
echo "  data folder on $(df -P "$DIR" | awk 'NR == 2 { print $1 }')"

# Two passes: the server as installed (every commit flushed to disk, so the disk's flush rate
# bounds everyone), then with innodb_flush_log_at_trx_commit=2, where the client side counts.
for flush in 1 2; do
  client -e "SET GLOBAL innodb_flush_log_at_trx_commit=$flush"
  echo
  echo "#### innodb_flush_log_at_trx_commit=$flush"
  echo "== statement server (bench_sql_throughput)"
  reset_tables
  KALVIX_BENCH_DB_SOCKET="$KALVIX_DB_SOCKET" "$BENCH" --benchmark_min_time=3 \
    --benchmark_counters_tabular=true 2>&1 | grep -E '^(Benchmark|BM_|Load)'

  echo "== mariadb client, the same statements, $N of each kind"
  for kind in journal state; do
    reset_tables
    "$BENCH" --print="$kind" "$N" >"$DIR/$kind.sql"
    start=$(date +%s.%N)
    client kalvix_bench <"$DIR/$kind.sql"
    end=$(date +%s.%N)
    awk -v n="$N" -v s="$start" -v e="$end" -v k="$kind" \
      'BEGIN { printf "  %-8s %8.0f statements/s  (%d in %.2f s)\n", k, n / (e - s), n, e - s }'
  done
done
