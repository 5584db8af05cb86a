#!/usr/bin/env bash
# The one command that checks KALVIX: installs what is missing, builds, and runs the whole
# test suite three times: a plain build, AddressSanitizer with UndefinedBehaviorSanitizer,
# and the suites that start threads under ThreadSanitizer. Exits non-zero on any failure.
# The suites that wait minutes on the clock (label outage) and the one that runs a
# three-node database cluster of its own (label cluster) run in the plain variant only.
#
#   scripts/test.sh            all three variants
#   KALVIX_VARIANTS="plain" scripts/test.sh    a subset (plain, asan, tsan)
#   KALVIX_TEST_JOBS=1 scripts/test.sh         suites one at a time (default 4 at once)
#
# Most suites spend their time waiting on real time (device pacing, reconnections, the
# service's cycles), so several run at once even on two cores; each has its own scratch
# database, pseudo-terminals, ports and (where it runs the real programs) program names.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
RUN_START=$SECONDS
VARIANTS="${KALVIX_VARIANTS:-plain asan tsan}"
JOBS="${KALVIX_JOBS:-$(nproc)}"
TEST_JOBS="${KALVIX_TEST_JOBS:-4}"

bash scripts/install-deps.sh || { echo "test.sh: installing dependencies failed"; exit 1; }
# ccache (picked up by the build when installed): paths below the checkout count as relative,
# so a fresh clone hits what an earlier clone compiled.
export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=true

declare -a SUMMARY=()
FAILED=0
PASSED_TOTAL=0
FAILED_TOTAL=0

# The private database server of the run (scripts/mariadb.sh), started once for all variants
# in a folder of its own and stopped and removed on exit, also after a failure or Ctrl-C.
# KALVIX_TEST_DB_DIR names a server of one's own instead, which the run leaves running.
DB_DIR="${KALVIX_TEST_DB_DIR:-}"
DB_OWNED=0
if [ -z "$DB_DIR" ]; then
  DB_OWNED=1
  DB_DIR="$ROOT/build/.mariadb-$$"
  # A Unix socket path holds at most 107 bytes.
  if [ ${#DB_DIR} -gt 90 ]; then DB_DIR="${TMPDIR:-/tmp}/kalvix-test-db-$$"; fi
fi
stop_db() {
  if [ "$DB_OWNED" -eq 1 ]; then
    bash scripts/mariadb.sh stop "$DB_DIR" && rm -rf "$DB_DIR"
  fi
}
trap stop_db EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p build
if bash scripts/mariadb.sh start "$DB_DIR"; then
  export KALVIX_TEST_DB_SOCKET="$DB_DIR/mysqld.sock"
  export KALVIX_TEST_DB_PORT="$(sed -n 's/^KALVIX_DB_PORT=//p' "$DB_DIR/env")"
  export KALVIX_TEST_DB_USER=root
else
  SUMMARY+=("database: the private MariaDB server did not start (the db suites fail)")
  FAILED=1
fi

# run_variant NAME DIR SANITIZE "CMAKE OPTIONS" "BUILD TARGET" [CTEST OPTIONS...]
run_variant() {
  local name="$1" dir="$2" sanitize="$3" options="$4" target="$5"
  shift 5
  local start=$SECONDS
  echo
  echo "=== $name: configure and build in $dir ==="
  # shellcheck disable=SC2086 # options are words
  if ! cmake -S . -B "$dir" -G Ninja -DKALVIX_SANITIZE="$sanitize" $options >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"
    SUMMARY+=("$name: CONFIGURE FAILED")
    FAILED=1
    return
  fi
  local build_args=()
  if [ -n "$target" ]; then build_args=(--target "$target"); fi
  if ! cmake --build "$dir" -j "$JOBS" "${build_args[@]}"; then
    SUMMARY+=("$name: BUILD FAILED")
    FAILED=1
    return
  fi
  local built=$SECONDS
  echo "=== $name: tests ($TEST_JOBS at once) ==="
  local log="$dir/ctest.log"
  local ok=0
  (cd "$dir" && ctest --output-on-failure --timeout 900 -j "$TEST_JOBS" "$@") 2>&1 | tee "$log" || ok=$?
  # "100% tests passed, 0 tests failed out of 4"
  local counts
  counts=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$counts" ]; then
    local failed total
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$counts")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$counts")
    PASSED_TOTAL=$((PASSED_TOTAL + total - failed))
    FAILED_TOTAL=$((FAILED_TOTAL + failed))
  else
    ok=1
    FAILED_TOTAL=$((FAILED_TOTAL + 1))
  fi
  if [ "$ok" -eq 0 ]; then
    SUMMARY+=("$name: $(grep -E 'tests passed|tests failed' "$log" | tail -1) ($((SECONDS - start)) s: build $((built - start)) s, tests $((SECONDS - built)) s)")
  else
    SUMMARY+=("$name: FAILED: $(grep -E 'tests passed|tests failed' "$log" | tail -1)")
    FAILED=1
  fi
}

mkdir -p build
for variant in $VARIANTS; do
  case "$variant" in
    plain) run_variant plain build "" "" "" ;;
    asan)
      ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan-suppressions.txt:print_suppressions=0" \
        run_variant "asan+ubsan" build-asan address "-DKALVIX_BUILD_BENCH=OFF" "" -LE 'outage|cluster' ;;
    tsan)
      TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
        run_variant tsan build-tsan thread "-DKALVIX_BUILD_BENCH=OFF" kalvix_thread_suites -L threads ;;
    *) echo "test.sh: unknown variant $variant"; exit 2 ;;
  esac
done

echo
echo "================ KALVIX test summary ================"
for line in "${SUMMARY[@]}"; do echo "  $line"; done
echo "suites: $PASSED_TOTAL passed, $FAILED_TOTAL failed"
echo "whole run: $((SECONDS - RUN_START)) s"
if [ "$FAILED" -ne 0 ]; then
  echo "RESULT: FAILED"
  exit 1
fi
echo "RESULT: all variants passed"
