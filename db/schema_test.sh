#!/usr/bin/env bash
# The installation script and the default plant, checked on a scratch copy in the private
# server: the tables, the contracts the service relies on (column order of `signal`, one
# history row per minute, unique task moments), and that the plant's layout and its columns
# agree, including the unquoted statement shapes the service and the plant's programs use.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_helpers.sh"

require_test_server
create_scratch_database kalvix_schema_test
DB="$SCRATCH_DB"

echo "--- tables"
check "the seven tables, InnoDB, utf8mb4" \
  "$(printf '%s\tInnoDB\tutf8mb4_general_ci\n' control_log control_vector kalibr last_state pu_data setup signal)" \
  "$(q "SELECT TABLE_NAME, ENGINE, TABLE_COLLATION FROM information_schema.TABLES
        WHERE TABLE_SCHEMA = '$DB' ORDER BY TABLE_NAME")"

check "column order of signal (rows are inserted without a column list)" \
  "BusName SignalName DevNum Addr Kind InverseBytes InverseWords Direction" \
  "$(q "SELECT COLUMN_NAME FROM information_schema.COLUMNS
        WHERE TABLE_SCHEMA = '$DB' AND TABLE_NAME = 'signal' ORDER BY ORDINAL_POSITION" | xargs)"

# name, table, expected key columns in order
KEYS=(
  "PRIMARY pu_data RecMoment"
  "PRIMARY control_vector RecMoment"
  "PRIMARY setup ConstName"
  "PRIMARY signal SignalName"
)
for row in "${KEYS[@]}"; do
  read -r key table columns <<<"$row"
  check "key $key of $table" "$columns" \
    "$(q "SELECT COLUMN_NAME FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = '$DB'
          AND TABLE_NAME = '$table' AND INDEX_NAME = '$key' ORDER BY SEQ_IN_INDEX" | xargs)"
done

echo "--- contracts"
# statement, expected outcome: ok, or the server's error number
STATEMENTS=(
  $'ok\tinsert into `signal`\r\nVALUES(    \'V120\', \'NEW1\', 1, 110, 0, 0, 0, \'READ\')'
  $'1064\tinsert into signal\r\nVALUES(    \'V120\', \'NEW2\', 1, 111, 0, 0, 0, \'READ\')'
  $'1062\tinsert into `signal` VALUES(\'V120\', \'new1\', 1, 112, 0, 0, 0, \'READ\')'
  $'ok\tINSERT into pu_data (RecMoment , PLS) VALUES( \'2011-07-05 14:03:00\' , 1.5)'
  $'1062\tINSERT into pu_data (RecMoment , PLS) VALUES( \'2011-07-05 14:03:00\' , 1.6)'
  $'ok\tinsert into control_vector\r\n(RecMoment, UserName, _PLSZ, _TNZ) VALUES ( \'2011-07-05 14:03:27\', USER(), 1.45, 350)'
  $'1062\tinsert into control_vector\r\n(RecMoment, UserName, _PLSZ, _TNZ) VALUES ( \'2011-07-05 14:03:27\', USER(), 1.5, 400)'
  $'ok\tinsert into setup (ConstName, ConstVal, Comment) VALUES (\'MIN_NAGR\', 0, \'\')'
  $'1062\tinsert into setup (ConstName, ConstVal, Comment) VALUES (\'MIN_NAGR\', 0, \'\')'
  $'ok\tinsert into control_log (RecMoment, NPP, MessageText, MessageKind) VALUES(\'2011-07-05 14:03:27\', 250, \'!!! Изменены калибровки !!!\', \'СЛУЖБА ПРИЕМА\')'
  $'ok\tinsert into control_log (RecMoment, NPP, MessageText, MessageKind) VALUES(\'2011-07-05 14:03:27\', 250, \'it\\\'s\', NULL)'
  $'1048\tinsert into kalibr (SignalName, AVal, FVal) VALUES (\'PLS\', NULL, 1)'
)
for row in "${STATEMENTS[@]}"; do
  expected="${row%%$'\t'*}"
  statement="${row#*$'\t'}"
  outcome="$(q "$statement" 2>&1)" && outcome=ok || outcome="$(sed -n 's/^ERROR \([0-9]*\).*/\1/p' <<<"$outcome")"
  check "$(tr '\r\n' '  ' <<<"$statement" | cut -c1-90)" "$expected" "$outcome"
done
check "journal texts stored unchanged" \
  "$(printf '%s\t%s\n' '!!! Изменены калибровки !!!' 'СЛУЖБА ПРИЕМА' "it's" NULL)" \
  "$(q "SELECT MessageText, IFNULL(MessageKind, 'NULL') FROM control_log ORDER BY MessageKind IS NULL")"
q "DELETE FROM \`signal\` WHERE SignalName = 'NEW1'"

echo "--- the default plant"
check "setup is left for the service to seed" "1" "$(q "SELECT COUNT(*) FROM setup")"
q "DELETE FROM setup"

FIXED="PLS RAB RN TNK23 G2 G23 G41 BKK23 G_1T1 G_1T2 G_1T23 G_1T41 _PLSZ _TNZ _TNK23"
for name in $FIXED; do
  check "fixed signal $name is in the layout" "1" \
    "$(q "SELECT COUNT(*) FROM \`signal\` WHERE SignalName = BINARY '$name'")"
done

# description, query, expected
LAYOUT=(
  "signals in all|SELECT COUNT(*) FROM \`signal\`|27"
  "both JUMO controllers have an input (both must stay fresh)|SELECT COUNT(DISTINCT DevNum = 1) FROM \`signal\` WHERE BusName = 'JUMO' AND SignalName NOT LIKE '\\_%'|2"
  "JUMO floats come in two word orders|SELECT COUNT(DISTINCT InverseBytes, InverseWords) FROM \`signal\` WHERE BusName = 'JUMO' AND Kind = 1|2"
  "JUMO 16-bit integers on both controllers|SELECT COUNT(DISTINCT DevNum) FROM \`signal\` WHERE BusName = 'JUMO' AND Kind = 0|2"
  "V120 kinds read: INT, LONG, BIT and never FLOAT|SELECT GROUP_CONCAT(DISTINCT Kind ORDER BY Kind) FROM \`signal\` WHERE BusName = 'V120' AND Direction = 'READ'|0,2,3"
  "the BK-003 signals are on the bus BK|SELECT GROUP_CONCAT(SignalName ORDER BY SignalName) FROM \`signal\` WHERE BusName = 'BK'|BKK23,G23,TNK23"
  "outputs: _PLSZ on JUMO 1, _TNZ and _TNK23 on the V120|SELECT GROUP_CONCAT(CONCAT(BusName, DevNum, SignalName) ORDER BY SignalName) FROM \`signal\` WHERE Direction = 'WRITE'|JUMO1_PLSZ,V1201_TNK23,V1201_TNZ"
  "calculated signals have an empty direction|SELECT GROUP_CONCAT(SignalName ORDER BY SignalName) FROM \`signal\` WHERE BusName = 'CALC' AND Direction = ''|G_1T2,G_1T23,G_1T41,RAB,RN"
  "every signal has at least two calibration points|SELECT COUNT(*) FROM \`signal\` s WHERE (SELECT COUNT(*) FROM kalibr k WHERE k.SignalName = s.SignalName) < 2|0"
  "no calibration point without a signal|SELECT COUNT(*) FROM kalibr k WHERE NOT EXISTS (SELECT 1 FROM \`signal\` s WHERE s.SignalName = k.SignalName)|0"
  "every signal has its pu_data column|SELECT COUNT(*) FROM \`signal\` s WHERE NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS c WHERE c.TABLE_SCHEMA = '$DB' AND c.TABLE_NAME = 'pu_data' AND c.COLUMN_NAME = s.SignalName)|0"
  "every pu_data column but RecMoment is a signal|SELECT COUNT(*) FROM information_schema.COLUMNS c WHERE c.TABLE_SCHEMA = '$DB' AND c.TABLE_NAME = 'pu_data' AND c.COLUMN_NAME <> 'RecMoment' AND NOT EXISTS (SELECT 1 FROM \`signal\` s WHERE s.SignalName = c.COLUMN_NAME)|0"
  "every signal not written to a device has its last_state column|SELECT COUNT(*) FROM \`signal\` s WHERE s.Direction <> 'WRITE' AND NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS c WHERE c.TABLE_SCHEMA = '$DB' AND c.TABLE_NAME = 'last_state' AND c.COLUMN_NAME = s.SignalName)|0"
  "last_state has no column for a WRITE signal, and none without a signal|SELECT COUNT(*) FROM information_schema.COLUMNS c WHERE c.TABLE_SCHEMA = '$DB' AND c.TABLE_NAME = 'last_state' AND c.COLUMN_NAME <> 'RecMoment' AND NOT EXISTS (SELECT 1 FROM \`signal\` s WHERE s.SignalName = c.COLUMN_NAME AND s.Direction <> 'WRITE')|0"
  "signal columns are DOUBLE and may be NULL|SELECT COUNT(*) FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '$DB' AND TABLE_NAME IN ('pu_data', 'last_state') AND COLUMN_NAME <> 'RecMoment' AND NOT (DATA_TYPE = 'double' AND IS_NULLABLE = 'YES')|0"
)
for row in "${LAYOUT[@]}"; do
  IFS='|' read -r description query expected <<<"$row"
  check "$description" "$expected" "$(q "$query")"
done

# The service names the columns without quotes: every name must work that way, in the
# shapes of the minute history and of the state record.
names="$(q "SELECT GROUP_CONCAT(SignalName ORDER BY BusName, SignalName SEPARATOR ', ') FROM \`signal\`")"
values="$(q "SELECT GROUP_CONCAT('1.5' SEPARATOR ', ') FROM \`signal\`")"
state="$(q "SELECT GROUP_CONCAT(CONCAT(SignalName, '=0.25') ORDER BY BusName, SignalName SEPARATOR ', ')
            FROM \`signal\` WHERE Direction <> 'WRITE'")"
q "INSERT into pu_data (RecMoment , $names) VALUES( '2011-07-05 14:04:00' , $values)"
check "history insert names every signal unquoted" "1" \
  "$(q "SELECT COUNT(*) FROM pu_data WHERE RecMoment = '2011-07-05 14:04:00' AND PLS = 1.5 AND _TNK23 = 1.5 AND G_1T41 = 1.5")"
q "insert into last_state (RecMoment) VALUES( Now() )"
q "UPDATE last_state SET RecMoment=Now(), $state"
check "state update names every signal but the written ones, unquoted" "1" \
  "$(q "SELECT COUNT(*) FROM last_state WHERE PLS = 0.25 AND RN = 0.25 AND PIT_ON = 0.25")"

echo "--- running the installation again"
q "UPDATE \`signal\` SET Addr = 99 WHERE SignalName = 'PLS'"
q "DELETE FROM kalibr WHERE SignalName = 'PLS' AND AVal = 8"
before="$(q "SELECT COUNT(*) FROM \`signal\`") $(q "SELECT COUNT(*) FROM kalibr") $(q "SELECT COUNT(*) FROM pu_data")"
install_into "$DB"
check "tables, rows and the plant's own edits are kept" "$before 99" \
  "$(q "SELECT COUNT(*) FROM \`signal\`") $(q "SELECT COUNT(*) FROM kalibr") $(q "SELECT COUNT(*) FROM pu_data") $(q "SELECT Addr FROM \`signal\` WHERE SignalName = 'PLS'")"
q "DELETE FROM kalibr WHERE SignalName = 'RAB'"
install_into "$DB"
check "a signal without points gets its default points back" "2" \
  "$(q "SELECT COUNT(*) FROM kalibr WHERE SignalName = 'RAB'")"

finish
