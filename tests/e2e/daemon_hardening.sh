# One daemon at a time, and files that are not what they seem: stale temporaries of our own
# writers are removed at start-up; a second daemon is refused while the first keeps answering;
# a hosts link to a character device (/dev/zero's numbers) stays a device and every answer
# comes at once; a FIFO as the policy is answered with the unavailable error at once, is never
# opened, and is replaced by a valid configure; a hosts file with a Latin-1 byte gets both the
# hosts block (its bytes kept) and the rules.
. "$(dirname "$0")/lib.sh"

bundle=$TAMRIN_BUNDLE_DIR
daemon=$bundle/bin/TamrinDaemon
pfctl=$bundle/libexec/tamrin-pfctl
readonly unavailable="error: Tamrin can’t safely read its blocking state. Restart the computer and try again."

# timed COMMAND...: `run`, with ELAPSED the seconds it took.
timed() {
  local start=$EPOCHREALTIME
  run "$@"
  ELAPSED=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
}

# expect_quick WHAT: the last timed command took less than a second.
expect_quick() {
  if awk -v e="$ELAPSED" 'BEGIN { exit !(e < 1) }'; then
    ok "$1 (${ELAPSED} s)"
  else
    not_ok "$1 within a second" "took ${ELAPSED} s"
  fi
}

# A block that opened a minute ago and lasts three hours.
block_now() {
  local now
  now=$(local_minute_now)
  echo "{\"domains\":[\"$site\"],\"focusStartMinutes\":$(((now + 1439) % 1440)),\"accessStartMinutes\":$(((now + 180) % 1440)),\"activeWeekdays\":[1,2,3,4,5,6,7]}"
}

restore_hosts() {
  rm -f /etc/hosts
  cp "$1" /etc/hosts
}

cp /etc/hosts "$work/hosts.clean"

# --- our own stale temporaries go at start-up, nothing else ---
printf 'x' >/etc/.hosts.tmp-k1ll3d00
printf 'x' >/var/lib/tamrin/.policy.json.tmp-k1ll3d00
printf 'x' >/var/lib/tamrin/.pf-rules.conf.tmp-k1ll3d00
printf 'x' >/etc/.hosts.tmp-keep
start_daemon "$daemon"
expect_not "a stale hosts temporary is removed" test -e /etc/.hosts.tmp-k1ll3d00
expect_not "a stale policy temporary is removed" test -e /var/lib/tamrin/.policy.json.tmp-k1ll3d00
expect_not "a stale rules temporary is removed" test -e /var/lib/tamrin/.pf-rules.conf.tmp-k1ll3d00
expect "a file that only looks like one stays" test -e /etc/.hosts.tmp-keep

# --- one daemon at a time ---
socket_inode=$(stat -c %i "$daemon_socket")
timed timeout 10 "$daemon"
expect_eq "a second daemon exits with status 1" 1 "$RUN_STATUS"
expect_eq "a second daemon names the running one in one line" \
  "error: Another Tamrin daemon is running (pid $DAEMON_PID)." "$RUN_ERR"
expect_quick "a second daemon is refused"
expect_eq "the socket is still the first daemon's" "$socket_inode" "$(stat -c %i "$daemon_socket")"
expect "the first daemon keeps answering" daemon_answers
stop_daemon
expect "a killed daemon leaves its socket behind" test -S "$daemon_socket"
start_daemon "$daemon"
expect "a new daemon takes that socket over" daemon_answers

# --- the hosts file is a link to a character device, during a block ---
mknod "$work/zero" c 1 5 || bail "cannot make a device node"
ln -sfn "$work/zero" /etc/hosts
timed "$CTL" configure <<<"$(block_now)"
expect_eq "configure over a device hosts file: exit 0" 0 "$RUN_STATUS"
expect_quick "configure over a device hosts file answers"
expect_eq "the status shows the hosts block missing" attention "$(json_member state <<<"$RUN_OUT")"
timed "$CTL" status
expect_quick "status over a device hosts file answers"
expect "the device is still a character device" test -c "$work/zero"
expect_eq "/etc/hosts is still the link to it" "$work/zero" "$(readlink /etc/hosts)"
rss_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$DAEMON_PID/status")
if [ "${rss_kb:-0}" -lt 262144 ]; then
  ok "the daemon did not read the device (${rss_kb} kB resident)"
else
  not_ok "the daemon stays below 256 MB resident" "${rss_kb} kB"
fi
stop_daemon

# --- the policy is a FIFO ---
restore_hosts "$work/hosts.clean"
# A block left in force by an earlier daemon: a daemon without a usable policy keeps it.
printf '# BEGIN TAMRIN BLOCK\n0.0.0.0\tleftover.test\n# END TAMRIN BLOCK\n' >>/etc/hosts
rm -f /var/lib/tamrin/policy.json
mkfifo /var/lib/tamrin/policy.json
# The block configured above is recorded beside the policy: it is held, and status says why.
start_daemon "$daemon"
expect_contains "FIFO policy during a recorded block: attention, with the reason" \
  "could not be read when the daemon started" "$("$CTL" status 2>&1)"
stop_daemon
# Without a recorded block, the unreadable policy is all there is.
rm -f /run/tamrin/block-record
nft delete table inet tamrin 2>/dev/null
"$daemon" >>"$work/daemon.log" 2>&1 &
DAEMON_PID=$!
says_unavailable() { [ "$("$CTL" status 2>&1)" = "$unavailable" ]; }
wait_until 30 says_unavailable ||
  bail "the daemon over a FIFO policy did not answer within 30 s" "$("$CTL" status 2>&1)"
timed "$CTL" status
expect_eq "FIFO policy: status exits 1" 1 "$RUN_STATUS"
expect_eq "FIFO policy: the unavailable error" "$unavailable" "$RUN_ERR"
expect_quick "FIFO policy: status answers"
expect_eq "FIFO policy: a removal meets the block still in force" \
  "error: Tamrin can’t be removed during an active block. Try again when access returns." \
  "$("$bundle/libexec/tamrin-uninstall" 2>&1)"
expect "FIFO policy: the FIFO is left as it is" test -p /var/lib/tamrin/policy.json
timed "$CTL" configure <<<"$(block_now)"
expect_eq "FIFO policy: a valid configure replaces it" 0 "$RUN_STATUS"
expect "FIFO policy: a regular policy file took its place" test -f /var/lib/tamrin/policy.json
stop_daemon

# --- a hosts file with a Latin-1 byte ---
# A fresh start: no policy, and no record of the block above that would hold it.
rm -f /var/lib/tamrin/policy.json /run/tamrin/block-record
nft delete table inet tamrin 2>/dev/null
printf '%s %s # caf\xe9\n' "$test_address" "$site" | cat "$work/hosts.clean" - >"$work/hosts.latin1"
restore_hosts "$work/hosts.latin1"
start_daemon "$daemon"
run "$CTL" configure <<<"$(block_now)"
expect_eq "Latin-1 hosts: configure exit 0" 0 "$RUN_STATUS"
expect_eq "Latin-1 hosts: protected" protected "$(json_member state <<<"$RUN_OUT")"
# The user's line for the site is hidden during the block: shown again, every byte is as it was.
LC_ALL=C sed 's/^# hidden by Tamrin during a block: //' /etc/hosts >"$work/hosts.shown"
expect "Latin-1 hosts: the user's bytes are kept exactly" \
  cmp -n "$(stat -c %s "$work/hosts.latin1")" "$work/hosts.latin1" "$work/hosts.shown"
expect "Latin-1 hosts: the user's line for the site is hidden" \
  env LC_ALL=C grep -qaxF "# hidden by Tamrin during a block: $test_address $site # caf"$'\xe9' /etc/hosts
expect "Latin-1 hosts: the hosts block sinks the site" grep -qax $'0.0.0.0\t'"$site" /etc/hosts
expect "Latin-1 hosts: the anchor blocks the site's address" rules_block "$pfctl" "$test_address"

finish
