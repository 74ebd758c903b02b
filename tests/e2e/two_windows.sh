# A day of two windows, 09:00-12:00 and 12:01-17:00 UTC, configured in the "windows" form on
# the daemon of the bundle, whose clock (libfaketime, shared with tamrinctl) starts at
# 2026-03-02 11:59:40: the block ends at 12:00:00, the first window's access instant, and starts
# again at 12:01:00, the second one's focus instant; status reports each transition.
. "$(dirname "$0")/lib.sh"

daemon=$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon
library=$(faketime_library) || bail "libfaketime is not installed (scripts/install-deps)"
export TZ=UTC DONT_FAKE_MONOTONIC=1
readonly first_access=$(date -u -d '2026-03-02 12:00:00' +%s)
readonly second_focus=$((first_access + 60))
offset=$((first_access - 20 - $(date +%s)))
readonly faked=$(printf '%+ds' "$offset")

# tamrinctl on the daemon's clock.
ctl_faked() { LD_PRELOAD=$library FAKETIME=$faked "$TAMRIN_BUNDLE_DIR/bin/tamrinctl" "$@"; }
CTL=ctl_faked
fake_now() { echo $(($(date +%s) + offset)); }

# The site resolves (through the sandbox's hosts file) so that its address can be blocked.
printf '%s %s\n' "$test_address" "$site" >>/etc/hosts
start_daemon "$daemon" "$faked"

everyday='[1,2,3,4,5,6,7]'
run ctl_faked configure <<<"{\"domains\":[\"$site\"],\"windows\":[{\"focusStartMinutes\":540,\"accessStartMinutes\":720,\"activeWeekdays\":[7,6,5,4,3,2,1]},{\"focusStartMinutes\":721,\"accessStartMinutes\":1020,\"activeWeekdays\":$everyday}]}"
configuration="{\"configuration\":{\"domains\":[\"$site\"],\"windows\":[{\"accessStartMinutes\":720,\"activeWeekdays\":$everyday,\"focusStartMinutes\":540},{\"accessStartMinutes\":1020,\"activeWeekdays\":$everyday,\"focusStartMinutes\":721}]}"
expect_eq "configure with two windows: exit 0" 0 "$RUN_STATUS"
[ "$(fake_now)" -lt "$first_access" ] ||
  bail "the daemon took too long to start: the first window had already ended"
expect_eq "in the first window: protected until its access instant, windows as given" \
  "$configuration,\"hasProtectionMismatch\":false,\"isProtected\":true,\"nextTransition\":\"2026-03-02T12:00:00Z\",\"nextTransitionKind\":\"access\",\"state\":\"protected\"}" \
  "$RUN_OUT"
expect "in the first window: the hosts file sinks the site" grep -qx $'0.0.0.0\t'"$site" /etc/hosts
expect "in the first window: the anchor blocks the site's address" \
  rules_block "$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl" "$test_address"

# expect_transition WHAT INSTANT STATE LINE: within 75 s the status reaches STATE, no earlier
# than INSTANT and at most 5 s after it, and then reads LINE.
expect_transition() {
  local what=$1 instant=$2 state=$3 line=$4 reached
  in_state() { [ "$(status_member state)" = "$state" ]; }
  if ! wait_until 75 in_state; then
    not_ok "$what within 75 s" "$(ctl_faked status 2>&1)"
    return
  fi
  reached=$(fake_now)
  if [ "$reached" -ge "$instant" ] && [ "$reached" -le $((instant + 5)) ]; then
    ok "$what at its instant ($((reached - instant)) s after it)"
  else
    not_ok "$what at its instant" "reached at $reached, expected at $instant"
  fi
  run ctl_faked status
  expect_eq "$what: status" "$line" "$RUN_OUT"
}

expect_transition "the block ends at the first window's access instant" "$first_access" access \
  "$configuration,\"hasProtectionMismatch\":false,\"isProtected\":false,\"nextTransition\":\"2026-03-02T12:01:00Z\",\"nextTransitionKind\":\"blocking\",\"state\":\"access\"}"
expect "between the windows: no hosts block" hosts_has_no_block

expect_transition "the block starts at the second window's focus instant" "$second_focus" \
  protected \
  "$configuration,\"hasProtectionMismatch\":false,\"isProtected\":true,\"nextTransition\":\"2026-03-02T17:00:00Z\",\"nextTransitionKind\":\"access\",\"state\":\"protected\"}"
expect "in the second window: the hosts file sinks the site again" \
  grep -qx $'0.0.0.0\t'"$site" /etc/hosts

finish
