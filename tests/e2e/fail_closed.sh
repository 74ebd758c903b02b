# A running block outlives its lost state: the policy file removed or hidden under a tmpfs, or
# its window edited while the daemon was stopped, then the daemon restarted; a fake boot id
# mounted over the real one, then the zone moved. Each time the block stays in force until
# its end, and status says why. Removal outside a block still clears everything.
. "$(dirname "$0")/lib.sh"

readonly daemon=$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon
readonly pfctl=$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl
readonly uninstall=$TAMRIN_BUNDLE_DIR/libexec/tamrin-uninstall
readonly policy=/var/lib/tamrin/policy.json
readonly record=/run/tamrin/block-record

printf '%s %s\n' "$test_address" "$site" >>/etc/hosts
start_test_site

# ends_at_block_end TEXT: TEXT is the block's end (the printed second may be rounded down from
# a fraction just below).
ends_at_block_end() {
  [ "$1" = "$BLOCK_END_TEXT" ] || [ "$1" = "$(date -u -d "@$((BLOCK_END - 1))" +%Y-%m-%dT%H:%M:%SZ)" ]
}

table_record() { "$pfctl" -a "$anchor" -t record -T show; }
state() { status_member state; }

# Starts from nothing: no daemon, no state, no record; then a fresh daemon runs a block from
# this minute for two hours (BLOCK_END holds its end in Unix seconds).
fresh_block() {
  stop_daemon
  rm -f "$policy" "$record"
  nft delete table inet tamrin 2>/dev/null
  start_daemon "$daemon"
  local now access
  now=$(local_minute_now)
  access=$(((now + 120) % 1440))
  read -r BLOCK_END_TEXT BLOCK_END < <(next_start "$access")
  run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$now,\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
  [ "$RUN_STATUS" -eq 0 ] || bail "configure failed" "$RUN_OUT" "$RUN_ERR"
  [ "$(json_member state <<<"$RUN_OUT")" = protected ] || bail "no block after configure" "$RUN_OUT"
}

# check_held CASE REASON: the block is in force after the restart, with REASON in status.
check_held() {
  if wait_until 5 fully_protected; then ok "$1: the block is in force"; else
    not_ok "$1: the block is in force" "$(cat /etc/hosts)" "$(anchor_rules "$pfctl" 2>&1)"
  fi
  expect_eq "$1: status says attention" attention "$(state)"
  expect_contains "$1: status gives the reason" "$2" "$("$CTL" status 2>&1)"
  expect_contains "$1: ... and the block's end" "$BLOCK_END_TEXT" "$("$CTL" status 2>&1)"
  expect_not "$1: the site is unreachable" fetch "http://$test_address/"
  run "$uninstall"
  expect_contains "$1: removal is refused" "can’t be removed during an active block" "$RUN_ERR"
}

# --- the record of a running block ---
fresh_block
expect_contains "a block is recorded under /run/tamrin" "d=$site" "$(cat "$record" 2>&1)"
expect_contains "... and in the table" "d=$site" "$(table_record 2>&1)"
expect "the rules are listed as ever" rules_block "$pfctl" "$test_address"

# --- the policy file removed, the daemon restarted ---
rm -f "$policy"
stop_daemon
start_daemon "$daemon"
check_held "policy removed" "The blocking state was missing"

# --- a tmpfs over /var/lib/tamrin, and the record under /run removed as well ---
fresh_block
stop_daemon
mount -t tmpfs -o mode=0700 hidden /var/lib/tamrin
rm -f "$record"
start_daemon "$daemon"
check_held "tmpfs over the state" "The blocking state was missing"
expect_contains "tmpfs: the record under /run is written again" "d=$site" "$(cat "$record" 2>&1)"
stop_daemon
umount /var/lib/tamrin

# --- the window and the hold edited in the file while the daemon was stopped ---
fresh_block
stop_daemon
"$python" - "$policy" <<'PY'
import json, sys
path = sys.argv[1]
policy = json.load(open(path))
configuration = policy["configuration"]
configuration["focusStartMinutes"] = (configuration["focusStartMinutes"] + 600) % 1440
configuration["accessStartMinutes"] = (configuration["focusStartMinutes"] + 1) % 1440
for key in [k for k in policy if k.startswith("anchor")]:
    del policy[key]
json.dump(policy, open(path, "w"))
PY
start_daemon "$daemon"
check_held "window edited" "The blocking state was changed"
expect "window edited: access comes at the recorded end" \
  ends_at_block_end "$(status_member nextTransition)"

# --- a fake boot id mounted over the real one, then the zone moved ---
fresh_block
echo "00000000-0000-4000-8000-000000000000" >"$work/boot_id"
mount --bind "$work/boot_id" /proc/sys/kernel/random/boot_id ||
  bail "cannot mount over the boot id"
ln -sf /usr/share/zoneinfo/Etc/GMT-12 /etc/localtime  # twelve hours ahead: no window runs
remove_hosts_block_by_hand  # brings a pass at once
sleep 1
if wait_until 5 fully_protected; then ok "fake boot id and zone: the block holds"; else
  not_ok "fake boot id and zone: the block holds" "$("$CTL" status 2>&1)"
fi
expect_contains "fake boot id: status names the changed id" "boot id changed" \
  "$("$CTL" status 2>&1)"
expect "fake boot id: access comes at the block's real end" \
  ends_at_block_end "$(status_member nextTransition)"
umount /proc/sys/kernel/random/boot_id
ln -sf /usr/share/zoneinfo/Etc/UTC /etc/localtime

# --- removal outside a block clears everything, the records too ---
stop_daemon
rm -f "$policy" "$record"
nft delete table inet tamrin 2>/dev/null
start_daemon "$daemon"
later=$((($(local_minute_now) + 180) % 1440))
run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$later,\"accessStartMinutes\":$(((later + 1) % 1440)),\"activeWeekdays\":[1,2,3,4,5,6,7]}"
expect_eq "outside a block: access" access "$(json_member state <<<"$RUN_OUT")"
echo "tamrin-block-record-1,end=1,boot=b,bootEnd=1,recorded=0,d=$site" >"$work/stale-record"
"$pfctl" -a "$anchor" -t record -T replace -f "$work/stale-record"
run "$uninstall"
expect_eq "removal outside a block succeeds" 0 "$RUN_STATUS"
expect "removal: no hosts block" hosts_has_no_block
expect "removal: no rules" rules_empty "$pfctl"
expect_eq "removal: no record in the table" "" "$(table_record 2>&1)"
expect "removal: no record under /run" test ! -e "$record"
expect_eq "removal: not configured" notConfigured "$(state)"

finish
