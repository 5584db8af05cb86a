# Helpers of the database tests (sourced). They talk to the private server that
# scripts/test.sh starts and names in KALVIX_TEST_DB_SOCKET; without it they fail.
#
#   require_test_server               fail unless the private server is named and answers
#   create_scratch_database NAME      a copy of the installation (schema and default plant)
#                                     under another name, dropped when the test ends
#   q SQL...                          run SQL in the scratch database; values tab-separated
#   check DESCRIPTION EXPECTED ACTUAL compare, report, count failures
#   finish                            report and exit 0 or 1

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
FAILURES=0
CHECKS=0
SCRATCH_DB=""

require_test_server() {
  if [ -z "${KALVIX_TEST_DB_SOCKET:-}" ]; then
    echo "FAIL: KALVIX_TEST_DB_SOCKET is not set. This test needs the private MariaDB server:"
    echo "      run scripts/test.sh, or start one with scripts/mariadb.sh start DIR and export"
    echo "      KALVIX_TEST_DB_SOCKET and KALVIX_TEST_DB_PORT from DIR/env."
    exit 1
  fi
  if ! server -e "SELECT 1" >/dev/null; then
    echo "FAIL: the private MariaDB server does not answer on $KALVIX_TEST_DB_SOCKET"
    exit 1
  fi
}

server() {
  mariadb --no-defaults --socket="$KALVIX_TEST_DB_SOCKET" --user=root --batch \
    --skip-column-names "$@"
}

q() {
  server --database="$SCRATCH_DB" -e "$*"
}

drop_scratch_database() {
  [ -n "$SCRATCH_DB" ] && server -e "DROP DATABASE IF EXISTS \`$SCRATCH_DB\`" || true
}

# The installation files name their database in one place, `kalvix`; the copy replaces it.
install_into() {
  { sed "s/\`kalvix\`/\`$1\`/g" "$REPO/db/schema.sql"; cat "$REPO/db/default_plant.sql"; } | server
}

create_scratch_database() {
  SCRATCH_DB="$1_$$"
  trap drop_scratch_database EXIT
  drop_scratch_database
  install_into "$SCRATCH_DB" || { echo "FAIL: installing the schema into $SCRATCH_DB failed"; exit 1; }
}

check() {
  CHECKS=$((CHECKS + 1))
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    FAILURES=$((FAILURES + 1))
    echo "FAIL $1"
    echo "     expected: $(printf '%q' "$2")"
    echo "     actual:   $(printf '%q' "$3")"
  fi
}

finish() {
  echo "$CHECKS checks, $FAILURES failed"
  [ "$FAILURES" -eq 0 ]
  exit $?
}
