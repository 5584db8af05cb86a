#!/usr/bin/env bash
# The Debian package from end to end on this machine: builds it in a build folder of its own,
# checks its contents and lintian, installs it with apt, checks the account, the settings
# file, the unit and a short run of the service as its account, then removes and purges it
# and checks that nothing of it is left. Run as root on a machine without kalvix installed;
# it leaves the machine as it found it (packages that apt pulled in are purged again).
# Not run by scripts/test.sh, because it installs to the machine.
#
#   scripts/package-check.sh
#   KALVIX_PACKAGE_BUILD=DIR      build folder (default build-package)
#   KALVIX_PACKAGE_KEEP=1         leave the package installed after a failure, to look at it
#
# systemd does not run in every build machine or container, so the service is started here
# the way its unit says (command line and user), not through systemctl.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="$(realpath -m "${KALVIX_PACKAGE_BUILD:-build-package}")"
PACKAGE=kalvix
SERVICE_USER=kalvix
UNIT_FILE=/lib/systemd/system/kalvixd.service
CONF_FILE=/etc/kalvix/kalvixsrv.ini
STATE_DIR=/var/lib/kalvix
LOG_DIR=/var/log/kalvix
export DEBIAN_FRONTEND=noninteractive

failures=0
step() { echo "== $*"; }
fail() {
  echo "package-check: FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "package-check: FAIL: $*" >&2
  exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
wait_until() {
  local limit=$1 start=$SECONDS
  shift
  until "$@"; do
    if ((SECONDS - start >= limit)); then return 1; fi
    sleep 0.2
  done
}

installed() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | grep -q '^ii'; }
known() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | grep -q '^.[^n]'; }
owner_and_mode() { stat -c '%U:%G %a' "$1" 2>/dev/null || echo missing; }

[ "$(id -u)" -eq 0 ] || die "run as root: the check installs and purges the package"
if known "$PACKAGE"; then
  die "the package $PACKAGE is already on this machine; purge it first (apt-get purge $PACKAGE)"
fi
if getent passwd "$SERVICE_USER" >/dev/null || getent group "$SERVICE_USER" >/dev/null; then
  die "an account or group $SERVICE_USER exists already; the check would not know what is its own"
fi
for path in "$STATE_DIR" "$LOG_DIR" /etc/kalvix; do
  [ ! -e "$path" ] || die "$path exists already; the check would not know what is its own"
done

step "tools"
bash scripts/install-deps.sh
tools=()
for tool in lintian dpkg-dev systemd; do installed "$tool" || tools+=("$tool"); done
if [ ${#tools[@]} -gt 0 ]; then apt-get install -y -q --no-install-recommends "${tools[@]}"; fi

step "build in $BUILD"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$BUILD" -G Ninja -DKALVIX_PACKAGE=ON "${launcher[@]}" >/dev/null
cmake --build "$BUILD"
rm -f "$BUILD"/kalvix_*.deb
(cd "$BUILD" && cpack -G DEB)
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")"
DEB_NAME="kalvix_${version}_$(dpkg --print-architecture).deb"
DEB="$BUILD/$DEB_NAME"
[ -f "$DEB" ] || die "cpack made no $DEB_NAME in $BUILD"

step "contents of $DEB_NAME"
dpkg-deb -c "$DEB"
contents="$(dpkg-deb -c "$DEB")"
# path and mode of every file the package must hold
while read -r mode path; do
  line="$(grep -E " \\.$path\$" <<<"$contents" || true)"
  if [ -z "$line" ]; then
    fail "the package lacks $path"
  elif [ "${line%% *}" != "$mode" ]; then
    fail "$path has mode ${line%% *}, not $mode"
  fi
done <<'EOF'
-rwxr-xr-x /usr/bin/kalvixd
-rwxr-xr-x /usr/bin/kalvixsrv
-rwxr-xr-x /usr/bin/kalvix-plantsim
-rw-r--r-- /usr/share/kalvix/db/schema.sql
-rw-r--r-- /usr/share/kalvix/db/default_plant.sql
-rw-r--r-- /lib/systemd/system/kalvixd.service
-rw-r--r-- /etc/kalvix/kalvixsrv.ini
-rw-r--r-- /usr/share/doc/kalvix/copyright
-rw-r--r-- /usr/share/doc/kalvix/changelog.gz
-rw-r--r-- /usr/share/man/man8/kalvixd.8.gz
-rw-r--r-- /usr/share/man/man1/kalvixsrv.1.gz
-rw-r--r-- /usr/share/man/man1/kalvix-plantsim.1.gz
EOF
if grep -vE ' \./(etc/kalvix|lib/systemd/system|usr/(bin|share/(kalvix|doc/kalvix|man)))(/|$)| \./$| \./(etc|lib|lib/systemd|usr|usr/share|usr/share/doc)/$' <<<"$contents"; then
  fail "the package holds the files above outside its folders"
fi
conffiles="$(dpkg-deb --ctrl-tarfile "$DEB" | tar -xO ./conffiles 2>/dev/null || true)"
[ "$conffiles" = "$CONF_FILE" ] || fail "conffiles lists '$conffiles', not $CONF_FILE alone"
depends="$(dpkg-deb -f "$DEB" Depends)"
echo "Depends: $depends"
# dpkg-shlibdeps computed the libraries: the database client and the C++ library among them.
for dependency in adduser libmariadb3 libstdc++6 libqt6widgets6; do
  sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends" | grep -qxF "$dependency" ||
    fail "Depends lacks $dependency"
done
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$DEB" "$unpacked"
for program in kalvixd kalvixsrv kalvix-plantsim; do
  if readelf -S "$unpacked/usr/bin/$program" | grep -qE '\.symtab|\.debug_'; then
    fail "/usr/bin/$program is not stripped"
  fi
done

step "lintian"
# No errors; warnings and notes are shown. An override, if ever needed, goes into the
# package with the reason beside it.
lintian_status=0
lintian_out="$(lintian --fail-on error --display-info --pedantic "$DEB" 2>&1)" || lintian_status=$?
grep -v '^running with root privileges' <<<"$lintian_out" || echo "(no tags)"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors (status $lintian_status, see above)"

# From here on the machine changes: whatever happens, purge what was installed.
packages_before="$(dpkg-query -W -f='${Package}\n' | sort)"
service_pid=""
cleanup() {
  local rc=$?
  rm -rf "$unpacked"
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -KILL "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if known "$PACKAGE" && [ "${KALVIX_PACKAGE_KEEP:-0}" != 1 ]; then
    echo "package-check: purging $PACKAGE after the failure" >&2
    apt-get purge -y -q "$PACKAGE" >/dev/null 2>&1 || dpkg --purge "$PACKAGE" || true
  fi
  exit "$rc"
}
trap cleanup EXIT

step "apt-get install ./$DEB_NAME"
(cd "$BUILD" && apt-get install -y -q "./$DEB_NAME")
installed "$PACKAGE" || die "apt-get did not install $PACKAGE"
mapfile -t package_paths < <(dpkg -L "$PACKAGE")

step "the account, the settings file and the folders"
if entry="$(getent passwd "$SERVICE_USER")"; then
  IFS=: read -r _ _ uid _ _ home shell <<<"$entry"
  [ "$uid" -lt 1000 ] || fail "$SERVICE_USER has uid $uid, not a system account's"
  [ "$home" = "$STATE_DIR" ] || fail "$SERVICE_USER has the home $home, not $STATE_DIR"
  [ "$shell" = /usr/sbin/nologin ] || fail "$SERVICE_USER has the shell $shell"
  id -nG "$SERVICE_USER" | tr ' ' '\n' | grep -qx dialout || fail "$SERVICE_USER is not in dialout"
else
  fail "no account $SERVICE_USER"
fi
dpkg-query -W -f='${Conffiles}\n' "$PACKAGE" | grep -q "^ $CONF_FILE " ||
  fail "dpkg does not hold $CONF_FILE as a conffile"
# expected owner and mode of each path the maintainer scripts set up
while read -r path expected; do
  actual="$(owner_and_mode "$path")"
  [ "$actual" = "$expected" ] || fail "$path is $actual, not $expected"
done <<EOF
$CONF_FILE kalvix:kalvix 600
/etc/kalvix kalvix:kalvix 750
$STATE_DIR kalvix:kalvix 750
$LOG_DIR kalvix:adm 2750
EOF
[ "$(readlink "$STATE_DIR/kalvixsrv.ini")" = "$CONF_FILE" ] ||
  fail "$STATE_DIR/kalvixsrv.ini is no link to $CONF_FILE"
[ "$(readlink "$STATE_DIR/LOG")" = "$LOG_DIR" ] || fail "$STATE_DIR/LOG is no link to $LOG_DIR"

step "systemd-analyze verify $UNIT_FILE"
if ! verify="$(systemd-analyze verify "$UNIT_FILE" 2>&1)" || [ -n "$verify" ]; then
  echo "$verify"
  fail "systemd-analyze verify finds fault with the unit"
fi
unit_user="$(sed -n 's/^User=//p' "$UNIT_FILE")"
[ "$unit_user" = "$SERVICE_USER" ] || fail "the unit runs as '$unit_user', not $SERVICE_USER"

step "the unit's command as $SERVICE_USER"
exec_start="$(sed -n 's/^ExecStart=//p' "$UNIT_FILE")"
read -r -a command <<<"$exec_start"
echo "${command[*]}"
# The account's own identity and groups, as systemd gives them with User=, and the packaged
# settings: no database server answers on their address here, so the service keeps trying
# it while it runs. Its log shows the settings were read before it is stopped; stopping it
# earlier would save the defaults over them.
setpriv --reuid="$SERVICE_USER" --regid="$SERVICE_USER" --init-groups -- "${command[@]}" \
  </dev/null >"$unpacked/service.out" 2>&1 &
service_pid=$!
sleep 1
run_user="$(ps -o user= -p "$service_pid" || true)"
[ "$run_user" = "$SERVICE_USER" ] || fail "the service runs as '$run_user', not $SERVICE_USER"
log_has() { cat "$LOG_DIR"/*.log 2>/dev/null | grep -q "$1"; }
# [MySQL] StartTime seconds pass before the service writes its first line.
if ! wait_until 60 log_has 'MySQL'; then
  fail "no database attempt in $LOG_DIR after 60 s"
fi
kill -TERM "$service_pid" 2>/dev/null || true
(sleep 60 && kill -KILL "$service_pid" 2>/dev/null) &
watchdog=$!
status=0
wait "$service_pid" || status=$?
service_pid=""
if kill "$watchdog" 2>/dev/null; then
  [ "$status" -eq 0 ] || fail "the service ended with status $status after SIGTERM"
else
  fail "the service did not end within 60 s of SIGTERM"
fi
cat "$unpacked/service.out"
cat "$LOG_DIR"/*.log | tr -d '\r'
log_has 'Завершение работы' || fail "the log lacks the line of the service's end"
for file in "$LOG_DIR"/*.log "$STATE_DIR/kalvix-spool.sqlite3"; do
  [ "$(stat -c %U "$file" 2>/dev/null)" = "$SERVICE_USER" ] || fail "$file was not written by $SERVICE_USER"
done
# The service saved its settings at the end: through the link, into the conffile.
[ -L "$STATE_DIR/kalvixsrv.ini" ] || fail "saving the settings replaced the link $STATE_DIR/kalvixsrv.ini"
actual="$(owner_and_mode "$CONF_FILE")"
[ "$actual" = "kalvix:kalvix 600" ] || fail "after the run $CONF_FILE is $actual"
# The packaged file has no password; the saved one holds the empty password enciphered, and
# the comments and the lines are kept.
grep -qE '^Password=.+' "$CONF_FILE" || fail "the service did not save its settings into $CONF_FILE"
grep -qx 'ModBUS_PortName=COM5' "$CONF_FILE" || fail "after the run $CONF_FILE lost ModBUS_PortName"
grep -q '^; Settings of the KALVIX reception service' "$CONF_FILE" ||
  fail "after the run $CONF_FILE lost its comments"

step "apt-get remove $PACKAGE"
apt-get remove -y -q "$PACKAGE"
dpkg-query -W -f='${db:Status-Abbrev}' "$PACKAGE" | grep -q '^rc' ||
  fail "after remove $PACKAGE is not in the state config-files"
actual="$(owner_and_mode "$CONF_FILE")"
[ "$actual" = "kalvix:kalvix 600" ] || fail "after remove $CONF_FILE is $actual, not kept as it was"
[ ! -e /usr/bin/kalvixd ] || fail "after remove /usr/bin/kalvixd is still there"
getent passwd "$SERVICE_USER" >/dev/null || fail "remove took the account $SERVICE_USER (purge should)"

step "apt-get purge $PACKAGE"
apt-get purge -y -q "$PACKAGE"
! known "$PACKAGE" || fail "after purge dpkg still knows $PACKAGE"
for path in "${package_paths[@]}" "$STATE_DIR" "$LOG_DIR"; do
  [ "$path" = /. ] && continue
  if [ -e "$path" ] || [ -L "$path" ]; then
    # Folders such as /usr/bin belong to other packages as well.
    dpkg -S "$path" >/dev/null 2>&1 || fail "after purge $path is still there"
  fi
done
getent passwd "$SERVICE_USER" >/dev/null && fail "after purge the account $SERVICE_USER is still there"
getent group "$SERVICE_USER" >/dev/null && fail "after purge the group $SERVICE_USER is still there"
for path in /etc/systemd/system/kalvixd.service /etc/systemd/system/multi-user.target.wants/kalvixd.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "after purge $path is still there"; fi
done
if find /var/lib/systemd/deb-systemd-helper-* -name '*kalvixd*' 2>/dev/null | grep -q .; then
  fail "after purge deb-systemd-helper still keeps state of kalvixd.service"
fi

# Packages that apt pulled in for this one go again.
pulled="$(comm -13 <(echo "$packages_before") <(dpkg-query -W -f='${Package}\n' | sort))"
if [ -n "$pulled" ]; then
  step "purging what apt pulled in: $(tr '\n' ' ' <<<"$pulled")"
  # shellcheck disable=SC2086
  apt-get purge -y -q $pulled
fi

if [ "$failures" -gt 0 ]; then
  echo "package-check: $failures check(s) failed" >&2
  exit 1
fi
echo "package-check: $DEB_NAME built, lintian without errors, installed, checked, removed and purged"
