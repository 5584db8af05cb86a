#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the demo need.
# Idempotent and non-interactive: when everything is present it changes nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  ccache                               # rebuilds of unchanged sources (three build folders)
  libmariadb-dev                       # Connector/C, both database connections
  libsqlite3-dev                       # the spool of rows that wait for the server
  libmicrohttpd-dev                    # the metrics endpoint's HTTP server
  prometheus                           # promtool and a real server scraping the endpoint
  mariadb-server mariadb-client        # the private server of the tests and the demo
  galera-4 mariadb-backup              # the three-node test cluster and its state transfer
  qt6-base-dev                         # the window program (Qt 6 Widgets, Qt Test)
  googletest libgtest-dev libgmock-dev # test suites
  libbenchmark-dev                     # micro-benchmarks
  libmodbus-dev                        # an independent Modbus slave for the tests
  collectd-core                        # the footprint benchmark's reference poller
  linux-perf                           # the footprint benchmark's CPU profile
  fonts-liberation2                    # the window's monospace face
  procps                               # pgrep/ps for the scripts
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# The packaged database service is not used (the scripts run a private server); its
# start-up at install time may fail where no init system runs, which is harmless.
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
