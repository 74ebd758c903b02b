# The daemon under the limits of packaging/tamrin-daemon.service, in the sandbox: exactly the
# unit's capability bounding set with no inheritable or ambient ones, no new privileges, its
# UMask, every file system read-only except the unit's ReadWritePaths, /var/lib/tamrin and
# /run/tamrin, empty /tmp, /home and /root, and other users' processes hidden in /proc unless
# its capabilities let it look at them (ProtectProc=invisible). Checked: a whole block
# (enforced, the site refused, removal refused), repair by the timer after the hosts block and the table were removed by hand, a sealed client run by
# another user is served while a changed copy is refused, and removal after the block. The
# daemon's clock (libfaketime) starts 85 s before the end of the block.
. "$(dirname "$0")/lib.sh"

readonly unit=$TAMRIN_SOURCE_DIR/packaging/tamrin-daemon.service
readonly pfctl=$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl
unit_value() { sed -n "s/^$1=//p" "$unit"; }

# "CAP_NET_ADMIN CAP_CHOWN" -> "-all,+net_admin,+chown"
bounding=-all
for cap in $(unit_value CapabilityBoundingSet); do
  bounding+=",+$(tr '[:upper:]' '[:lower:]' <<<"${cap#CAP_}")"
done
read -r -a writable <<<"$(unit_value ReadWritePaths) /var/lib/tamrin /run/tamrin"
mkdir -p /run/tamrin

# Runs itself again in a mount namespace of its own, makes everything but the writable paths
# read-only there, then becomes the daemon with the unit's capabilities and umask.
cat >"$work/confined" <<SCRIPT
#!/bin/bash
set -e
[ "\${1-}" = --inside ] || exec unshare --mount --propagation private "\$0" --inside
findmnt -rn -o TARGET | while read -r target; do
  case \$target in /proc* | /sys* | /dev*) continue ;; esac
  mount -o remount,bind,ro "\$target" 2>/dev/null || true
done
# A path written "-/path", as systemd reads it, is left out where it does not exist.
for path in ${writable[*]}; do
  case "\$path" in -*) path=\${path#-}; [ -e "\$path" ] || continue ;; esac
  mount --bind "\$path" "\$path"; mount -o remount,bind,rw "\$path"
done
# The bundle stays in sight, read-only, wherever the build tree is (also under /tmp or /root).
mount --bind "$TAMRIN_BUNDLE_DIR" "$work/Tamrin.app"
mount -o remount,bind,ro "$work/Tamrin.app"
for dir in /tmp /home /root; do [ ! -d "\$dir" ] || mount -t tmpfs -o mode=0700 none "\$dir"; done
mount -t proc -o hidepid=$(unit_value ProtectProc | sed "s/^$/off/") proc /proc
umask $(unit_value UMask)
exec setpriv --bounding-set=$bounding --inh-caps=-all --ambient-caps=-all --no-new-privs \\
  "$work/Tamrin.app/bin/TamrinDaemon"
SCRIPT
chmod +x "$work/confined"
mkdir -p "$work/Tamrin.app"

# The capability mask (as in /proc/<pid>/status) the unit allows.
expected_mask=$(setpriv --bounding-set="$bounding" grep '^CapBnd:' /proc/self/status | cut -f2)
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

printf '%s %s\n' "$test_address" "$site" >>/etc/hosts
start_test_site

now=$(local_minute_now)
focus=$(((now + 1439) % 1440))
access=$(((now + 3) % 1440))
read -r _ block_end < <(next_start "$access")
start_daemon "$work/confined" "+$((block_end - $(date +%s) - 85))s"
expect_eq "the daemon's bounding set is the unit's" "$expected_mask" \
  "$(grep '^CapBnd:' "/proc/$DAEMON_PID/status" | cut -f2)"
expect_eq "the daemon has no new privileges" 1 "$(sed -n 's/^NoNewPrivs:\t//p' "/proc/$DAEMON_PID/status")"
expect_not "the daemon cannot write outside its paths" \
  nsenter --target "$DAEMON_PID" --mount touch /var/lib/tamrin-probe

run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$focus,\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
expect_eq "configure: the block is in force" protected "$(json_member state <<<"$RUN_OUT")"
expect_eq "the policy file is the daemon's alone" 600 "$(stat -c %a /var/lib/tamrin/policy.json)"
expect "the hosts file sinks the site" grep -qx $'0.0.0.0\t'"$site" /etc/hosts
expect "the anchor blocks the site's address" rules_block "$pfctl" "$test_address"
expect_not "the site is blocked" fetch "http://$site/"

run as_nobody "$CTL" status
expect_eq "tamrinctl run by another user is served" "protected" "$(json_member state <<<"$RUN_OUT")$RUN_ERR"
cp "$CTL" "$work/tamrinctl-changed"
printf '\0' >>"$work/tamrinctl-changed"
run "$work/tamrinctl-changed" status
expect_eq "a changed copy of tamrinctl is refused: exit 1" 1 "$RUN_STATUS"

# --- repair by the timer ---
remove_hosts_block_by_hand
nft delete table inet tamrin
repaired() { hosts_has_block && rules_block "$pfctl" "$test_address"; }
if wait_until 70 repaired; then
  ok "the timer puts the hosts block and the rules back (after ${WAITED} s)"
else
  not_ok "the timer puts the hosts block and the rules back within 70 s" "$(cat "$work/daemon.log")"
fi
expect_not "the site is blocked again" fetch "http://$site/"

run "$TAMRIN_BUNDLE_DIR/libexec/tamrin-uninstall"
expect_eq "removal during the block is refused" 1 "$RUN_STATUS"

block_over() { [ "$(status_member state)" = access ]; }
wait_until 90 block_over || bail "the block did not end" "$("$CTL" status 2>&1)"
expect "after the block the hosts block is gone" hosts_has_no_block
expect "after the block the rules are gone" rules_empty "$pfctl"
run "$TAMRIN_BUNDLE_DIR/libexec/tamrin-uninstall"
expect_eq "removal after the block is allowed" 0 "$RUN_STATUS"
expect_not "removal forgets the policy" test -e /var/lib/tamrin/policy.json

finish
