#!/usr/bin/env bash
# Adds the columns of a new signal: a DOUBLE column named after the signal in `pu_data` (the
# minute history) and in `last_state` (the current state). A signal written to a device
# (Direction WRITE) gets no `last_state` column: the state record never carries one.
#
#   scripts/add-signal-column.sh [--write] [--database=NAME] SIGNAL [mariadb options...]
#
#   --write          the signal is written to a device; also assumed when its row in
#                    `signal` already says WRITE
#   --database=NAME  the database (default kalvix)
#   mariadb options  how to reach the server, passed to the mariadb client as they are,
#                    for example --socket=/path/mysqld.sock or -h host -u user -p
#
# Example: scripts/add-signal-column.sh T_SUSP --socket=/var/run/mysqld/mysqld.sock
#
# The plant's programs name the columns without quotes, so the name must be a plain
# identifier: a letter or underscore, then letters, digits and underscores, at most 20
# characters, and not a word the server reserves. Running it again changes nothing.
# The signal's row in `signal` and its calibration points are entered separately (see
# README.md, section Database).
set -euo pipefail

usage() {
  echo "usage: $0 [--write] [--database=NAME] SIGNAL [mariadb options...]" >&2
  exit 2
}

die() {
  echo "add-signal-column: $*" >&2
  exit 1
}

WRITE=0
DATABASE=kalvix
while [ $# -gt 0 ]; do
  case "$1" in
    --write) WRITE=1; shift ;;
    --database=*) DATABASE="${1#--database=}"; shift ;;
    --help|-h) usage ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || usage
NAME="$1"
shift

[[ "$NAME" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] ||
  die "'$NAME' is not a valid signal name: use a letter or _, then letters, digits and _"
[ "${#NAME}" -le 20 ] || die "'$NAME' is longer than 20 characters"
[ "${NAME,,}" != recmoment ] || die "RecMoment is the time column, not a signal"
[[ "$DATABASE" =~ ^[A-Za-z0-9_]+$ ]] || die "'$DATABASE' is not a valid database name"

sql() {
  mariadb "$@" --database="$DATABASE" --batch --skip-column-names
}

# A reserved word works only when quoted; the plant's statements would fail on it.
if ! sql "$@" -e "SELECT $NAME FROM (SELECT 0 AS \`$NAME\`) AS t" >/dev/null 2>&1; then
  sql "$@" -e "SELECT 1" >/dev/null || die "cannot reach the database $DATABASE"
  die "'$NAME' is a reserved word of the server and cannot name a signal"
fi

direction="$(sql "$@" -e "SELECT TRIM(Direction) FROM \`signal\` WHERE SignalName = '$NAME'")"
if [ "$direction" = WRITE ]; then WRITE=1; fi

sql "$@" -e "ALTER TABLE \`pu_data\` ADD COLUMN IF NOT EXISTS \`$NAME\` DOUBLE NULL"
echo "pu_data.$NAME: present"
if [ "$WRITE" -eq 1 ]; then
  echo "last_state: no column for $NAME (written to a device)"
else
  sql "$@" -e "ALTER TABLE \`last_state\` ADD COLUMN IF NOT EXISTS \`$NAME\` DOUBLE NULL"
  echo "last_state.$NAME: present"
fi
