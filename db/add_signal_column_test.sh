#!/usr/bin/env bash
# scripts/add-signal-column.sh on a scratch copy of the installation: which tables get the
# column, that names which would break the plant's unquoted statements are refused, and
# that a second run changes nothing.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_helpers.sh"

require_test_server
create_scratch_database kalvix_add_column_test

add_column() {
  bash "$REPO/scripts/add-signal-column.sh" --database="$SCRATCH_DB" "$@" \
    --no-defaults --socket="$KALVIX_TEST_DB_SOCKET" --user=root >/dev/null 2>&1
}

# Where a column of this name exists: "pu_data last_state", "pu_data", or "".
columns_of() {
  local name="${1//\'/\'\'}"
  q "SELECT TABLE_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '$SCRATCH_DB'
     AND COLUMN_NAME = '$name' AND DATA_TYPE = 'double' AND IS_NULLABLE = 'YES'
     ORDER BY TABLE_NAME = 'last_state'" | tr '\n' ' ' | sed 's/ $//'
}

q "insert into \`signal\` VALUES('JUMO', '_YSP', 2, 8, 1, 1, 0, 'WRITE')"

# options, signal name, expected exit status, expected tables with the column
CASES=(
  "-|T_SUSP|0|pu_data last_state"
  "-|_LEVELSP|0|pu_data last_state"
  "--write|_FLOWSP|0|pu_data"
  "-|_YSP|0|pu_data"
  "-|select|1|"
  "-|signal|1|"
  "-|1E5|1|"
  "-|A-B|1|"
  "-|X';DROP TABLE pu_data;--|1|"
  "-|X\`; DROP TABLE pu_data; --|1|"
  "-|RecMoment|1|"
  "-|ABCDEFGHIJKLMNOPQRSTU|1|"
  "-||1|"
)
for row in "${CASES[@]}"; do
  IFS='|' read -r options name status tables <<<"$row"
  [ "$options" = - ] && options=""
  rc=0
  add_column $options "$name" || rc=$?
  check "add '$name' $options: exit status" "$status" "$rc"
  check "add '$name' $options: tables" "$tables" "$(columns_of "$name")"
done

q "INSERT INTO pu_data (RecMoment, T_SUSP) VALUES ('2011-07-05 14:03:00', 21.5)"
rc=0
add_column T_SUSP || rc=$?
check "a second run succeeds" "0" "$rc"
check "a second run keeps the column and its data" "21.5" \
  "$(q "SELECT T_SUSP FROM pu_data WHERE RecMoment = '2011-07-05 14:03:00'")"

rc=0
bash "$REPO/scripts/add-signal-column.sh" --database="$SCRATCH_DB" X1 --no-defaults \
  --socket=/nonexistent/mysqld.sock --user=root >/dev/null 2>&1 || rc=$?
check "an unreachable server is an error" "1" "$rc"

finish
