#!/usr/bin/env bash
# Every benchmark in one command: installs what is missing, builds RelWithDebInfo in its own
# folder, runs the measurements against the simulated plant and private MariaDB servers, and
# writes the figures to the results folder (summary.txt plus each measurement's raw output).
#
#   scripts/bench.sh                      about 45 minutes with the defaults below
#   KALVIX_BENCH_CYCLES=60 KALVIX_BENCH_CHANGES=20 KALVIX_BENCH_FOOTPRINT_SECONDS=60 \
#     KALVIX_BENCH_ONLY="cycles latency" scripts/bench.sh
#
# Settings (environment):
#   KALVIX_BENCH_BUILD              build folder (build-bench)
#   KALVIX_BENCH_RESULTS            results folder (BUILD/results)
#   KALVIX_BENCH_CYCLES             cycle periods measured, idle and again loaded (600)
#   KALVIX_BENCH_CHANGES            value changes timed from device to last_state (200)
#   KALVIX_BENCH_FOOTPRINT_SECONDS  how long the 90-signal service is watched (600)
#   KALVIX_BENCH_COLLECTD_SECONDS   how long collectd, polling the JUMO line beside it, is
#                                   watched (120; it runs during the service's window)
#   KALVIX_BENCH_PROFILE_SECONDS    how long perf samples that service after the window (60)
#   KALVIX_BENCH_FOOTPRINT_MAIN     lines added to that service's [main] section, e.g.
#                                   V120ReadRuns=1 (none)
#   KALVIX_BENCH_STARTUP_RUNS       service starts timed (5)
#   KALVIX_BENCH_STOP_RUNS          stops timed in each situation (3)
#   KALVIX_BENCH_MODBUS_MIN_TIME    seconds per Modbus master benchmark (10)
#   KALVIX_BENCH_SQL_STATEMENTS     statements per kind for the mariadb client (5000)
#   KALVIX_BENCH_SPOOL_MINUTES      minute rows in the spool written back (1440: a day)
#   KALVIX_BENCH_METRICS_SECONDS    how long the services with and without the metrics
#                                   endpoint are watched (300; scraped every 5 s)
#   KALVIX_BENCH_VISION_EXCHANGES   Vision exchanges timed against the simulated V120 (1000)
#   KALVIX_BENCH_ONLY               a subset of: footprint latency cycles startup stop modbus sql
#                                   spool metrics vision
#
# The service runs as a renamed copy of kalvixd (kalvixd-bench), because kalvixd refuses to
# start while another process of that name runs: a test suite or demo elsewhere on the
# machine must neither stop ours nor be stopped by it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="${KALVIX_BENCH_BUILD:-$ROOT/build-bench}"
RESULTS="${KALVIX_BENCH_RESULTS:-$BUILD/results}"
CYCLES="${KALVIX_BENCH_CYCLES:-600}"
CHANGES="${KALVIX_BENCH_CHANGES:-200}"
FOOTPRINT_SECONDS="${KALVIX_BENCH_FOOTPRINT_SECONDS:-600}"
FOOTPRINT_MAIN="${KALVIX_BENCH_FOOTPRINT_MAIN:-}"
STARTUP_RUNS="${KALVIX_BENCH_STARTUP_RUNS:-5}"
STOP_RUNS="${KALVIX_BENCH_STOP_RUNS:-3}"
MODBUS_MIN_TIME="${KALVIX_BENCH_MODBUS_MIN_TIME:-10}"
SQL_STATEMENTS="${KALVIX_BENCH_SQL_STATEMENTS:-5000}"
SPOOL_MINUTES="${KALVIX_BENCH_SPOOL_MINUTES:-1440}"
METRICS_SECONDS="${KALVIX_BENCH_METRICS_SECONDS:-300}"
VISION_EXCHANGES="${KALVIX_BENCH_VISION_EXCHANGES:-1000}"
COLLECTD_SECONDS="${KALVIX_BENCH_COLLECTD_SECONDS:-120}"
PROFILE_SECONDS="${KALVIX_BENCH_PROFILE_SECONDS:-60}"
ONLY="${KALVIX_BENCH_ONLY:-footprint latency cycles startup stop modbus sql spool metrics vision}"
# The 90-signal plant: the 27 of the default plant and this many more on the V120.
EXTRA_SIGNALS=63
# Seconds after the service's start before its CPU time is counted (start-up excluded).
FOOTPRINT_WARMUP=20

wants() { [[ " $ONLY " == *" $1 "* ]]; }

bash scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(kalvixd kalvix-plantsim bench_cycle_timing bench_device_latency bench_startup)
wants modbus && targets+=(bench_modbus_master)
wants sql && targets+=(bench_sql_throughput)
wants spool && targets+=(bench_spool_replay)
wants metrics && targets+=(bench_metrics_scrape)
wants stop && targets+=(bench_stop)
wants vision && targets+=(bench_vision_link)
# The window program, when the tree has it already.
# (grep -c, not -q: under pipefail a grep that stops reading early fails the pipeline.)
if [ "$(cmake --build "$BUILD" --target help | grep -c '^kalvixsrv:')" -gt 0 ]; then
  targets+=(kalvixsrv)
fi
cmake --build "$BUILD" -j "$(nproc)" --target "${targets[@]}"
BIN="$BUILD/bin"

rm -rf "$RESULTS"
mkdir -p "$RESULTS"
RUN="$RESULTS/run"
mkdir -p "$RUN/bin"
cp "$BIN/kalvixd" "$RUN/bin/kalvixd-bench"

# ---- processes started here, ended by their ids on exit --------------------------------------
PIDS=()
DBS=()
cleanup() {
  local pid db
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  for db in "${DBS[@]}"; do bash scripts/mariadb.sh stop "$db" >/dev/null 2>&1 || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

forget_pid() {
  local keep=() pid
  for pid in "${PIDS[@]}"; do [ "$pid" = "$1" ] || keep+=("$pid"); done
  PIDS=("${keep[@]}")
}

stop_pid() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  forget_pid "$1"
}

note() { echo "$*" | tee -a "$RESULTS/summary.txt"; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

# A stack: a private MariaDB server and the simulated plant, with a settings file in DIR that
# points at both; MAIN_LINES (optional) are added to its [main] section. Sets STACK_SOCKET.
start_stack() {
  local dir="$1" main_lines="${2:-}"
  mkdir -p "$dir"
  bash scripts/mariadb.sh start "$dir/db" >/dev/null
  DBS+=("$dir/db")
  # shellcheck disable=SC1091
  STACK_SOCKET="$(. "$dir/db/env" && echo "$KALVIX_DB_SOCKET")"
  cat >"$dir/kalvixsrv.ini" <<INI
[main]
AutoStart=1
AverageLen=10
$main_lines
[MySQL]
Comp=$STACK_SOCKET
ServiceName=
StartTime=0
INI
  "$BIN/kalvix-plantsim" --write-ini "$dir/kalvixsrv.ini" --link "$dir" \
    --control "$dir/plant.ctl" >"$dir/plantsim.out" 2>&1 </dev/null &
  PIDS+=($!)
  for _ in $(seq 100); do [ -e "$dir/jumo" ] && [ -p "$dir/plant.ctl" ] && break; sleep 0.1; done
  [ -e "$dir/jumo" ] || { echo "bench.sh: the simulated plant did not start" >&2; exit 1; }
}

sql_at() { mariadb --no-defaults --socket="$1" -u root kalvix --batch --skip-column-names -e "$2"; }

# 63 more read signals on the V120 (MI 200 upwards), each with its columns.
grow_plant_to_90() {
  local socket="$1" values="" n name
  for ((n = 1; n <= EXTRA_SIGNALS; n++)); do
    name="$(printf 'AUX_%02d' "$n")"
    values+="${values:+,}('V120','$name',1,$((199 + n)),0,0,0,'READ')"
    bash scripts/add-signal-column.sh "$name" --no-defaults --socket="$socket" -u root >/dev/null
  done
  sql_at "$socket" "insert into \`signal\` (BusName, SignalName, DevNum, Addr, Kind,
    InverseBytes, InverseWords, Direction) values $values"
  echo "$(sql_at "$socket" 'select count(*) from `signal`')"
}

proc_cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
proc_status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# Watches a process for SECONDS (FOOTPRINT_SECONDS when not given) after the warm-up; writes
# "cpu_percent rss_max_kb hwm_kb seconds pss_kb anon_kb own_anon_kb" to FILE, the CPU seconds
# of each thread to FILE-threads.txt and the resident memory by mapping to FILE-maps.txt.
#
# Memory, from /proc/PID/smaps_rollup and /proc/PID/smaps at the end of the window:
#   VmRSS      every resident page the process maps, a shared library's as much as its own;
#   Pss        each shared page divided by the number of processes that map it;
#   anonymous  the pages that exist for this process alone (Anonymous: not backed by a file);
#   own        the anonymous pages of anonymous mappings: heap, malloc arenas, thread stacks,
#              mmap'd buffers. The rest of the anonymous memory is the libraries' data (their
#              relocated pointers and variables, copied on the first write), which a library
#              costs every process that loads it, whatever the process does.
# Anonymous rather than Private_Dirty: a file page written since it was read (a program file
# just copied into place) counts as private dirty though the page cache holds it anyway.
watch_footprint() {
  local pid="$1" file="$2" seconds="${3:-$FOOTPRINT_SECONDS}" hz cpu0 cpu1 t0 t1 rss max=0 end
  hz="$(getconf CLK_TCK)"
  sleep "$FOOTPRINT_WARMUP"
  kill -0 "$pid" 2>/dev/null || { echo "gone" >"$file"; return; }
  cpu0="$(proc_cpu_ticks "$pid")"
  t0="$(date +%s.%N)"
  end=$((SECONDS + seconds))
  while [ "$SECONDS" -lt "$end" ] && kill -0 "$pid" 2>/dev/null; do
    rss="$(proc_status_kb "$pid" VmRSS)"
    [ "${rss:-0}" -gt "$max" ] && max="$rss"
    sleep 5
  done
  kill -0 "$pid" 2>/dev/null || { echo "gone" >"$file"; return; }
  # Where the time went: CPU seconds of each thread since the process began.
  for task in /proc/"$pid"/task/*; do
    printf '%s %s\n' "$(cat "$task/comm")" \
      "$(awk -v hz="$hz" '{ printf "%.2f", ($14 + $15) / hz }' "$task/stat")"
  done >"${file%.txt}-threads.txt"
  # Where the memory went: resident, proportional and anonymous kB of every mapping, summed by
  # file (the anonymous mappings as [heap], [stack] and [anon]).
  awk '/^[0-9a-f]+-[0-9a-f]+ / { name = (NF >= 6 ? $6 : "[anon]") }
       $1 == "Rss:" { rss[name] += $2 }
       $1 == "Pss:" { pss[name] += $2 }
       $1 == "Anonymous:" { anon[name] += $2 }
       END { for (n in rss) if (rss[n] > 0) printf "%6d %6d %6d %s\n", rss[n], pss[n], anon[n], n }' \
    "/proc/$pid/smaps" | sort -rn | { echo "   Rss    Pss   Anon (kB) mapping"; cat; } \
    >"${file%.txt}-maps.txt"
  local own
  own="$(awk '/^[0-9a-f]+-[0-9a-f]+ / { mine = (NF < 6 || $6 ~ /^\[(heap|stack|anon)/) }
              $1 == "Anonymous:" && mine { kb += $2 } END { print kb + 0 }' "/proc/$pid/smaps")"
  cpu1="$(proc_cpu_ticks "$pid")"
  t1="$(date +%s.%N)"
  awk -v c0="$cpu0" -v c1="$cpu1" -v t0="$t0" -v t1="$t1" -v hz="$hz" -v m="$max" \
    -v h="$(proc_status_kb "$pid" VmHWM)" \
    -v p="$(awk '$1 == "Pss:" { print $2 }' "/proc/$pid/smaps_rollup")" \
    -v a="$(awk '$1 == "Anonymous:" { print $2 }' "/proc/$pid/smaps_rollup")" -v o="$own" \
    'BEGIN { printf "%.3f %d %d %.0f %d %d %d\n", 100 * (c1 - c0) / hz / (t1 - t0), m, h, t1 - t0, p, a, o }' >"$file"
}
# collectd beside kalvixd, as the reference for a small poller: its modbus plugin reads the
# four process values of the JUMO controllers (the measured inputs PLS of JUMO 1, Q_SUSP,
# Q_VODA and P_GC of JUMO 2, floats as kalvixd reads them) once a second over Modbus RTU, and
# the csv plugin writes them. It gets a simulated plant of its own in DIR, since kalvixd holds
# its plant's JUMO line exclusively. Run in the foreground with a private configuration: no
# system service, nothing loaded beyond these three plugins, one read and one write thread.
# Sets COLLECTD_PID.
start_collectd() {
  local dir="$1"
  mkdir -p "$dir/csv"
  "$BIN/kalvix-plantsim" --link "$dir" >"$dir/plantsim.out" 2>&1 </dev/null &
  PIDS+=($!)
  for _ in $(seq 100); do [ -e "$dir/jumo" ] && break; sleep 0.1; done
  [ -e "$dir/jumo" ] || { echo "bench.sh: the simulated plant for collectd did not start" >&2; exit 1; }
  local data="" name slave base type
  while read -r name slave base type; do
    data+="  <Data \"$name\">
    RegisterBase $base
    RegisterType $type
    RegisterCmd ReadHolding
    Type gauge
    Instance \"$name\"
  </Data>
"
  done <<'SIGNALS'
PLS 1 53 FloatLE
Q_SUSP 2 53 Float
Q_VODA 2 71 Float
P_GC 2 73 Float
SIGNALS
  # FloatLE: JUMO 1 sends the low word first (InverseWords in db/default_plant.sql).
  cat >"$dir/collectd.conf" <<CONF
Hostname "kalvix-bench"
FQDNLookup false
BaseDir "$dir"
PIDFile "$dir/collectd.pid"
TypesDB "/usr/share/collectd/types.db"
Interval 1
ReadThreads 1
WriteThreads 1
LoadPlugin logfile
<Plugin logfile>
  LogLevel info
  File "$dir/collectd.log"
  Timestamp true
</Plugin>
LoadPlugin csv
<Plugin csv>
  DataDir "$dir/csv"
</Plugin>
LoadPlugin modbus
<Plugin modbus>
$data  <Host "jumo">
    Device "$dir/jumo"
    Baudrate 57600
    Interval 1
    <Slave 1>
      Instance "jumo1"
      Collect "PLS"
    </Slave>
    <Slave 2>
      Instance "jumo2"
      Collect "Q_SUSP"
      Collect "Q_VODA"
      Collect "P_GC"
    </Slave>
  </Host>
</Plugin>
CONF
  collectd -t -C "$dir/collectd.conf" || { echo "bench.sh: collectd refuses its configuration" >&2; exit 1; }
  collectd -f -C "$dir/collectd.conf" >"$dir/collectd.out" 2>&1 </dev/null &
  COLLECTD_PID=$!
  PIDS+=("$COLLECTD_PID")
}

# A CPU profile of a running service: perf samples every thread on the CPU clock for
# PROFILE_SECONDS; FILE gets the top symbols of the process, of each thread, and the
# system calls' call chains. Skipped, with a note, where perf cannot sample (no linux-perf,
# or a kernel that refuses it).
profile_kalvixd() {
  local pid="$1" file="$2" data="${2%.txt}.data"
  if ! perf record -q -e cpu-clock -F 1000 -g -p "$pid" -o "$data" -- sleep "$PROFILE_SECONDS" \
    >/dev/null 2>&1; then
    note "  profile: perf could not sample here"
    return
  fi
  {
    echo "# by thread"
    perf report -i "$data" --no-children --sort comm --stdio -g none 2>/dev/null | grep '%'
    echo "# by symbol, all threads"
    perf report -i "$data" --no-children --sort comm,dso,symbol --stdio -g none 2>/dev/null |
      grep '%' | head -30 | sed 's/ *- *- *$//'
    echo "# call chains of the top symbols"
    perf report -i "$data" --no-children --sort symbol --stdio -g caller,2,callee \
      --percent-limit 3 2>/dev/null | grep -v '^#' | grep -v '^$'
  } >"$file" || true  # a report with nothing in one part is no failure of the run
  note "  profile of the 90-signal service over ${PROFILE_SECONDS} s (perf, cpu-clock), top lines:"
  sed -n '/^# by symbol/,/^# call/p' "$file" | sed -n '2,13p' | sed 's/^/    /' |
    tee -a "$RESULTS/summary.txt"
}

# One row of the side-by-side table from a watch_footprint file.
footprint_row() {
  local name="$1" file="$2" cpu rss hwm secs pss anon own
  read -r cpu rss hwm secs pss anon own <"$file" || true
  printf '  %-22s %7s %%  %9s kB  %9s kB  %9s kB  %9s kB  %6s s\n' "$name" "${cpu:-?}" \
    "${rss:-?}" "${pss:-?}" "${anon:-?}" "${own:-?}" "${secs:-?}"
}

echo "== machine" | tee "$RESULTS/summary.txt"
note "  $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), nproc $(nproc)"
note "  $(uname -sr), $(mariadb --version | sed 's/,.*//')"
note "  load average at start: $(loadavg) (other builds share the machine)"
note "  commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown), build $BUILD (RelWithDebInfo)"

# ---- 3 and 2: footprint of the 90-signal service, with the device latency timed on it --------
if wants footprint || wants latency; then
  note
  note "== service with a 90-signal plant (kalvixd)"
  start_stack "$RUN/plant90" "$FOOTPRINT_MAIN"
  note "  signals: $(grow_plant_to_90 "$STACK_SOCKET")${FOOTPRINT_MAIN:+; [main] $FOOTPRINT_MAIN}"
  socket90="$STACK_SOCKET"
  "$RUN/bin/kalvixd-bench" --config "$RUN/plant90/kalvixsrv.ini" >"$RUN/plant90/kalvixd.out" 2>&1 &
  service_pid=$!
  PIDS+=("$service_pid")

  # The window program, beside it on a stack of its own, once it is a Qt program.
  window_pid=""
  if [ -x "$BIN/kalvixsrv" ] && [ "$(ldd "$BIN/kalvixsrv" | grep -c 'libQt6Widgets')" -gt 0 ]; then
    start_stack "$RUN/window"
    grow_plant_to_90 "$STACK_SOCKET" >/dev/null
    cp "$BIN/kalvixsrv" "$RUN/bin/kalvixsrv-bench"
    QT_QPA_PLATFORM=offscreen "$RUN/bin/kalvixsrv-bench" --config "$RUN/window/kalvixsrv.ini" \
      >"$RUN/window/kalvixsrv.out" 2>&1 &
    window_pid=$!
    PIDS+=("$window_pid")
  fi

  watchers=()
  collectd_pid=""
  pid27=""
  pid_runs=""
  if wants footprint; then
    # Beside it, watched in the same window: the default 27-signal plant, and the 90-signal
    # plant with the V120 reading runs of operands ([main] V120ReadRuns=1). Each is a copy of
    # its own name, as one name runs once.
    start_stack "$RUN/plant27"
    cp "$BIN/kalvixd" "$RUN/bin/kalvixd-b27"
    "$RUN/bin/kalvixd-b27" --config "$RUN/plant27/kalvixsrv.ini" >"$RUN/plant27/kalvixd.out" 2>&1 &
    pid27=$!
    PIDS+=("$pid27")
    start_stack "$RUN/plant90runs" "V120ReadRuns=1"
    grow_plant_to_90 "$STACK_SOCKET" >/dev/null
    cp "$BIN/kalvixd" "$RUN/bin/kalvixd-b90r"
    "$RUN/bin/kalvixd-b90r" --config "$RUN/plant90runs/kalvixsrv.ini" \
      >"$RUN/plant90runs/kalvixd.out" 2>&1 &
    pid_runs=$!
    PIDS+=("$pid_runs")
    start_collectd "$RUN/collectd"
    collectd_pid="$COLLECTD_PID"
    note "  load average: $(loadavg); watching ${FOOTPRINT_SECONDS} s after a ${FOOTPRINT_WARMUP} s warm-up"
    watch_footprint "$service_pid" "$RESULTS/footprint-kalvixd.txt" &
    watchers+=($!)
    watch_footprint "$pid27" "$RESULTS/footprint-kalvixd27.txt" &
    watchers+=($!)
    watch_footprint "$pid_runs" "$RESULTS/footprint-kalvixd-runs.txt" &
    watchers+=($!)
    if [ -n "$window_pid" ]; then
      watch_footprint "$window_pid" "$RESULTS/footprint-kalvixsrv.txt" &
      watchers+=($!)
    fi
    # Within the service's window, so both see the same machine.
    collectd_seconds=$((COLLECTD_SECONDS < FOOTPRINT_SECONDS ? COLLECTD_SECONDS : FOOTPRINT_SECONDS))
    watch_footprint "$collectd_pid" "$RESULTS/footprint-collectd.txt" "$collectd_seconds" &
    watchers+=($!)
  fi
  if wants latency; then
    sleep "$FOOTPRINT_WARMUP"
    "$BIN/bench_device_latency" --socket "$socket90" --fifo "$RUN/plant90/plant.ctl" \
      --changes "$CHANGES" --samples "$RESULTS/latency-samples.txt" \
      >"$RESULTS/latency.txt" 2>&1 || true
    cat "$RESULTS/latency.txt" | sed 's/^/  /'
    note "  latency device -> last_state (UR_SUSP, JUMO 1): $(grep latency_ms "$RESULTS/latency.txt" || echo failed)"
    note "    target p99 <= 980 (poll pass) + 980 (cycle) + 150 = 2110 ms"
  fi
  for w in "${watchers[@]}"; do wait "$w" || true; done
  cycles_90="$(sql_at "$socket90" "select count(*) from pu_data")"
  note "  load average at the end: $(loadavg); minute rows written: $cycles_90"
  if wants footprint; then
    read -r cpu rss hwm secs pss anon own <"$RESULTS/footprint-kalvixd.txt" || true
    note "  footprint kalvixd: cpu ${cpu:-?} % of one core over ${secs:-?} s, rss max ${rss:-?} kB, peak (VmHWM) ${hwm:-?} kB, pss ${pss:-?} kB"
    note "    anonymous ${anon:-?} kB: own (heap, arenas, stacks) ${own:-?} kB, libraries' data $(( ${anon:-0} - ${own:-0} )) kB"
    note "    target <= 0.4 % of a core, <= 8192 kB resident, own anonymous <= 1024 kB"
    note "    CPU seconds by thread: $(tr '\n' ' ' <"$RESULTS/footprint-kalvixd-threads.txt" 2>/dev/null)"
    read -r cpu rss hwm secs pss anon own <"$RESULTS/footprint-kalvixd-runs.txt" || true
    note "  footprint kalvixd, the same plant with V120ReadRuns=1: cpu ${cpu:-?} % over ${secs:-?} s, rss max ${rss:-?} kB, pss ${pss:-?} kB, anonymous ${anon:-?} kB, own ${own:-?} kB"
    note "    CPU seconds by thread: $(tr '\n' ' ' <"$RESULTS/footprint-kalvixd-runs-threads.txt" 2>/dev/null)"
    read -r cpu rss hwm secs pss anon own <"$RESULTS/footprint-kalvixd27.txt" || true
    note "  footprint kalvixd, the default 27-signal plant: cpu ${cpu:-?} % over ${secs:-?} s, rss max ${rss:-?} kB, pss ${pss:-?} kB, anonymous ${anon:-?} kB, own ${own:-?} kB"
    note "    target <= 0.25 % of a core"
    note "    CPU seconds by thread: $(tr '\n' ' ' <"$RESULTS/footprint-kalvixd27-threads.txt" 2>/dev/null)"
    note "    largest resident mappings (kB: Rss Pss Anonymous):"
    head -13 "$RESULTS/footprint-kalvixd-maps.txt" | tail -n +2 | sed 's/^/      /' |
      tee -a "$RESULTS/summary.txt"
    if [ -n "$window_pid" ]; then
      read -r cpu rss hwm secs pss anon own <"$RESULTS/footprint-kalvixsrv.txt" || true
      note "  footprint kalvixsrv (offscreen): cpu ${cpu:-?} % over ${secs:-?} s, rss max ${rss:-?} kB, peak ${hwm:-?} kB, pss ${pss:-?} kB, anonymous ${anon:-?} kB"
    else
      note "  footprint kalvixsrv: not measured, build/bin/kalvixsrv is not a window program yet"
    fi
    # What collectd read: one line per value in its csv files, failed reads in its log.
    collectd_values="$(cat "$RUN"/collectd/csv/*/modbus-*/gauge-* 2>/dev/null | grep -c '^[0-9]' || true)"
    collectd_failed="$(grep -c 'read function .* failed' "$RUN/collectd/collectd.log" 2>/dev/null || true)"
    note "  collectd $(dpkg-query -W -f='${Version}' collectd-core 2>/dev/null): modbus plugin, Modbus RTU at 57600 bit/s, 4 registers of 2 JUMO slaves every 1 s: ${collectd_values:-0} values written, ${collectd_failed:-0} reads failed"
    note "  side by side (collectd watched within the service's window):"
    note "  $(printf '%-22s %9s  %12s  %12s  %12s  %12s  %8s' '' 'CPU' 'VmRSS' 'Pss' 'anonymous' 'own anon.' 'window')"
    footprint_row "kalvixd (90 signals)" "$RESULTS/footprint-kalvixd.txt" | tee -a "$RESULTS/summary.txt"
    footprint_row "kalvixd (90, runs)" "$RESULTS/footprint-kalvixd-runs.txt" | tee -a "$RESULTS/summary.txt"
    footprint_row "kalvixd (27 signals)" "$RESULTS/footprint-kalvixd27.txt" | tee -a "$RESULTS/summary.txt"
    footprint_row "collectd (4 registers)" "$RESULTS/footprint-collectd.txt" | tee -a "$RESULTS/summary.txt"
    [ -n "$collectd_pid" ] && stop_pid "$collectd_pid"
    stop_pid "$pid27"
    stop_pid "$pid_runs"
    # Where the 90-signal service's time goes, sampled after the window so that the
    # sampling's own cost is not in the figures above.
    profile_kalvixd "$service_pid" "$RESULTS/perf-kalvixd.txt"
  fi
  stop_pid "$service_pid"
  [ -n "$window_pid" ] && stop_pid "$window_pid"
fi

# ---- 1 and 6: cycle timing (idle, then with the other core loaded) and start-up --------------
if wants cycles || wants startup || wants stop; then
  start_stack "$RUN/plant"
  socket27="$STACK_SOCKET"
fi
if wants cycles; then
  for mode in idle loaded; do
    # Loaded: the bench's own busy loop, pinned to the last core, keeps that core fully busy.
    busy=()
    [ "$mode" = loaded ] && busy=(--busy)
    note
    note "== cycle timing, $mode: $CYCLES periods (load average $(loadavg))"
    "$BIN/bench_cycle_timing" --config "$RUN/plant/kalvixsrv.ini" --cycles "$CYCLES" "${busy[@]}" \
      --periods "$RESULTS/cycles-$mode-periods.txt" >"$RESULTS/cycles-$mode.txt" 2>&1 || true
    sed 's/^/  /' "$RESULTS/cycles-$mode.txt" | tee -a "$RESULTS/summary.txt"
    note "  load average at the end: $(loadavg)"
  done
  note "  target: start lateness against the aimed point p99 <= 0.3 ms idle, <= 1 ms loaded"
fi
if wants startup; then
  note
  note "== start-up, StartTime 0: $STARTUP_RUNS starts of kalvixd"
  "$BIN/bench_startup" --socket "$socket27" --runs "$STARTUP_RUNS" -- \
    "$RUN/bin/kalvixd-bench" --config "$RUN/plant/kalvixsrv.ini" \
    >"$RESULTS/startup.txt" 2>&1 || true
  sed 's/^/  /' "$RESULTS/startup.txt" | tee -a "$RESULTS/summary.txt"
  # The same without the designed second between the connection and the signal set.
  note "== start-up, StartTime 0 and [MySQL] SettleMs=0: $STARTUP_RUNS starts of kalvixd"
  sed 's/^\[MySQL\]$/[MySQL]\nSettleMs=0/' "$RUN/plant/kalvixsrv.ini" >"$RUN/plant/kalvixsrv-settle0.ini"
  "$BIN/bench_startup" --socket "$socket27" --runs "$STARTUP_RUNS" -- \
    "$RUN/bin/kalvixd-bench" --config "$RUN/plant/kalvixsrv-settle0.ini" \
    >"$RESULTS/startup-settle0.txt" 2>&1 || true
  sed 's/^/  /' "$RESULTS/startup-settle0.txt" | tee -a "$RESULTS/summary.txt"
  note "  target: first state row <= 3500 ms"
fi
if wants stop; then
  note
  note "== stop (SIGTERM) to the process's end: $STOP_RUNS runs each, server healthy, silent, frozen"
  "$BIN/bench_stop" --ini "$RUN/plant/kalvixsrv.ini" --socket "$socket27" \
    --server-pid "$(cat "$RUN/plant/db/mysqld.pid")" --runs "$STOP_RUNS" -- \
    "$RUN/bin/kalvixd-bench" >"$RESULTS/stop.txt" 2>&1 || true
  sed 's/^/  /' "$RESULTS/stop.txt" | tee -a "$RESULTS/summary.txt"
  note "  target: <= 2000 ms in each situation"
fi

# ---- the Vision link: one exchange's cost to the poller's thread ------------------------------
if wants vision; then
  note
  note "== Vision link against the simulated V120: $VISION_EXCHANGES exchanges per row (load average $(loadavg))"
  for count in 1 63; do
    "$BIN/bench_vision_link" --exchanges "$VISION_EXCHANGES" --count "$count" \
      >"$RESULTS/vision-$count.txt" 2>&1 || true
    sed 's/^/  /' "$RESULTS/vision-$count.txt" | tee -a "$RESULTS/summary.txt"
  done
fi

# ---- 4 and 5: the Modbus master and the statement server beside their references ------------
if wants modbus; then
  note
  note "== Modbus master against libmodbus's (min time ${MODBUS_MIN_TIME} s each)"
  "$BIN/bench_modbus_master" --benchmark_min_time="$MODBUS_MIN_TIME" \
    --benchmark_counters_tabular=true >"$RESULTS/modbus.txt" 2>&1 || true
  grep -E '^(Benchmark|BM_)' "$RESULTS/modbus.txt" | sed 's/^/  /' | tee -a "$RESULTS/summary.txt"
fi
if wants sql; then
  note
  note "== statement server against the mariadb client ($SQL_STATEMENTS statements per kind)"
  bash bench/sql_throughput.sh "$BUILD" "$SQL_STATEMENTS" >"$RESULTS/sql.txt" 2>&1 || true
  grep -E '^(####|==|  *(journal|state) |BM_)' "$RESULTS/sql.txt" | sed 's/^/  /' |
    tee -a "$RESULTS/summary.txt"
fi

if wants spool; then
  note
  note "== spool: write-back of $SPOOL_MINUTES minute rows of a 90-signal plant, cost in the cycle"
  bash scripts/mariadb.sh start "$RUN/spool/db" >/dev/null
  DBS+=("$RUN/spool/db")
  # shellcheck disable=SC1091
  spool_socket="$(. "$RUN/spool/db/env" && echo "$KALVIX_DB_SOCKET")"
  "$BIN/bench_spool_replay" --socket "$spool_socket" --folder "$RUN/spool/files" \
    --minutes "$SPOOL_MINUTES" >"$RESULTS/spool.txt" 2>&1 || true
  sed 's/^/  /' "$RESULTS/spool.txt" | tee -a "$RESULTS/summary.txt"
fi

# ---- the metrics endpoint: the service with it, scraped every 5 s, beside one without ----------
if wants metrics; then
  note
  note "== metrics endpoint: kalvixd with it (scraped every 5 s) and without, side by side"
  metrics_port="$("$BIN/bench_metrics_scrape" --free-port)"
  start_stack "$RUN/metrics-on" "MetricsListen=127.0.0.1:$metrics_port"
  start_stack "$RUN/metrics-off" "MetricsListen="
  # Two names: the single-copy check would let only one of them run.
  cp "$BIN/kalvixd" "$RUN/bin/kalvixd-bench-on"
  cp "$BIN/kalvixd" "$RUN/bin/kalvixd-bench-off"
  "$RUN/bin/kalvixd-bench-on" --config "$RUN/metrics-on/kalvixsrv.ini" \
    >"$RUN/metrics-on/kalvixd.out" 2>&1 &
  on_pid=$!
  PIDS+=("$on_pid")
  "$RUN/bin/kalvixd-bench-off" --config "$RUN/metrics-off/kalvixsrv.ini" \
    >"$RUN/metrics-off/kalvixd.out" 2>&1 &
  off_pid=$!
  PIDS+=("$off_pid")
  sleep "$FOOTPRINT_WARMUP"
  hz="$(getconf CLK_TCK)"
  on_cpu0="$(proc_cpu_ticks "$on_pid")"
  off_cpu0="$(proc_cpu_ticks "$off_pid")"
  "$BIN/bench_metrics_scrape" --port "$metrics_port" --interval-ms 5000 \
    --count "$((METRICS_SECONDS / 5))" --samples "$RESULTS/metrics-scrape-5s-samples.txt" \
    >"$RESULTS/metrics-scrape-5s.txt" 2>&1 || true
  on_cpu1="$(proc_cpu_ticks "$on_pid")"
  off_cpu1="$(proc_cpu_ticks "$off_pid")"
  for which in on off; do
    pid_var="${which}_pid"
    pid="${!pid_var}"
    note "  kalvixd $which: VmRSS $(proc_status_kb "$pid" VmRSS) kB, RssAnon $(proc_status_kb "$pid" RssAnon) kB, VmHWM $(proc_status_kb "$pid" VmHWM) kB, threads $(proc_status_kb "$pid" Threads)"
  done
  note "  CPU over ${METRICS_SECONDS} s: on $(awk -v a="$on_cpu0" -v b="$on_cpu1" -v hz="$hz" 'BEGIN { printf "%.2f", (b - a) / hz }') s, off $(awk -v a="$off_cpu0" -v b="$off_cpu1" -v hz="$hz" 'BEGIN { printf "%.2f", (b - a) / hz }') s"
  note "  scrapes every 5 s: $(tr '\n' ' ' <"$RESULTS/metrics-scrape-5s.txt")"
  "$BIN/bench_metrics_scrape" --port "$metrics_port" --interval-ms 0 --count 1000 \
    --samples "$RESULTS/metrics-scrape-burst-samples.txt" >"$RESULTS/metrics-scrape-burst.txt" 2>&1 || true
  note "  1000 scrapes back to back: $(tr '\n' ' ' <"$RESULTS/metrics-scrape-burst.txt")"
  note "  kalvixd on after the burst: VmRSS $(proc_status_kb "$on_pid" VmRSS) kB, RssAnon $(proc_status_kb "$on_pid" RssAnon) kB"
  stop_pid "$on_pid"
  stop_pid "$off_pid"
fi

note
note "load average at the end: $(loadavg)"
echo "Figures: $RESULTS/summary.txt (raw output beside it)"
