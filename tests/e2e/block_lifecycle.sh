# A whole block with the installed programs, in the sandbox: enable through `configure`, the
# status line, the site refused by name and by address while another port works, a change
# staged behind the running block, protection removed by hand and put back by the timer (with
# the mismatch shown while it cannot be), a SIGKILL and restart, removal refused during the
# block and allowed after it. The end of the block is reached by moving the daemon's clock
# (libfaketime) to a few seconds before it.
. "$(dirname "$0")/lib.sh"
require_private_install_dirs

readonly app=/opt/Tamrin.app
readonly daemon=$app/bin/TamrinDaemon
readonly pfctl=$app/libexec/tamrin-pfctl
readonly other_site=other-demo.test
readonly everyday='[1,2,3,4,5,6,7]'
# The next pass comes at most 60 s after the previous one ended; allow for slow passes.
readonly pass_limit=75

printf '%s %s\n%s %s\n' "$test_address" "$site" "$test_address" "$other_site" >>/etc/hosts
start_test_site

run "$TAMRIN_SOURCE_DIR/scripts/install" "$TAMRIN_BUNDLE_DIR"
[ "$RUN_STATUS" -eq 0 ] || bail "scripts/install failed" "$RUN_OUT" "$RUN_ERR"
CTL=/usr/local/bin/tamrinctl
start_daemon "$daemon"

expect_eq "before any block the site answers by name" \
  "Tamrin test site on port 80" "$(fetch "http://$site/" 2>&1)"

# --- enable: a block that opened a minute ago and lasts three hours ---
now=$(local_minute_now)
focus=$(((now + 1439) % 1440))
access=$(((now + 180) % 1440))
read -r access_iso block_end < <(next_start "$access")
run "$CTL" configure <<<"{\"domains\":[\"https://www.Focus-Demo.test/start\"],\"focusStartMinutes\":$focus,\"accessStartMinutes\":$access,\"activeWeekdays\":[7,6,5,4,3,2,1]}"
protected_line="{\"configuration\":{\"accessStartMinutes\":$access,\"activeWeekdays\":$everyday,\"domains\":[\"$site\"],\"focusStartMinutes\":$focus},\"hasProtectionMismatch\":false,\"isProtected\":true,\"nextTransition\":\"$access_iso\",\"nextTransitionKind\":\"access\",\"state\":\"protected\"}"
expect_eq "first configure enables blocking: exit 0" 0 "$RUN_STATUS"
expect_eq "first configure prints the protected status" "$protected_line" "$RUN_OUT"
run "$CTL" status
expect_eq "status matches the schedule" "$protected_line" "$RUN_OUT"

expect "the hosts file sinks the site" grep -qx $'0.0.0.0\t'"$site" /etc/hosts
expect "the anchor blocks the site's address" rules_block "$pfctl" "$test_address"
expect_not "blocked: the site by name" fetch "http://$site/"
expect_not "blocked: the site by its address, port 80" \
  fetch "http://$site/" --resolve "$site:80:$test_address"
expect_not "blocked: the site by its address, port 443" \
  fetch "http://$site:443/" --resolve "$site:443:$test_address"
expect_eq "another port of the same address still answers" \
  "Tamrin test site on port 8080" "$(fetch "http://$test_address:8080/" 2>&1)"

# --- a change during the block is staged behind it ---
pending_focus=$(((now + 300) % 1440))
pending_access=$(((now + 360) % 1440))
read -r pending_iso _ < <(next_start "$pending_focus" "$block_end")
run "$CTL" configure <<<"{\"domains\":[\"$site\",\"$other_site\"],\"focusStartMinutes\":$pending_focus,\"accessStartMinutes\":$pending_access,\"activeWeekdays\":$everyday}"
staged_line="{\"configuration\":{\"accessStartMinutes\":$pending_access,\"activeWeekdays\":$everyday,\"domains\":[\"$site\",\"$other_site\"],\"focusStartMinutes\":$pending_focus},\"hasProtectionMismatch\":false,\"isProtected\":true,\"nextTransition\":\"$access_iso\",\"nextTransitionKind\":\"access\",\"pendingChangesApplyAt\":\"$pending_iso\",\"state\":\"protected\"}"
expect_eq "second configure updates: exit 0" 0 "$RUN_STATUS"
expect_eq "second configure: staged after the block, the block goes on" "$staged_line" "$RUN_OUT"
managed_block() { sed -n '/^# BEGIN TAMRIN BLOCK$/,/^# END TAMRIN BLOCK$/p' /etc/hosts; }
expect_eq "the hosts block still names only the running configuration's site" \
  "$site www.$site" "$(managed_block | awk '$1 == "0.0.0.0" { print $2 }' | xargs)"
expect_not "still blocked after the change: the site by name" fetch "http://$site/"
expect "still blocked after the change: the address rules" rules_block "$pfctl" "$test_address"

# --- protection removed by hand; the hosts file cannot be written for a while ---
# (The hosts file is made read-only, without the block, before anything the daemon watches
# changes; deleting the table then brings a pass at once, which reports the mismatch.)
sed '/^# BEGIN TAMRIN BLOCK$/,/^# END TAMRIN BLOCK$/d' /etc/hosts >"$work/hosts.read-only"
mount --bind "$work/hosts.read-only" /etc/hosts && mount -o remount,bind,ro /etc/hosts ||
  bail "cannot make /etc/hosts read-only"
nft delete table inet tamrin
mismatch() { [ "$(status_member hasProtectionMismatch)" = true ]; }
if wait_until "$pass_limit" mismatch; then
  ok "the next pass reports the mismatch (after ${WAITED} s)"
else
  not_ok "the next pass reports the mismatch within $pass_limit s" "$("$CTL" status 2>&1)"
fi
run "$CTL" status
expect_eq "while the hosts file is read-only: state" attention "$(json_member state <<<"$RUN_OUT")"
expect_eq "while the hosts file is read-only: not protected" false \
  "$(json_member isProtected <<<"$RUN_OUT")"
expect "the same pass put the address rules back" rules_block "$pfctl" "$test_address"
expect_not "the address rules alone block the site by name again" fetch "http://$site/"

umount /etc/hosts
protected_again() { [ "$("$CTL" status 2>/dev/null)" = "$staged_line" ]; }
if wait_until "$pass_limit" protected_again; then
  ok "once writable, the next pass restores the hosts block (after ${WAITED} s)"
else
  not_ok "the hosts block is back within $pass_limit s" "$("$CTL" status 2>&1)"
fi
expect "the hosts file sinks the site again" grep -qx $'0.0.0.0\t'"$site" /etc/hosts

# --- SIGKILL; protection removed while the daemon is down; restart ---
stop_daemon
remove_hosts_block_by_hand
nft delete table inet tamrin
start_daemon "$daemon"
run "$CTL" status
expect_eq "after SIGKILL and restart: the same staged, protected status" "$staged_line" "$RUN_OUT"
expect "after restart: the hosts block is back" hosts_has_block
expect "after restart: the address rules are back" rules_block "$pfctl" "$test_address"
expect_not "after restart: the site is blocked by name" fetch "http://$site/"

# --- removal is refused during the block ---
run make -s -C "$TAMRIN_SOURCE_DIR" uninstall
expect_not "make uninstall during the block fails" test "$RUN_STATUS" -eq 0
expect_contains "make uninstall during the block: the daemon's message" \
  "error: Tamrin can’t be removed during an active block. Try again when access returns." "$RUN_ERR"
expect "make uninstall during the block: the bundle is still installed" test -x "$daemon"
expect "make uninstall during the block: the unit is still installed" \
  test -f /etc/systemd/system/tamrin-daemon.service
expect "make uninstall during the block: the link is still there" test -L "$CTL"
expect "make uninstall during the block: the policy is kept" test -f /var/lib/tamrin/policy.json
expect "make uninstall during the block: the rules are kept" rules_block "$pfctl" "$test_address"

# --- the end of the block: the daemon's clock moved to 5 s before it ---
stop_daemon
offset=$((block_end - $(date +%s) - 5))
start_daemon "$daemon" "+${offset}s"
access_now() { [ "$(status_member state)" = access ]; }
if wait_until 30 access_now; then
  ok "the block ends at its access start (after ${WAITED} s)"
else
  not_ok "the block ends within 30 s" "$("$CTL" status 2>&1)"
fi
expect "after the block: no hosts block" hosts_has_no_block
expect "after the block: the anchor is empty" rules_empty "$pfctl"
expect_eq "after the block: the site answers by name" \
  "Tamrin test site on port 80" "$(fetch "http://$site/" 2>&1)"
expect_eq "after the block: the site answers by address" "Tamrin test site on port 80" \
  "$(fetch "http://$site/" --resolve "$site:80:$test_address" 2>&1)"

run make -s -C "$TAMRIN_SOURCE_DIR" uninstall
expect_eq "make uninstall after the block: exit 0" 0 "$RUN_STATUS"
expect_not "make uninstall: /opt/Tamrin.app is gone" test -e "$app"
expect_not "make uninstall: the link is gone" test -L /usr/local/bin/tamrinctl
expect_not "make uninstall: the daemon removed its policy file" test -e /var/lib/tamrin/policy.json
CTL=$TAMRIN_BUNDLE_DIR/bin/tamrinctl
# (A pass that the removal's own file changes bring may run after /opt/Tamrin.app is gone: it
# cannot look at the filter without its tool, and says so as a mismatch.)
run "$CTL" status
expect_not "the daemon, still running, has forgotten its policy" grep -q configuration <<<"$RUN_OUT"
expect_eq "and is not protecting" false "$(json_member isProtected <<<"$RUN_OUT")"

finish
