# The daemon's wall clock jumps three hours forward during a short block (libfaketime moves the
# wall clock only; the boot clock runs on): the block holds, and is repaired, until its real
# length has passed, and then ends by itself.
. "$(dirname "$0")/lib.sh"

readonly daemon=$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon
readonly pfctl=$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl
readonly clock_file=$work/faketime

printf '%s %s\n' "$test_address" "$site" >>/etc/hosts
echo "+0" >"$clock_file"
start_daemon_on_clock_file "$daemon" "$clock_file"

# A block from this minute to the start of the minute after next; starting before second 40
# leaves it more than the timer's 60 s, so a timer pass falls inside it after the jump.
early_in_minute() { [ "$((10#$(date +%S)))" -lt 40 ]; }
wait_until 25 early_in_minute || bail "no early second within 25 s"
now=$(local_minute_now)
access=$(((now + 2) % 1440))
read -r _ block_end < <(next_start "$access")
run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$now,\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
[ "$RUN_STATUS" -eq 0 ] || bail "configure failed" "$RUN_OUT" "$RUN_ERR"
expect_eq "configure: the block is in force" protected "$(json_member state <<<"$RUN_OUT")"

# --- the wall clock jumps three hours forward, past the block's scheduled end ---
echo "+3h" >"$clock_file"
run "$CTL" status
expect_eq "after the jump: still protected" protected "$(json_member state <<<"$RUN_OUT")"
expect_eq "after the jump: the next transition is access" access \
  "$(json_member nextTransitionKind <<<"$RUN_OUT")"
# On the jumped clock the block's real end reads three hours after its scheduled end (the
# printed second may be rounded down from a fraction just below).
held=$(json_member nextTransition <<<"$RUN_OUT")
iso() { date -u -d "@$1" +%Y-%m-%dT%H:%M:%SZ; }
if [ "$held" = "$(iso $((block_end + 10800)))" ] || [ "$held" = "$(iso $((block_end + 10799)))" ]; then
  ok "after the jump: access comes when the block's real length has passed"
else
  not_ok "after the jump: access at the real end" "expected: $(iso $((block_end + 10800)))" \
    "actual:   $held"
fi

# Protection removed by hand comes back at the next pass, which sees the jumped clock.
remove_hosts_block_by_hand
nft delete table inet tamrin
if wait_until "$((block_end - $(date +%s) - 2))" hosts_has_block; then
  ok "a pass after the jump puts the hosts block back (after ${WAITED} s)"
else
  not_ok "the hosts block is back before the block's real end" "$(tail -n 5 "$work/daemon.log")"
fi
if wait_until 5 rules_block "$pfctl" "$test_address"; then
  ok "and the address rules (after ${WAITED} s)"
else
  not_ok "and the address rules" "$(anchor_rules "$pfctl" 2>&1)"
fi

# --- the block ends by itself once its real length has passed ---
access_now() { [ "$(status_member state)" = access ]; }
if wait_until "$((block_end - $(date +%s) + 15))" access_now; then
  ended=$(date +%s)
  if [ "$ended" -ge "$block_end" ]; then
    ok "the block ends by itself $((ended - block_end)) s after its real end"
  else
    not_ok "the block ended $((block_end - ended)) s before its real end"
  fi
else
  not_ok "the block ends within 15 s of its real end" "$("$CTL" status 2>&1)"
fi
expect "after the block: no hosts block" hosts_has_no_block
expect "after the block: the anchor is empty" rules_empty "$pfctl"

finish
