#!/usr/bin/env bash
# The Debian package installed, used, upgraded, removed and purged with apt,
# as on a technician's machine:
#   - apt-get install ./ktr6_*.deb makes /etc/ktr6/KTR.INI (root:dialout,
#     0664) behind the link /usr/lib/ktr6/KTR.INI and puts the programs on
#     the PATH;
#   - an unprivileged account in dialout reads the simulated relay with
#     ktr6ctl (root links the relay's pty as com1 beside the programs and
#     gives the pty a serial device's owner and mode, root:dialout 0660), and
#     may change the settings file through the link; the same account
#     without dialout may do neither;
#   - ktr6d, run as its unit runs it (as the system user ktr6 the install
#     made; systemd is not there to), counts a simulated relay into
#     /var/lib/ktr6, which the account in dialout reads while it runs and
#     after it stopped, and the account outside dialout cannot;
#   - an upgrade keeps the settings file as the account left it;
#   - remove keeps it, the port links, ktr6d.conf and the counts; purge
#     deletes them, /etc/ktr6, /var/lib/ktr6 and every path the package had
#     (the system user stays, as Debian keeps them; the test deletes it).
# It changes the system, so it needs root, runs one at a time on a machine,
# leaves an existing installation of ktr6 alone, and puts the machine back as
# it found it, also when it fails half way.
#
# Usage: test_package_install.sh REPO_DIR BUILD_DIR CPACK_COMMAND VERSION
set -uo pipefail
repo=$1
build=$2
cpack=$3
version=$4
account=nobody
account_group=nogroup
program_dir=/usr/lib/ktr6
settings_dir=/etc/ktr6
settings=$settings_dir/KTR.INI
service_user=ktr6
state_dir=/var/lib/ktr6
runtime_dir=/run/ktr6

# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"
skip() {
  echo "test_package_install: SKIPPED: $*"
  exit 0
}

[ "$(id -u)" = 0 ] || skip "installing a package needs root"
for tool in apt-get dpkg-deb setpriv flock sqlite3; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
getent passwd "$account" >/dev/null || skip "there is no account $account"
getent group dialout >/dev/null || skip "there is no group dialout"

# One run at a time on this machine: another checkout's run would install
# over this one's.
exec 9>/run/lock/ktr6-package-install-test.lock || die "cannot open the lock file"
flock -w 900 9 || die "another install test has held the lock for 15 minutes"

# A machine that has ktr6 (or what looks like its files) keeps it untouched.
status=$(dpkg-query -W -f '${Status}' ktr6 2>/dev/null)
if [ -n "$status" ] && [ "$status" != "unknown ok not-installed" ]; then
  skip "the package ktr6 is on this machine ($status); the test leaves it alone"
fi
for path in "$settings_dir" "$program_dir" /usr/bin/ktr6 /usr/bin/ktr6ctl /usr/bin/ktr6-sim /usr/sbin/ktr6d \
  "$state_dir" "$runtime_dir" /lib/systemd/system/ktr6d.service /etc/systemd/system/ktr6d.service \
  /etc/systemd/system/multi-user.target.wants/ktr6d.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    skip "$path exists without the package; the test leaves it alone"
  fi
done

# An account ktr6 that is there already is the package's from an earlier
# install (postinst leaves it alone); one the test made goes at the end.
had_user=0
getent passwd "$service_user" >/dev/null && had_user=1

work=$(mktemp -d "${TMPDIR:-/tmp}/ktr6-install-test.XXXXXX")
work=$(cd "$work" && pwd -P)
# apt reads the package as its own unprivileged account.
chmod 755 "$work"
mkdir -m 755 "$work/out"
mkdir -m 1777 "$work/home"
mkdir "$work/sim"

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"
}
sim_pid=""
service_pid=""
installed=0 # set once apt may have touched the machine; the cleanup then puts it back
pulled=""
cleanup() {
  if [ -n "$service_pid" ]; then
    kill -KILL "$service_pid" 2>/dev/null
    wait "$service_pid" 2>/dev/null
  fi
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null
    wait_until 5 bash -c "! kill -0 $sim_pid 2>/dev/null"
    kill -KILL "$sim_pid" 2>/dev/null
  fi
  if [ "$installed" = 1 ]; then
    # The port links this test made, before the package goes.
    rm -f "$program_dir/com1" "$program_dir/com2" "$program_dir/com3" "$program_dir/COM7"
    rm -rf "$runtime_dir"
    rm -f /etc/systemd/system/ktr6d.service /etc/systemd/system/multi-user.target.wants/ktr6d.service \
      /var/lib/systemd/deb-systemd-helper-enabled/ktr6d.service.dsh-also # what a broken purge left
    if dpkg-query -W -f '${Status}' ktr6 2>/dev/null | grep -qv 'not-installed'; then
      echo "test_package_install: purging ktr6 after a failure"
      apt_get purge ktr6 >"$work/cleanup.log" 2>&1 || dpkg --purge ktr6 >>"$work/cleanup.log" 2>&1 ||
        echo "test_package_install: could not purge ktr6: $(tail -n 5 "$work/cleanup.log")"
    fi
    # Neither was there when the test began: whatever a broken purge left
    # goes too (the test has failed on it already).
    for path in "$settings_dir" "$program_dir" "$state_dir"; do
      if [ -e "$path" ] || [ -L "$path" ]; then
        echo "test_package_install: removing $path, which the purge left"
        rm -rf "$path"
      fi
    done
    if [ -n "$pulled" ]; then
      echo "test_package_install: purging what the package pulled in: $pulled"
      # shellcheck disable=SC2086
      apt_get purge $pulled >>"$work/cleanup.log" 2>&1 ||
        echo "test_package_install: could not purge $pulled: $(tail -n 5 "$work/cleanup.log")"
    fi
    if [ "$had_user" = 0 ] && getent passwd "$service_user" >/dev/null; then
      userdel "$service_user" >>"$work/cleanup.log" 2>&1 ||
        echo "test_package_install: could not delete the account $service_user: $(tail -n 5 "$work/cleanup.log")"
    fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# A new pty is held by nobody: a lock on its name left by an ended process
# of root (in the sticky /run/lock) would keep the account from opening it.
free_stale_lock() {
  local name=${1#/dev/} pid
  local lock=/run/lock/LCK..${name//\//_}
  pid=$(head -n 1 "$lock" 2>/dev/null | tr -d ' ')
  [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null || rm -f "$lock"
}

# Owner, group, mode and type of a path, as "root:dialout 664 regular file".
describe() { stat -c '%U:%G %a %F' "$1" 2>&1; }

arch=$(dpkg --print-architecture)
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  die "cpack -G DEB failed: $(tail -n 20 "$work/cpack.log")"
deb=$work/out/ktr6_${version}_${arch}.deb
[ -f "$deb" ] || die "cpack made no $(basename "$deb"): $(ls "$work/out")"
chmod 644 "$deb"

# ---- install -----------------------------------------------------------------
# What apt adds besides ktr6 is purged again at the end.
pulled=$(apt-get install -s "$deb" 2>/dev/null | awk '$1 == "Inst" && $2 != "ktr6" { printf "%s ", $2 }')
installed=1
apt_get install "$deb" >"$work/install.log" 2>&1 || die "apt-get install failed: $(tail -n 20 "$work/install.log")"
echo "installed $(basename "$deb")${pulled:+ (and $pulled)}"
dpkg -L ktr6 >"$work/files" || die "dpkg -L ktr6 failed"

[ "$(dpkg-query -W -f '${Status} ${Version}' ktr6)" = "install ok installed $version" ] ||
  fail "after install: $(dpkg-query -W -f '${Status} ${Version}' ktr6)"
[ "$(describe "$settings_dir")" = "root:root 755 directory" ] || fail "$settings_dir is $(describe "$settings_dir")"
[ "$(describe "$settings")" = "root:dialout 664 regular file" ] || fail "$settings is $(describe "$settings")"
cmp -s "$settings" /usr/share/ktr6/KTR.INI || fail "$settings is not the default settings file"
[ "$(readlink "$program_dir/KTR.INI")" = "$settings" ] || fail "$program_dir/KTR.INI is not a link to $settings"
for program in ktr6 ktr6ctl ktr6-sim; do
  found=$(env -i PATH=/usr/bin:/bin bash -c "command -v $program")
  [ "$found" = "/usr/bin/$program" ] || fail "$program is not on the PATH as /usr/bin/$program: \"$found\""
done
# The service's account: a system account without login, in the group
# dialout, its home not made (systemd makes it); the example configuration.
IFS=: read -r _ _ uid gid _ home shell <<<"$(getent passwd "$service_user")"
[ "${uid:-0}" -gt 0 ] && [ "$uid" -lt 1000 ] && [ "$gid" = "$(getent group dialout | cut -d: -f3)" ] &&
  [ "$shell" = /usr/sbin/nologin ] && [ "$home" = "$state_dir" ] && [ ! -e "$state_dir" ] ||
  fail "the account $service_user: $(getent passwd "$service_user"), $state_dir: $(describe "$state_dir")"
dpkg-query -W -f '${Conffiles}' ktr6 | grep -q "^ $settings_dir/ktr6d.conf [0-9a-f]\{32\}$" &&
  cmp -s "$settings_dir/ktr6d.conf" "$repo/packaging/debian/ktr6d.conf" || fail "no conffile $settings_dir/ktr6d.conf"

# ---- used by an account in dialout ----------------------------------------------
as_member=(setpriv --reuid="$account" --regid="$account_group" --groups=dialout --inh-caps=-all
  env -i PATH=/usr/bin:/bin HOME="$work/home" LC_ALL=C.UTF-8)
as_outsider=(setpriv --reuid="$account" --regid="$account_group" --clear-groups --inh-caps=-all
  env -i PATH=/usr/bin:/bin HOME="$work/home" LC_ALL=C.UTF-8)

/usr/bin/ktr6-sim --dir "$work/sim" --name com1 --variant 6 --param 16/1,1/4,-1/3,256/65300,1/1,2/1 \
  --output 5 >"$work/sim.log" 2>&1 </dev/null &
sim_pid=$!
wait_until 10 grep -q "listening on" "$work/sim.log"
pty=$(sed -n 's/^ktr6-sim: listening on .* -> \(\/dev\/.*\)$/\1/p' "$work/sim.log")
[ -c "$pty" ] || die "the simulator did not start: $(cat "$work/sim.log")"
free_stale_lock "$pty"
# Its pty as a serial adapter's device node is: root's, group dialout, 0660.
chown root:dialout "$pty" && chmod 660 "$pty" || die "cannot give $pty a serial device's owner and mode"
ln -s "$pty" "$program_dir/com1" || die "cannot link $program_dir/com1"
# A second port link, in capitals, for the purge to find.
ln -s /dev/null "$program_dir/COM7" || die "cannot link $program_dir/COM7"

json=$(cd "$work/home" && "${as_member[@]}" ktr6ctl read --json 2>"$work/ctl.err")
status=$?
[ "$status" -eq 0 ] || fail "ktr6ctl read --json as $account in dialout ended with $status: $(cat "$work/ctl.err")"
[ "$json" = '{"firmware":"6","inputs":[{"numerator":16,"divisor":1,"minus":false},{"numerator":1,"divisor":4,"minus":false},{"numerator":1,"divisor":3,"minus":true},{"numerator":256,"divisor":65300,"minus":false},{"numerator":1,"divisor":1,"minus":false},{"numerator":2,"divisor":1,"minus":false}],"output":5}' ] ||
  fail "ktr6ctl read --json as $account printed: $json"
(cd "$work/home" && "${as_outsider[@]}" ktr6ctl read --json >/dev/null 2>"$work/outsider.err")
status=$?
[ "$status" -eq 1 ] || fail "ktr6ctl read as $account outside dialout ended with $status, not 1: $(cat "$work/outsider.err")"

# ktr6ctl scan --save as the member: the relay moves to COM3, the scan finds
# it there and saves Port=3 through the link, in place (the account may not
# write /etc/ktr6), keeping owner, group, mode and the link.
rm -f "$program_dir/com1" && ln -s "$pty" "$program_dir/com3" || die "cannot link $program_dir/com3"
inode=$(stat -c %i "$settings")
(cd "$work/home" && "${as_member[@]}" ktr6ctl scan --save >"$work/scan.out" 2>"$work/scan.err")
status=$?
[ "$status" -eq 0 ] || fail "ktr6ctl scan --save as $account ended with $status: $(cat "$work/scan.out" "$work/scan.err")"
{ printf 'Port=3\r\n'; tail -n +2 /usr/share/ktr6/KTR.INI; } >"$work/saved"
cmp -s "$settings" "$work/saved" || fail "scan --save left $settings as: $(od -c "$settings" | head -n 3)"
[ "$(readlink "$program_dir/KTR.INI")" = "$settings" ] || fail "scan --save replaced the link $program_dir/KTR.INI"
[ "$(describe "$settings")" = "root:dialout 664 regular file" ] || fail "after scan --save $settings is $(describe "$settings")"
[ "$(stat -c %i "$settings")" = "$inode" ] || fail "scan --save replaced $settings instead of rewriting it in place"
# The saved port is the one a plain read uses now.
(cd "$work/home" && "${as_member[@]}" ktr6ctl read --json >"$work/saved.json" 2>"$work/ctl.err") ||
  fail "ktr6ctl read after scan --save failed: $(cat "$work/ctl.err")"
[ "$(cat "$work/saved.json")" = "$json" ] || fail "ktr6ctl read after scan --save printed: $(cat "$work/saved.json")"
# Outside dialout the same scan saves nothing.
if (cd "$work/home" && "${as_outsider[@]}" ktr6ctl scan --save >/dev/null 2>&1); then
  fail "ktr6ctl scan --save succeeded for $account outside dialout"
fi
cmp -s "$settings" "$work/saved" || fail "scan --save outside dialout changed $settings"
rm -f "$program_dir/com3" && ln -s "$pty" "$program_dir/com1" || die "cannot link $program_dir/com1 again"

# The settings file through the link: the group may change it, nobody else.
changed=$'Port=1\r\nHandshaking =  0 \r\nBaudRate =  19200 \r\nWaitTime =  0 \r\nTimeDelay =  0 \r\n'
printf '%s' "$changed" >"$work/changed"
if (cd "$work/home" && "${as_outsider[@]}" sh -c 'printf "Port=9\r\n" >"$1"' sh "$program_dir/KTR.INI") 2>/dev/null; then
  fail "$account outside dialout could write $program_dir/KTR.INI"
fi
(cd "$work/home" && "${as_member[@]}" sh -c 'printf "%s" "$2" >"$1"' sh "$program_dir/KTR.INI" "$changed") ||
  fail "$account in dialout could not write $program_dir/KTR.INI"
cmp -s "$settings" "$work/changed" || fail "the change did not reach $settings: $(od -c "$settings" | head -n 3)"
[ "$(readlink "$program_dir/KTR.INI")" = "$settings" ] || fail "$program_dir/KTR.INI is no longer a link to $settings"
[ "$(describe "$settings")" = "root:dialout 664 regular file" ] || fail "after the change $settings is $(describe "$settings")"
# ktr6ctl reads the changed file (19200 Bd is nothing to a pty).
(cd "$work/home" && "${as_member[@]}" ktr6ctl read >"$work/table" 2>"$work/ctl.err") ||
  fail "ktr6ctl read after the change failed: $(cat "$work/ctl.err")"

kill -TERM "$sim_pid"
wait "$sim_pid"
sim_pid=""

# The README's way for an ordinary account to try the simulated relay, line
# by line as that account types it: a line ending in "&" runs on while the
# next ones run.
block=$(awk '$0 == "## Install on Debian 12" { inside = 1; next } inside && /^## / { inside = 0 }
  inside && /^```/ { fenced = !fenced; if (fenced) n++; next } inside && fenced && n == 2' "$repo/README.md")
lines=0
while IFS= read -r line; do
  [ -n "$line" ] || continue
  lines=$((lines + 1))
  command=${line%%#*}
  if [[ $command =~ \&[[:space:]]*$ ]]; then
    (cd "$work/home" && exec "${as_member[@]}" bash -c "exec ${command%&*}") >"$work/readme-sim.log" 2>&1 </dev/null &
    sim_pid=$!
    wait_until 10 grep -q "listening on" "$work/readme-sim.log" ||
      fail "\"$line\" as $account: $(cat "$work/readme-sim.log")"
    free_stale_lock "$(sed -n 's/^ktr6-sim: listening on .* -> \(\/dev\/.*\)$/\1/p' "$work/readme-sim.log")"
  else
    (cd "$work/home" && "${as_member[@]}" bash -c "$command") >"$work/readme.out" 2>&1 ||
      fail "\"$line\" as $account failed: $(cat "$work/readme.out")"
  fi
done <<<"$block"
[ "$lines" -eq 3 ] || fail "the README's second block under \"Install on Debian 12\" has $lines lines, expected 3: $block"
grep -q '^IN 6 ' "$work/readme.out" || fail "the README's ktr6ctl read printed no parameter table: $(cat "$work/readme.out")"
if [ -n "$sim_pid" ]; then
  kill -TERM "$sim_pid"
  wait "$sim_pid"
  sim_pid=""
fi

# ---- the counting service ----------------------------------------------------------
# As its unit runs it: the folders systemd makes (StateDirectory,
# RuntimeDirectory: ktr6:dialout 0750), the account ktr6 with the group
# dialout, umask 0027, the ports beside the programs. A relay on COM2 sends
# IN 1 twenty times a second.
/usr/bin/ktr6-sim --dir "$work/sim" --name com2 --rate 1:20 >"$work/sim2.log" 2>&1 </dev/null &
sim_pid=$!
wait_until 10 grep -q "listening on" "$work/sim2.log"
pty=$(sed -n 's/^ktr6-sim: listening on .* -> \(\/dev\/.*\)$/\1/p' "$work/sim2.log")
[ -c "$pty" ] || die "the simulator did not start: $(cat "$work/sim2.log")"
free_stale_lock "$pty"
chown root:dialout "$pty" && chmod 660 "$pty" && ln -s "$pty" "$program_dir/com2" || die "cannot link $program_dir/com2"
install -d -o "$service_user" -g dialout -m 0750 "$state_dir" "$runtime_dir" || die "cannot make $state_dir and $runtime_dir"
printf '[relay T1]\nport = 2\ninterval = 1s\nunit = kWh\n' >"$work/ktr6d.conf"
chmod 644 "$work/ktr6d.conf"
database=$state_dir/counts.sqlite
setpriv --reuid="$service_user" --regid=dialout --init-groups --inh-caps=-all env -i PATH=/usr/sbin:/usr/bin:/bin \
  sh -c 'umask 0027; exec ktr6d --config "$1" --database "$2"' sh "$work/ktr6d.conf" "$database" \
  >"$work/ktr6d.log" 2>&1 </dev/null &
service_pid=$!
wait_until 10 grep -q "T1: counting on COM2" "$work/ktr6d.log" || fail "ktr6d as $service_user did not count: $(cat "$work/ktr6d.log")"
[ "$(ps -o user= -p "$service_pid" | tr -d ' ')" = "$service_user" ] || fail "ktr6d does not run as $service_user"

# Counts as the account in dialout: the database read-only (it may not write
# the folder, so the -wal and -shm files must be there and readable).
counted() { # prints IN 1's records in the database, or nothing
  (cd "$work/home" && "$@" ktr6ctl counts --relay T1 --json 2>"$work/counts.err") |
    tr '{' '\n' | awk -F'"count":' '/"channel":1,/ { split($2, n, ","); sum += n[1] } END { if (NR) print sum + 0 }'
}
wait_until 10 bash -c '[ "$(ktr6ctl counts --relay T1 --database '"$database"' 2>/dev/null | wc -l)" -gt 10 ]'
for file in counts.sqlite counts.sqlite-wal counts.sqlite-shm; do
  [ "$(describe "$state_dir/$file")" = "$service_user:dialout 640 regular file" ] ||
    fail "$state_dir/$file is $(describe "$state_dir/$file")"
done
running=$(counted "${as_member[@]}")
[ "${running:-0}" -gt 0 ] || fail "ktr6ctl counts as $account in dialout, while ktr6d runs: \"$running\" $(cat "$work/counts.err")"
(cd "$work/home" && "${as_member[@]}" ktr6ctl service status >"$work/status.out" 2>&1) ||
  fail "ktr6ctl service status as $account in dialout: $(cat "$work/status.out")"
grep -q "T1" "$work/status.out" || fail "ktr6ctl service status printed: $(cat "$work/status.out")"
(cd "$work/home" && "${as_outsider[@]}" ktr6ctl counts >/dev/null 2>&1)
status=$?
[ "$status" -eq 1 ] || fail "ktr6ctl counts as $account outside dialout ended with $status, not 1"
# Stopped as systemd stops it: what it read is stored, and still readable.
kill -TERM "$service_pid"
wait "$service_pid"
status=$?
service_pid=""
[ "$status" -eq 0 ] || fail "ktr6d ended with $status on SIGTERM: $(cat "$work/ktr6d.log")"
stopped=$(counted "${as_member[@]}")
[ "${stopped:-0}" -ge "${running:-1}" ] ||
  fail "ktr6ctl counts as $account in dialout after ktr6d stopped: \"$stopped\" (\"$running\" while it ran) $(cat "$work/counts.err")"
kill -TERM "$sim_pid"
wait "$sim_pid"
sim_pid=""
rm -f "$program_dir/com2"
rm -rf "$runtime_dir" # as systemd does when the service stops

# ---- upgrade ---------------------------------------------------------------------
# The same package as a later version.
dpkg-deb -R "$deb" "$work/newer" || die "dpkg-deb -R failed"
newer_version=$version+test1
sed -i "s/^Version: .*/Version: $newer_version/" "$work/newer/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/newer" "$work/out/newer.deb" >/dev/null || die "cannot build the newer package"
chmod 644 "$work/out/newer.deb"
apt_get install "$work/out/newer.deb" >"$work/upgrade.log" 2>&1 || fail "the upgrade failed: $(tail -n 20 "$work/upgrade.log")"
[ "$(dpkg-query -W -f '${Status} ${Version}' ktr6)" = "install ok installed $newer_version" ] ||
  fail "after the upgrade: $(dpkg-query -W -f '${Status} ${Version}' ktr6)"
cmp -s "$settings" "$work/changed" || fail "the upgrade did not keep $settings as it was: $(od -c "$settings" | head -n 3)"
[ "$(describe "$settings")" = "root:dialout 664 regular file" ] || fail "after the upgrade $settings is $(describe "$settings")"
[ "$(readlink "$program_dir/KTR.INI")" = "$settings" ] || fail "after the upgrade $program_dir/KTR.INI is not a link to $settings"

# A settings file that went missing is made again (here by reinstalling);
# then the account's change once more, for remove to keep.
rm -f "$settings"
apt_get install --reinstall "$work/out/newer.deb" >"$work/reinstall.log" 2>&1 ||
  fail "the reinstall failed: $(tail -n 20 "$work/reinstall.log")"
cmp -s "$settings" /usr/share/ktr6/KTR.INI || fail "the reinstall did not make $settings again from the default"
[ "$(describe "$settings")" = "root:dialout 664 regular file" ] || fail "after the reinstall $settings is $(describe "$settings")"
(cd "$work/home" && "${as_member[@]}" sh -c 'printf "%s" "$2" >"$1"' sh "$program_dir/KTR.INI" "$changed") ||
  fail "$account in dialout could not write $program_dir/KTR.INI after the reinstall"

# The administrator enables the service (not started: a file operation);
# purge takes that back too.
wants=/etc/systemd/system/multi-user.target.wants/ktr6d.service
command -v systemctl >/dev/null && { systemctl enable ktr6d.service >/dev/null 2>&1 || fail "systemctl enable ktr6d failed"; }

# ---- remove: the settings and the port links stay ----------------------------------
apt_get remove ktr6 >"$work/remove.log" 2>&1 || fail "apt-get remove failed: $(tail -n 20 "$work/remove.log")"
[ "$(dpkg-query -W -f '${Status}' ktr6)" = "deinstall ok config-files" ] ||
  fail "after remove: $(dpkg-query -W -f '${Status}' ktr6)"
cmp -s "$settings" "$work/changed" || fail "remove did not keep $settings as it was"
[ "$(describe "$settings")" = "root:dialout 664 regular file" ] || fail "after remove $settings is $(describe "$settings")"
[ -L "$program_dir/com1" ] && [ -L "$program_dir/COM7" ] || fail "remove took the port links away"
for path in /usr/bin/ktr6 /usr/bin/ktr6ctl /usr/bin/ktr6-sim "$program_dir/ktr6" "$program_dir/KTR.INI" \
  /usr/sbin/ktr6d /lib/systemd/system/ktr6d.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "remove left $path"; fi
done
cmp -s "$settings_dir/ktr6d.conf" "$repo/packaging/debian/ktr6d.conf" || fail "remove did not keep $settings_dir/ktr6d.conf"
[ -f "$database" ] && [ "$(sqlite3 "$database" 'PRAGMA integrity_check')" = ok ] ||
  fail "remove did not keep the counts $database whole"

# ---- purge: nothing of the package is left ------------------------------------------
apt_get purge ktr6 >"$work/purge.log" 2>&1 || fail "apt-get purge failed: $(tail -n 20 "$work/purge.log")"
status=$(dpkg-query -W -f '${Status}' ktr6 2>/dev/null)
[ -z "$status" ] || [ "$status" = "unknown ok not-installed" ] || fail "after purge: $status"
for path in "$settings_dir" "$program_dir" "$state_dir" /etc/systemd/system/ktr6d.service "$wants" \
  /var/lib/systemd/deb-systemd-helper-enabled/ktr6d.service.dsh-also; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "purge left $path: $(ls -la "$path")"; fi
done
while IFS= read -r path; do
  [ "$path" = /. ] && continue
  # A link to a folder is the system's own (/lib on a merged /usr).
  if { [ -L "$path" ] && [ ! -d "$path" ]; } || { [ -e "$path" ] && [ ! -d "$path" ]; }; then
    fail "purge left $path"
  elif [ -d "$path" ] && ! dpkg -S "$path" >/dev/null 2>&1 && [ -z "$(ls -A "$path")" ]; then
    fail "purge left the empty folder $path"
  fi
done <"$work/files"
if [ -n "$pulled" ] && { [ -z "$status" ] || [ "$status" = "unknown ok not-installed" ]; }; then
  # shellcheck disable=SC2086
  apt_get purge $pulled >"$work/pulled.log" 2>&1 || fail "could not purge what ktr6 pulled in ($pulled)"
  pulled=""
fi

[ "$failures" -eq 0 ] || exit 1
echo "PASS: the Debian package installed, used, upgraded, removed and purged"
