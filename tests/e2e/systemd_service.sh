# The Debian package in a Debian 12 container that boots its own systemd (systemd-nspawn, own
# network, the root from scripts/systemd-root): the unit starts at boot and serves; systemd
# rates its exposure as the unit file's offline analysis does; during a block the unit cannot
# be stopped or restarted by hand, its stop guard comes back when deleted, a killed daemon is
# started again and repairs its table, an upgrade runs the new daemon with the block kept, and
# removal is refused; after the block the unit stops and starts, and removal leaves nothing of
# Tamrin behind. The block is real time: it ends two to three minutes after it is configured.
# Needs build/tamrin_*.deb (make deb) and the root's tarball, which scripts/systemd-root builds
# outside the sandbox (it needs Debian's registry).
. "$(dirname "$0")/lib.sh"

for tool in systemd-nspawn nsenter dpkg-deb tar; do
  command -v "$tool" >/dev/null || bail "$tool is not installed"
done
[ "$(findmnt -n -o FSTYPE --mountpoint /run)" = tmpfs ] || bail "/run is not private"

shopt -s nullglob
packages=("$TAMRIN_SOURCE_DIR"/build/tamrin_*.deb)
[ ${#packages[@]} -eq 1 ] || bail "expected one build/tamrin_*.deb (make deb), found ${#packages[@]}"
readonly deb=${packages[0]}
tarball=$("$TAMRIN_SOURCE_DIR/scripts/systemd-root" --no-build "$deb" 2>&1) || bail "$tarball"
readonly tarball
readonly root=$work/root
readonly guard=/run/systemd/system/tamrin-daemon.service.d/tamrin-stop-guard.conf
readonly app=/usr/lib/tamrin/Tamrin.app
export DEBIAN_FRONTEND=noninteractive

mkdir -p "$root"
tar -xf "$tarball" -C "$root" || bail "cannot unpack $tarball"
# nspawn puts a tmpfs on the container's /tmp, so the packages wait in /root.
cp "$deb" "$root/root/tamrin.deb" || bail "cannot copy the package into the root"
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -R "$deb" "$work/newer" || bail "cannot unpack the package"
sed -i "s/^Version: .*/Version: $version+1/" "$work/newer/DEBIAN/control"
dpkg-deb -b "$work/newer" "$root/root/tamrin-newer.deb" >/dev/null || bail "cannot build a newer package"

# Without a systemd of the machine to ask, nspawn puts the container's processes into "payload"
# under the cgroup it runs in; a cgroup of this run's own, in every hierarchy systemd uses,
# keeps them apart from any other container on this machine. Removed again at the end.
cgroups=()
own_cgroup() { sed -n "s/^$1:\(.*\)/\1/p" /proc/self/cgroup; }
name=tamrin-e2e-$(cat /proc/sys/kernel/random/uuid)
if [ "$(stat -f -c %T /sys/fs/cgroup)" = cgroup2fs ]; then
  cgroups=("/sys/fs/cgroup$(own_cgroup 0:)/$name")
else
  [ -d /sys/fs/cgroup/systemd ] &&
    cgroups+=("/sys/fs/cgroup/systemd$(own_cgroup '[0-9]*:name=systemd:')/$name")
  [ -d /sys/fs/cgroup/unified ] && cgroups+=("/sys/fs/cgroup/unified$(own_cgroup 0:)/$name")
fi
[ ${#cgroups[@]} -gt 0 ] || bail "no cgroup hierarchy of systemd under /sys/fs/cgroup"
mkdir "${cgroups[@]}" || bail "cannot create a cgroup for the container"

# Moves the calling (sub)shell into this run's cgroups.
join_own_cgroups() {
  local cgroup
  for cgroup in "${cgroups[@]}"; do echo "$BASHPID" >"$cgroup/cgroup.procs" || return 1; done
}
# in_own_cgroup COMMAND...: runs the command in this run's cgroups.
in_own_cgroup() { (join_own_cgroups && exec "$@"); }

# Ends whatever is left in this run's cgroups and removes them.
remove_cgroups() {
  local cgroup
  for cgroup in "${cgroups[@]}"; do
    find "$cgroup" -name cgroup.procs -exec cat {} + 2>/dev/null | xargs -r kill -KILL 2>/dev/null
  done
  wait_until 5 cgroups_removed
}
cgroups_removed() {
  local cgroup
  for cgroup in "${cgroups[@]}"; do
    find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null
    [ ! -e "$cgroup" ] || return 1
  done
}
trap remove_cgroups EXIT

run in_own_cgroup systemd-nspawn -q --register=no --keep-unit -D "$root" --private-network \
  apt-get install -y ./root/tamrin.deb
[ "$RUN_STATUS" -eq 0 ] || bail "apt-get install in the root failed" "$RUN_OUT" "$RUN_ERR"

# --- the container -------------------------------------------------------------------------

NSPAWN_PID=
INIT_PID=

inside() { nsenter -t "$INIT_PID" -a -r -w "$@"; }
console_end() {
  kill -0 "$NSPAWN_PID" 2>/dev/null || echo "the container is gone"
  tail -n 30 "$work/console.log"
}
journal() { inside journalctl -u tamrin-daemon --no-pager -n "${1:-60}" 2>&1; }

# Powers the container off (its systemd's SIGRTMIN+4), killed after 20 s.
power_off() {
  [ -n "$NSPAWN_PID" ] || return 0
  [ -n "$INIT_PID" ] && kill -RTMIN+4 "$INIT_PID" 2>/dev/null
  wait_until 20 eval '! kill -0 "$NSPAWN_PID"' || kill -KILL "$NSPAWN_PID" 2>/dev/null
  wait "$NSPAWN_PID" 2>/dev/null
  NSPAWN_PID=
  INIT_PID=
}
trap 'power_off; remove_cgroups' EXIT

(join_own_cgroups && exec systemd-nspawn -q -b --register=no --keep-unit -D "$root" \
  --private-network) >"$work/console.log" 2>&1 </dev/null &
NSPAWN_PID=$!
container_init() { INIT_PID=$(pgrep -x -P "$NSPAWN_PID" systemd); }
wait_until 20 container_init || bail "the container's systemd did not start" "$(cat "$work/console.log")"
container_init
run timeout 120 nsenter -t "$INIT_PID" -a -r -w systemctl is-system-running --wait
[ "$RUN_OUT" = running ] ||
  bail "the container did not boot cleanly ($RUN_OUT)" "$(inside systemctl --failed --no-pager 2>&1)"

# expect_run_ok WHAT: the last `run` ended with status 0; its output is the detail otherwise.
expect_run_ok() {
  if [ "$RUN_STATUS" -eq 0 ]; then ok "$1"; else
    not_ok "$1" "status $RUN_STATUS" "$(tail -n 15 <<<"$RUN_OUT")" "$(tail -n 15 <<<"$RUN_ERR")"
  fi
}

ctl() { inside tamrinctl "$@"; }
main_pid() { inside systemctl show -p MainPID --value tamrin-daemon; }
serves() { ctl status >/dev/null 2>&1; }
state_is() { [ "$(ctl status 2>/dev/null | json_member state)" = "$1" ]; }
container_hosts_block() { inside grep -qx '# BEGIN TAMRIN BLOCK' /etc/hosts; }
container_pfctl() { inside "$app/libexec/tamrin-pfctl" "$@"; }
block_in_force() { container_hosts_block && rules_block container_pfctl "$test_address"; }
guard_present() { inside test -f "$guard"; }
refuses_stop() { [ "$(inside systemctl show -p RefuseManualStop --value tamrin-daemon)" = yes ]; }
package_state() { inside dpkg-query -W -f='${db:Status-Status}' tamrin 2>/dev/null; }
# A new main process that serves: `systemctl stop` or `restart` went through, or the daemon died.
main_pid_other_than() {
  local pid
  pid=$(main_pid)
  [ -n "$pid" ] && [ "$pid" != 0 ] && [ "$pid" != "$1" ] && serves
}

# --- at boot ---------------------------------------------------------------------------------

expect_eq "the unit is active after boot" active "$(inside systemctl is-active tamrin-daemon)"
wait_until 10 serves
expect "the daemon serves tamrinctl" serves
run ctl status
expect_eq "status at boot, with no hosts file in the container" \
  '{"hasProtectionMismatch":false,"isProtected":false,"state":"notConfigured"}' "$RUN_OUT"
printf '127.0.0.1 localhost\n%s %s\n' "$test_address" "$site" >"$root/etc/hosts"

exposure() { sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p'; }
offline=$(systemd-analyze security --offline=true --no-pager \
  "$TAMRIN_SOURCE_DIR/packaging/tamrin-daemon.service" 2>&1 | exposure)
running=$(inside systemd-analyze security --no-pager tamrin-daemon 2>&1 | exposure)
[ -n "$offline" ] || not_ok "systemd-analyze rates the unit file offline"
expect_eq "the running unit's exposure is the unit file's" "$offline" "$running"

# --- a block that ends two to three minutes from now ---------------------------------------

read -r hour minute second epoch < <(inside date -u '+%H %M %S %s')
now=$((10#$hour * 60 + 10#$minute))
focus=$(((now + 1439) % 1440))
access=$(((now + 3) % 1440))
block_end=$((epoch - 10#$second + 180))
run ctl configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$focus,\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
expect_eq "configure: the block is in force" protected "$(json_member state <<<"$RUN_OUT")"
run ctl status
expect_eq "status: state protected" protected "$(json_member state <<<"$RUN_OUT")"
expect_eq "status: protected in fact" true "$(json_member isProtected <<<"$RUN_OUT")"
expect "the hosts block and the filter are in place" block_in_force

# --- during the block ------------------------------------------------------------------------

wait_until 5 guard_present
expect "the stop guard is in place" guard_present
expect "systemd has loaded it: the unit refuses a manual stop" refuses_stop
expect_eq "status: nothing amiss with the guard in force" false \
  "$(ctl status | json_member hasProtectionMismatch)"

pid=$(main_pid)
for verb in stop restart; do
  run inside systemctl "$verb" tamrin-daemon
  if [ "$RUN_STATUS" -ne 0 ]; then ok "systemctl $verb is refused"; else
    not_ok "systemctl $verb is refused" "it ended with status 0"
  fi
  expect_contains "systemctl $verb: systemd's refusal" "Operation refused" "$RUN_ERR"
  expect_eq "after systemctl $verb: the same daemon" "$pid" "$(main_pid)"
  # Where the stop went through, the block must still hold once the unit runs again.
  inside systemctl start tamrin-daemon >/dev/null 2>&1
  wait_until 15 serves
  expect "after systemctl $verb: the daemon serves" serves
  expect "after systemctl $verb: the block is in force" block_in_force
  pid=$(main_pid)
done

inside rm -f "$guard"
if wait_until 10 guard_present; then ok "a deleted stop guard is back ($WAITED s)"; else
  not_ok "a deleted stop guard is back within 10 s"
fi
expect "the guard put back is loaded" refuses_stop

inside nft delete table inet tamrin
inside systemctl kill -s KILL tamrin-daemon
if wait_until 15 main_pid_other_than "$pid"; then ok "a killed daemon is started again ($WAITED s)"; else
  not_ok "a killed daemon is started again within 15 s" "main pid: $(main_pid)" "$(journal 20)"
fi
wait_until 10 block_in_force
expect "after the kill: the block is in force, the table repaired" block_in_force

pid=$(main_pid)
run inside apt-get install -y ./root/tamrin-newer.deb
expect_run_ok "an upgrade during the block: exit 0"
expect_eq "the upgrade is installed" "$version+1" "$(inside dpkg-query -W -f='${Version}' tamrin)"
wait_until 15 main_pid_other_than "$pid"
expect "after the upgrade: a new daemon serves" main_pid_other_than "$pid"
expect_eq "after the upgrade: the daemon runs the installed executable" "$app/bin/TamrinDaemon" \
  "$(inside readlink "/proc/$(main_pid)/exe")"
expect "after the upgrade: the block is in force" block_in_force
expect "after the upgrade: the stop guard is in place" guard_present

run inside apt-get remove -y tamrin
expect_not "apt-get remove during the block fails" test "$RUN_STATUS" -eq 0
expect_eq "apt-get remove during the block: still installed" installed "$(package_state)"
expect "apt-get remove during the block: the block is in force" block_in_force
expect_eq "the block lasted until now" protected "$(ctl status | json_member state)"

# --- after the block -------------------------------------------------------------------------

wait_until $((block_end - $(date +%s) + 30)) state_is access ||
  bail "the block did not end" "$(ctl status 2>&1)" "$(journal 20)" "$(console_end)"
wait_until 5 eval '! guard_present'
expect_not "after the block: the stop guard is gone" guard_present
expect_not "after the block: systemd no longer refuses a stop" refuses_stop
expect "after the block: systemctl stop works" inside systemctl stop tamrin-daemon
expect_eq "after the block: the unit is stopped" inactive "$(inside systemctl is-active tamrin-daemon)"
expect "after the block: systemctl start works" inside systemctl start tamrin-daemon
wait_until 15 serves
expect "after the block: the started daemon serves" serves

run inside apt-get remove -y tamrin
expect_run_ok "apt-get remove after the block: exit 0"
expect_eq "the package is removed" config-files "$(package_state)"
expect_not "the bundle is gone" inside test -e /usr/lib/tamrin
expect_not "/run/tamrin is gone" inside test -e /run/tamrin
expect_eq "no drop-in is left for the unit" "" \
  "$(inside find /run/systemd/system/tamrin-daemon.service.d -mindepth 1 2>/dev/null)"
expect_not "the table is gone" inside nft list table inet tamrin
expect_not "no address of the block is left in the filter" \
  inside sh -c "nft list ruleset | grep -qF '$test_address'"
expect_not "the hosts block is gone" inside grep -q 'TAMRIN BLOCK' /etc/hosts
expect_eq "the unit is inactive" inactive "$(inside systemctl is-active tamrin-daemon)"

if [ "$failures" -gt 0 ]; then
  echo "# the daemon's journal in the container:"
  details "$(journal 80)"
fi
power_off
finish
