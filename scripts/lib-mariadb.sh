# shellcheck shell=bash
# Pieces shared by the scripts that run private MariaDB servers in folders of their own
# (mariadb.sh: one server; galera.sh: a three-node cluster). Sourced, not run.
#
#   process_alive PID             true while the process exists and has not ended
#   port_in_use PORT              true when some socket listens on the TCP port
#   pick_port [TAKEN...]          a free TCP port, none of TAKEN
#   pid_from_file PIDFILE MARK    the pid in PIDFILE when that process's command line holds
#                                 the argument MARK (so a stale pid file names nothing)
#   install_data_folder DATA TMP LOG   mariadb-install-db into DATA (root, no password)
#
# SERVER_USER holds --user=root when the scripts run as root (mariadbd refuses root
# otherwise) and nothing for a normal user.

SERVER_USER=()
if [ "$(id -u)" -eq 0 ]; then SERVER_USER=(--user=root); fi

# An ended child of ours, or one whose parent does not collect it, stays behind as a zombie
# that `kill -0` still finds.
process_alive() {
  local state
  state="$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# IPv4 or IPv6, read from /proc: no ss or netstat needed.
port_in_use() {
  local hex
  hex="$(printf '%04X' "$1")"
  awk -v port="$hex" 'NR > 1 { split($2, a, ":"); if (a[2] == port && $4 == "0A") found = 1 }
                      END { exit found ? 0 : 1 }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

pick_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    case " $* " in *" $port "*) continue ;; esac
    if ! port_in_use "$port"; then echo "$port"; return 0; fi
  done
  return 1
}

# The pid file alone could name a process that has since ended and whose id was reused, so
# the command line must match too.
pid_from_file() {
  local pid
  [ -r "$1" ] || return 1
  pid="$(tr -dc '0-9' <"$1")"
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' '\n' <"/proc/$pid/cmdline" | grep -qxF -- "$2" || return 1
  echo "$pid"
}

# The bootstrap server's temporary tables go to the folder's own TMP: in the shared /tmp,
# servers created at the same time (test suites run side by side) trip over each other's.
install_data_folder() {
  local data="$1" tmp="$2" log="$3"
  mkdir -p "$tmp"
  if ! mariadb-install-db --no-defaults --datadir="$data" "${SERVER_USER[@]}" \
      --tmpdir="$tmp" \
      --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
      >"$log" 2>&1; then
    cat "$log" >&2
    rm -rf "$data"
    return 1
  fi
}
