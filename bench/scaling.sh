#!/usr/bin/env bash
# How many plant lines one database server carries, and one three-node Galera cluster.
#
# One line is one kalvixd against a simulated plant of its own (kalvix-plantsim, the default
# 27 signals) and a database of its own, kalvix_lineK, chosen by [MySQL] Database. The script
# starts a private server (scripts/mariadb.sh) in a temporary folder, creates the databases from
# db/schema.sql and db/default_plant.sql, and for each N runs N lines at once: a settle period,
# then a measured period, then all of them stopped. Then the same against a three-node cluster
# (scripts/galera.sh), line K connected first to node (K-1) mod 3 + 1, so every node takes
# writes. It prints a table per server kind and keeps the raw samples.
#
#   bench/scaling.sh [BUILD_DIR]        programs from BUILD_DIR/bin (default build)
#
# Settings (environment):
#   KALVIX_SCALING_N          lines per run on the single server ("1 5 10 20"; empty: none)
#   KALVIX_SCALING_GALERA_N   lines per run on the cluster ("1 5 10"; empty: no cluster)
#   KALVIX_SCALING_SETTLE     seconds between the last line's start and the measurement (30)
#   KALVIX_SCALING_SECONDS    seconds measured per run (120)
#   KALVIX_SCALING_RESULTS    folder for the tables and raw samples (BUILD_DIR/scaling-results)
#
# What is measured over the period, per run:
#   - CPU of the server (each node's), of all kalvixd copies together and of all simulators,
#     from /proc/PID/stat (user + system), and the whole machine's busy share from /proc/stat;
#   - commits: the write statements the server ran (Com_insert + Com_update + Com_delete +
#     Com_replace and their multi-table and select forms, from SHOW GLOBAL STATUS). The service
#     runs every statement on its own in autocommit, so each one is one transaction, one
#     commit. On the cluster, whose nodes count the write-sets they apply there too, the sum
#     of the nodes' wsrep_local_commits. Beside them Handler_commit (which also counts the SELECTs' read-only commits)
#     and InnoDB's fsyncs (Innodb_data_fsyncs: the redo log's and the data files');
#   - the server's time for each write statement, its commit included (on the cluster also
#     its certification and replication): the slow query log with long_query_time 0, in a
#     file of the period's own, "# Query_time" of every INSERT, UPDATE, DELETE and REPLACE;
#   - each service's statement queue (kalvix_db_statement_queue_length) and its cycles
#     (kalvix_control_cycles_total), scraped from its metrics endpoint once a second;
#   - the state row's age as a reader of the database sees it: now() minus
#     kalvix_lineK.last_state.RecMoment, read once a second for every line in one query.
#     RecMoment is the server's Now() when the update ran, whole seconds, so a line whose row
#     is updated every cycle reads 0 to 2 s;
#   - on the cluster also wsrep_replicated_bytes, wsrep_local_commits, wsrep_flow_control_paused,
#     wsrep_local_send_queue_avg and wsrep_cert_deps_distance per node (after FLUSH LOCAL
#     STATUS at the period's start, so the averages cover the period).
#
# The kalvixd copies run as kalvixd-line01, kalvixd-line02, ...: kalvixd refuses to start
# while a process of its own name runs, which N lines (and a test run elsewhere) would be.
# Everything started here is stopped by its process id on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
BIN="$BUILD/bin"
LINE_COUNTS="${KALVIX_SCALING_N-1 5 10 20}"
GALERA_COUNTS="${KALVIX_SCALING_GALERA_N-1 5 10}"
SETTLE="${KALVIX_SCALING_SETTLE:-30}"
PERIOD="${KALVIX_SCALING_SECONDS:-120}"
RESULTS="${KALVIX_SCALING_RESULTS:-$BUILD/scaling-results}"

for program in kalvixd kalvix-plantsim; do
  [ -x "$BIN/$program" ] || { echo "scaling.sh: $BIN/$program is missing; build it first" >&2; exit 2; }
done

# shellcheck source=scripts/lib-mariadb.sh
source "$ROOT/scripts/lib-mariadb.sh"

# A short folder: the cluster's socket paths must stay within a Unix socket's 107 bytes.
WORK="$(mktemp -d /tmp/kalvix-scaling-XXXXXX)"
mkdir -p "$RESULTS" "$WORK/bin"
HZ="$(getconf CLK_TCK)"

SERVICE_PIDS=()
SIM_PIDS=()
SERVER_DIR=""
CLUSTER_DIR=""

stop_lines() {
  local pid waited
  for pid in "${SERVICE_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${SERVICE_PIDS[@]}"; do
    waited=0
    while process_alive "$pid" && [ "$waited" -lt 200 ]; do sleep 0.1; waited=$((waited + 1)); done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  for pid in "${SIM_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  SERVICE_PIDS=()
  SIM_PIDS=()
}

cleanup() {
  stop_lines
  if [ -n "$SERVER_DIR" ]; then bash "$ROOT/scripts/mariadb.sh" stop "$SERVER_DIR" >/dev/null 2>&1 || true; fi
  if [ -n "$CLUSTER_DIR" ]; then bash "$ROOT/scripts/galera.sh" stop "$CLUSTER_DIR" >/dev/null 2>&1 || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

note() { echo "$*" | tee -a "$RESULTS/summary.txt"; }

# sql SOCKET STATEMENT: one statement, tab-separated rows without a heading.
sql() { mariadb --no-defaults --socket="$1" -u root --connect-timeout=5 -N -B -e "$2"; }

# The databases kalvix_line1..COUNT on the server behind SOCKET: the schema under the line's
# name (it names its database in one place), then the default plant into it.
create_line_databases() {
  local socket="$1" count="$2" k
  for ((k = 1; k <= count; k++)); do
    { sed "s/\`kalvix\`/\`kalvix_line$k\`/g" "$ROOT/db/schema.sql"; cat "$ROOT/db/default_plant.sql"; } |
      mariadb --no-defaults --socket="$socket" -u root
  done
}

# Every statement's time goes to the slow query log (long_query_time 0). A session logs only
# when the log was on as it opened, so the log is on before the lines start and stays on; it
# writes to a scratch file between periods and to a file of the period's own during one.
prepare_statement_log() {  # SOCKET SCRATCH_FILE
  sql "$1" "SET GLOBAL long_query_time = 0; SET GLOBAL log_slow_filter = '';
            SET GLOBAL slow_query_log_file = '$2'; SET GLOBAL slow_query_log = ON"
}
statement_log() {  # SOCKET FILE
  sql "$1" "SET GLOBAL slow_query_log_file = '$2'"
}
# write_times LOG...: "ms kind" of every write statement in the logs; kind is "state" (the
# state row's update), "history" (the minute row, updated every cycle), "journal" or "other".
write_times() {
  awk '/^# Query_time:/ { t = $3; want = 1; next }
       /^#/ || /^SET timestamp=/ || /^use / { next }
       want { s = tolower($0); sub(/^[ \t(]+/, "", s); split(s, w, /[ \t]/)
              if (w[1] ~ /^(insert|update|delete|replace)$/) {
                kind = s ~ /^update last_state / ? "state" : s ~ /^(insert|update) (into )?pu_data / ? "history" : s ~ /^insert into control_log / ? "journal" : "other"
                print t * 1000, kind
              }
              want = 0 }' "$@"
}

# Each line holds two sessions (the work and the user connection); the server's default of
# 151 sessions ends at about 70 lines. Raised for larger runs, never lowered.
allow_sessions() {  # SOCKET LINES
  sql "$1" "SET GLOBAL max_connections = GREATEST(@@max_connections, 2 * $2 + 20)"
}

# The counters read at the start and the end of a period, one "name value" per line.
STATUS_NAMES="'Com_insert','Com_update','Com_delete','Com_replace','Com_insert_select',
  'Com_update_multi','Com_delete_multi','Com_replace_select','Com_select','Handler_commit',
  'Innodb_data_fsyncs','Innodb_log_writes','Innodb_log_waits','Questions','wsrep_replicated',
  'wsrep_replicated_bytes','wsrep_received','wsrep_received_bytes','wsrep_local_commits',
  'wsrep_flow_control_paused','wsrep_flow_control_sent','wsrep_flow_control_recv',
  'wsrep_local_send_queue_avg','wsrep_local_recv_queue_avg','wsrep_cert_deps_distance',
  'wsrep_local_cert_failures','wsrep_local_bf_aborts'"
read_status() {
  sql "$1" "select lower(VARIABLE_NAME), VARIABLE_VALUE from information_schema.GLOBAL_STATUS
            where VARIABLE_NAME in ($STATUS_NAMES)" >"$2"
}

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
cpu_ticks_of() {  # PID...: their sum, in one reading (a process that has gone counts 0)
  local files=() pid
  for pid in "$@"; do files+=("/proc/$pid/stat"); done
  cat "${files[@]}" 2>/dev/null | awk '{ s += $14 + $15 } END { print s + 0 }' || true
}
# "busy total" jiffies of the whole machine (busy: all but idle and iowait).
machine_ticks() { awk '/^cpu / { t = 0; for (i = 2; i <= NF; i++) t += $i; print t - $5 - $6, t }' /proc/stat; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

# scrape_round: "queue cycles refused" of every line's metrics page into SCRAPED (index
# K-1; "- - -" for a line that does not answer). Bash's own /dev/tcp in this shell: no
# process is started for a scrape, which at many lines a second would be load of its own.
SCRAPED=()
scrape_round() {
  local k fd line q c r
  SCRAPED=()
  for k in "${!PORTS[@]}"; do
    q=- c=- r=-
    if exec {fd}<>"/dev/tcp/127.0.0.1/${PORTS[$k]}"; then
      printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&"$fd" || true
      while IFS= read -r -t 2 line <&"$fd"; do
        case "$line" in
          "kalvix_db_statement_queue_length "*) q="${line##* }" ;;
          "kalvix_control_cycles_total "*) c="${line##* }" ;;
          "kalvix_db_statements_refused_total "*) r="${line##* }" ;;
        esac
      done
      exec {fd}>&-
    fi
    SCRAPED+=("$q $c $r")
  done 2>/dev/null
}

# start_lines COUNT COMP_FUNCTION: COUNT lines; COMP_FUNCTION K prints line K's [MySQL] Comp.
# Sets PORTS (the metrics port of each line, index K-1).
PORTS=()
start_lines() {
  local count="$1" comp_of="$2" k name dir ini port
  PORTS=()
  for ((k = 1; k <= count; k++)); do
    name="$(printf 'line%02d' "$k")"
    dir="$WORK/run/$name"
    rm -rf "$dir"
    mkdir -p "$dir"
    ini="$dir/kalvixsrv.ini"
    port="$(pick_port "${PORTS[@]}")"
    PORTS+=("$port")
    cat >"$ini" <<INI
[main]
AutoStart=1
MetricsListen=127.0.0.1:$port
[MySQL]
Comp=$("$comp_of" "$k")
Database=kalvix_line$k
ServiceName=
StartTime=0
INI
    "$BIN/kalvix-plantsim" --write-ini "$ini" --link "$dir" >"$dir/plantsim.out" 2>&1 </dev/null &
    SIM_PIDS+=($!)
    for _ in $(seq 100); do
      [ -e "$dir/jumo" ] && grep -q '^VK_PortName=' "$ini" && break
      sleep 0.1
    done
    [ -e "$dir/jumo" ] || { echo "scaling.sh: the simulated plant of $name did not start" >&2; cat "$dir/plantsim.out" >&2; exit 1; }
    [ -x "$WORK/bin/kalvixd-$name" ] || cp "$BIN/kalvixd" "$WORK/bin/kalvixd-$name"
    "$WORK/bin/kalvixd-$name" --config "$ini" >"$dir/kalvixd.out" 2>&1 </dev/null &
    SERVICE_PIDS+=($!)
  done
}

# The age query: one row "K age_ms" per line, from the database of each.
age_query() {
  local count="$1" k q=""
  for ((k = 1; k <= count; k++)); do
    q+="${q:+ union all }select $k, timestampdiff(microsecond, RecMoment, now(6)) div 1000
        from kalvix_line$k.last_state"
  done
  echo "$q"
}

# percentiles FILE: "p50 p99 max mean" of the numbers in FILE ("- - - -" when none).
percentiles() {
  sort -n "$1" | awk '{ v[NR] = $1; s += $1 }
    END { if (NR == 0) { print "- - - -"; exit }
          i50 = int(0.50 * NR + 0.999); i99 = int(0.99 * NR + 0.999)
          if (i50 < 1) i50 = 1; if (i99 < 1) i99 = 1
          printf "%s %s %s %.2f\n", v[i50], v[i99], v[NR], s / NR }'
}

# delta NAME BEFORE AFTER: the change of a counter between two read_status files.
delta() {
  awk -v k="$1" 'FNR == NR { if ($1 == k) a = $2; next } $1 == k { b = $2 } END { print b - a }' "$2" "$3"
}
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
writes_of() {
  local before="$1" after="$2" sum=0 n
  for n in com_insert com_update com_delete com_replace com_insert_select com_update_multi \
    com_delete_multi com_replace_select; do
    sum=$((sum + $(delta "$n" "$before" "$after")))
  done
  echo "$sum"
}

# measure_run LABEL COUNT SOCKET...: settles, then measures COUNT lines for PERIOD seconds
# against the servers behind the sockets (the first one answers the age query). Appends one
# line of figures to RESULTS/LABEL.tsv and keeps the samples in RESULTS/LABEL-COUNT-*.
measure_run() {
  local label="$1" count="$2"
  shift 2
  local sockets=("$@") pids=() s i k raw="$RESULTS/$label-$count"
  for s in "${sockets[@]}"; do pids+=("$(tr -dc '0-9' <"$(dirname "$s")/mysqld.pid")"); done

  sleep "$SETTLE"
  local dead=0 pid

  # Start of the period.
  for i in "${!sockets[@]}"; do
    sql "${sockets[$i]}" "FLUSH LOCAL STATUS" || true
    statement_log "${sockets[$i]}" "$WORK/statements-$label-$count-$i.log"
  done
  for i in "${!sockets[@]}"; do read_status "${sockets[$i]}" "$raw-status0-$i"; done
  local first_scrape=() srv0=() svc0 sim0 m0 t0
  local scraped0 scraped1
  scraped0="$EPOCHREALTIME"
  scrape_round
  first_scrape=("${SCRAPED[@]}")
  for pid in "${pids[@]}"; do srv0+=("$(cpu_ticks "$pid")"); done
  svc0="$(cpu_ticks_of "${SERVICE_PIDS[@]}")"
  sim0="$(cpu_ticks_of "${SIM_PIDS[@]}")"
  read -r m0 t0 < <(machine_ticks)
  local load0 started="$EPOCHREALTIME"
  load0="$(loadavg)"

  : >"$raw-queue"
  : >"$raw-age"
  # Once a second until the period is over; a round that takes longer (many lines on a busy
  # machine) makes the next one start at once, never a longer period.
  local query next_us now_us end_us last_scrape=()
  query="$(age_query "$count")"
  next_us="${EPOCHREALTIME/./}"
  end_us=$((next_us + PERIOD * 1000000))
  while :; do
    scraped1="$EPOCHREALTIME"
    scrape_round
    last_scrape=("${SCRAPED[@]}")
    for k in "${!SCRAPED[@]}"; do echo "$((k + 1)) ${SCRAPED[$k]%% *}"; done >>"$raw-queue"
    sql "${sockets[0]}" "$query" >>"$raw-age" 2>/dev/null || echo "- timeout" >>"$raw-age"
    next_us=$((next_us + 1000000))
    now_us="${EPOCHREALTIME/./}"
    [ "$now_us" -lt "$end_us" ] || break
    if [ "$next_us" -gt "$now_us" ]; then
      sleep "$(printf '0.%06d' $((next_us - now_us)))"
    else
      next_us="$now_us"
    fi
  done

  # End of the period.
  local ended="$EPOCHREALTIME" srv1=() svc1 sim1 m1 t1
  for pid in "${pids[@]}"; do srv1+=("$(cpu_ticks "$pid")"); done
  svc1="$(cpu_ticks_of "${SERVICE_PIDS[@]}")"
  sim1="$(cpu_ticks_of "${SIM_PIDS[@]}")"
  read -r m1 t1 < <(machine_ticks)
  for i in "${!sockets[@]}"; do
    read_status "${sockets[$i]}" "$raw-status1-$i"
    statement_log "${sockets[$i]}" "$WORK/scratch-$i.log"
    : >"$WORK/scratch-$i.log"
  done
  write_times "$WORK/statements-$label-$count-"*.log >"$raw-writes"
  rm -f "$WORK/statements-$label-$count-"*.log
  local times state_times
  times="$(awk '{ print $1 }' "$raw-writes" | percentiles /dev/stdin)"
  state_times="$(awk '$2 == "state" { print $1 }' "$raw-writes" | percentiles /dev/stdin)"
  for pid in "${SERVICE_PIDS[@]}"; do process_alive "$pid" || dead=$((dead + 1)); done

  local secs cycles=0 refused=0 c0 c1 r0 r1 lines_up=0
  secs="$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f", b - a }')"
  for ((k = 0; k < count; k++)); do
    read -r _ c0 r0 <<<"${first_scrape[$k]}"
    read -r _ c1 r1 <<<"${last_scrape[$k]}"
    if [ "$c0" != - ] && [ "$c1" != - ]; then
      cycles=$((cycles + c1 - c0))
      refused=$((refused + r1 - r0))
      lines_up=$((lines_up + 1))
    fi
  done

  # Per server: CPU % of one core, writes, commits, fsyncs; the cluster's wsrep figures.
  local writes=0 hcommits=0 fsyncs=0 cpu_servers="" w
  for i in "${!sockets[@]}"; do
    # A node's Com_ counters also count the write-sets it applies for the others; its own
    # clients' commits are wsrep_local_commits.
    if [ "$label" = cluster ]; then
      w="$(delta wsrep_local_commits "$raw-status0-$i" "$raw-status1-$i")"
    else
      w="$(writes_of "$raw-status0-$i" "$raw-status1-$i")"
    fi
    writes=$((writes + w))
    hcommits=$((hcommits + $(delta handler_commit "$raw-status0-$i" "$raw-status1-$i")))
    fsyncs=$((fsyncs + $(delta innodb_data_fsyncs "$raw-status0-$i" "$raw-status1-$i")))
    cpu_servers+="${cpu_servers:+/}$(awk -v a="${srv0[$i]}" -v b="${srv1[$i]}" -v hz="$HZ" -v s="$secs" \
      'BEGIN { printf "%.1f", 100 * (b - a) / hz / s }')"
  done
  local q a
  q="$(awk '$2 != "-" { print $2 }' "$raw-queue" | percentiles /dev/stdin)"
  awk '$2 != "timeout" { print $2 / 1000 }' "$raw-age" >"$raw-age-seconds"
  a="$(percentiles "$raw-age-seconds")"
  # Lines whose state row the database showed fresh (under 5 s old) at least once.
  local fresh
  fresh="$(awk '$2 != "timeout" && $2 < 5000 { seen[$1] = 1 } END { print length(seen) }' "$raw-age")"
  local row cycle_secs
  cycle_secs="$(awk -v a="$scraped0" -v b="$scraped1" 'BEGIN { print b - a }')"
  row="$(awk -v n="$count" -v up="$lines_up" -v fresh="$fresh" -v dead="$dead" -v s="$secs" -v hz="$HZ" \
    -v cyc="$cycles" -v cs="$cycle_secs" -v w="$writes" -v hc="$hcommits" -v fs="$fsyncs" -v srv="$cpu_servers" \
    -v svc=$((svc1 - svc0)) -v sim=$((sim1 - sim0)) -v mb=$((m1 - m0)) -v mt=$((t1 - t0)) \
    -v ncpu="$(nproc)" -v q="$q" -v a="$a" -v t="$times" -v st="$state_times" -v ref="$refused" \
    -v la="${load0%% *}" \
    'function ms(x) { return x == "-" ? x : sprintf("%.2f", x) }
     BEGIN {
       split(q, Q, " "); split(a, A, " "); split(t, T, " "); split(st, S, " ")
       printf "%d\t%d\t%d\t%d\t%.2f\t%.1f\t%.2f\t%.1f\t%.1f\t%s\t%.1f\t%.2f\t%.1f\t%.0f",
         n, up, fresh, dead, cyc / cs / (up ? up : 1), w / s, w / s / n, hc / s, fs / s, srv,
         100 * svc / hz / s, 100 * svc / hz / s / n, 100 * sim / hz / s, 100 * ncpu * mb / mt
       printf "\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%d\t%s\n",
         Q[3], Q[4], A[1], A[2], A[3], ms(T[1]), ms(T[2]), ms(T[3]), ms(T[4]), ms(S[1]), ms(S[2]),
         ref, la
     }')"
  echo "$row" >>"$RESULTS/$label.tsv"
  # The cluster's replication figures, per node.
  if [ "$label" = cluster ]; then
    for i in "${!sockets[@]}"; do
      printf '%d\tnode%d\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$count" "$((i + 1))" \
        "$(awk -v d="$(delta wsrep_replicated_bytes "$raw-status0-$i" "$raw-status1-$i")" -v s="$secs" 'BEGIN { printf "%.1f", d / 1024 / s }')" \
        "$(awk -v d="$(delta wsrep_replicated "$raw-status0-$i" "$raw-status1-$i")" -v s="$secs" 'BEGIN { printf "%.1f", d / s }')" \
        "$(awk -v d="$(delta wsrep_received_bytes "$raw-status0-$i" "$raw-status1-$i")" -v s="$secs" 'BEGIN { printf "%.1f", d / 1024 / s }')" \
        "$(awk -v d="$(delta wsrep_local_commits "$raw-status0-$i" "$raw-status1-$i")" -v s="$secs" 'BEGIN { printf "%.1f", d / s }')" \
        "$(value wsrep_flow_control_paused "$raw-status1-$i")" \
        "$(value wsrep_local_send_queue_avg "$raw-status1-$i")" \
        "$(value wsrep_local_recv_queue_avg "$raw-status1-$i")" \
        "$(value wsrep_cert_deps_distance "$raw-status1-$i")" >>"$RESULTS/cluster-wsrep.tsv"
    done
  fi
  echo "  $label, $count lines: $(tr '\t' ' ' <<<"$row") (load average now $(loadavg))"
}

print_table() {
  local label="$1"
  note
  note "$label: N lines; up: answering their metrics at both ends of the period; fresh: whose"
  note "  state row the database showed under 5 s old; ended: services that ended early; cyc/s:"
  note "  cycles per second per line; wr/s: write statements (commits) per second, all and per"
  note "  line; hcom/s: Handler_commit; fsync/s: InnoDB fsyncs; srvCPU: the server's CPU, % of"
  note "  one core (per node on the cluster); svcCPU: all kalvixd copies, and per line; simCPU:"
  note "  all simulators; busy: the whole machine, % of one core (of $(nproc)00); q: statement"
  note "  queue max and mean of the 1 s samples; age: state row age p50, p99, max in s; wr: write"
  note "  statement time p50, p99, max, mean in ms; st: the state row's update alone, p50 and p99"
  note "  in ms; refused: statements refused by full queues; load: the 1-minute load average at"
  note "  the start"
  {
    printf 'N\tup\tfresh\tended\tcyc/s\twr/s\twr/s/ln\thcom/s\tfsync/s\tsrvCPU\tsvcCPU\tper-ln\tsimCPU\tbusy\tq.max\tq.mean\tage50\tage99\tagemax\twr50\twr99\twrmax\twrmean\tst50\tst99\trefused\tload\n'
    cat "$RESULTS/$label.tsv"
  } | column -t -s $'\t' | tee -a "$RESULTS/summary.txt"
}

max_of() { tr -s ' ' '\n' <<<"$1" | sort -n | tail -1; }

: >"$RESULTS/summary.txt"
note "== bench/scaling.sh, $(date '+%Y-%m-%d %H:%M')"
note "  $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), nproc $(nproc), $(uname -sr)"
note "  $(mariadbd --version | sed 's/ for .*//'), build $BUILD ($(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD/CMakeCache.txt" 2>/dev/null))"
note "  commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown); settle $SETTLE s, measured $PERIOD s per run"
note "  data on $(df -PT "$WORK" | awk 'NR == 2 { print $2 " " $1 }'); load average at start: $(loadavg)"

# ---- one server -------------------------------------------------------------------------
if [ -n "$LINE_COUNTS" ]; then
  rm -f "$RESULTS/server.tsv"
  SERVER_DIR="$WORK/db"
  bash "$ROOT/scripts/mariadb.sh" start "$SERVER_DIR" >"$WORK/mariadb.log" 2>&1 || { cat "$WORK/mariadb.log"; exit 1; }
  # shellcheck disable=SC1091
  SERVER_SOCKET="$(. "$SERVER_DIR/env" && echo "$KALVIX_DB_SOCKET")"
  # shellcheck disable=SC1091
  SERVER_PORT="$(. "$SERVER_DIR/env" && echo "$KALVIX_DB_PORT")"
  create_line_databases "$SERVER_SOCKET" "$(max_of "$LINE_COUNTS")"
  prepare_statement_log "$SERVER_SOCKET" "$WORK/scratch-0.log"
  allow_sessions "$SERVER_SOCKET" "$(max_of "$LINE_COUNTS")"
  note
  note "== one server (scripts/mariadb.sh), lines over TCP 127.0.0.1:$SERVER_PORT"
  note "  $(sql "$SERVER_SOCKET" "select concat('innodb_flush_log_at_trx_commit=', @@innodb_flush_log_at_trx_commit,
        ', sync_binlog=', @@sync_binlog, ', log_bin=', @@log_bin, ', innodb_buffer_pool_size=',
        @@innodb_buffer_pool_size div 1048576, 'M, max_connections=', @@max_connections)")"
  server_comp() { echo "127.0.0.1:$SERVER_PORT"; }
  for n in $LINE_COUNTS; do
    start_lines "$n" server_comp
    measure_run server "$n" "$SERVER_SOCKET"
    stop_lines
  done
  bash "$ROOT/scripts/mariadb.sh" stop "$SERVER_DIR" >/dev/null 2>&1 || true
  SERVER_DIR=""
  print_table server
fi

# ---- the three-node cluster -------------------------------------------------------------
if [ -n "$GALERA_COUNTS" ]; then
  rm -f "$RESULTS/cluster.tsv" "$RESULTS/cluster-wsrep.tsv"
  CLUSTER_DIR="$WORK/galera"
  bash "$ROOT/scripts/galera.sh" start "$CLUSTER_DIR" >"$WORK/galera.log" 2>&1 || { cat "$WORK/galera.log"; exit 1; }
  # shellcheck disable=SC1091
  source "$CLUSTER_DIR/env"
  NODE_PORTS=("$KALVIX_GALERA_NODE1_PORT" "$KALVIX_GALERA_NODE2_PORT" "$KALVIX_GALERA_NODE3_PORT")
  NODE_SOCKETS=("$KALVIX_GALERA_NODE1_SOCKET" "$KALVIX_GALERA_NODE2_SOCKET" "$KALVIX_GALERA_NODE3_SOCKET")
  create_line_databases "${NODE_SOCKETS[0]}" "$(max_of "$GALERA_COUNTS")"
  for i in 0 1 2; do
    prepare_statement_log "${NODE_SOCKETS[$i]}" "$WORK/scratch-$i.log"
    allow_sessions "${NODE_SOCKETS[$i]}" "$(max_of "$GALERA_COUNTS")"
  done
  note
  note "== three-node Galera cluster (scripts/galera.sh), line K first on node (K-1) mod 3 + 1"
  note "  $(sql "${NODE_SOCKETS[0]}" "select concat('innodb_flush_log_at_trx_commit=', @@innodb_flush_log_at_trx_commit,
        ', log_bin=', @@log_bin, ', wsrep_slave_threads=', @@wsrep_slave_threads,
        ', innodb_buffer_pool_size=', @@innodb_buffer_pool_size div 1048576, 'M, max_connections=',
        @@max_connections)")"
  # Line K's server list: its own node first, then the other two in order.
  cluster_comp() {
    local first=$((($1 - 1) % 3)) list="" j
    for j in 0 1 2; do list+="${list:+,}127.0.0.1:${NODE_PORTS[$(((first + j) % 3))]}"; done
    echo "$list"
  }
  for n in $GALERA_COUNTS; do
    start_lines "$n" cluster_comp
    measure_run cluster "$n" "${NODE_SOCKETS[@]}"
    stop_lines
  done
  bash "$ROOT/scripts/galera.sh" stop "$CLUSTER_DIR" >/dev/null 2>&1 || true
  CLUSTER_DIR=""
  print_table cluster
  note
  note "cluster, per node: lines, node, replicated KB/s, write-sets sent/s, received KB/s,"
  note "  local commits/s, flow control paused (share of the period), send queue avg, receive"
  note "  queue avg, cert deps distance"
  column -t -s $'\t' "$RESULTS/cluster-wsrep.tsv" | tee -a "$RESULTS/summary.txt"
fi

note
note "load average at the end: $(loadavg)"
echo "Figures: $RESULTS/summary.txt (raw samples beside it)"
