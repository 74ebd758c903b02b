# The schedule set by configuration management through /etc/tamrin/configuration.json, on the
# daemon of the bundle: the file, once written, is applied at once as the first configuration;
# a later change during the block is staged behind it; `configure` is refused while the file
# exists and allowed again once it is gone; broken files (invalid JSON, a FIFO, a symbolic
# link) change nothing and show in the status until fixed; a burst of 1,000 writes leaves the
# daemon answering; a restart with the file unchanged stages nothing again.
. "$(dirname "$0")/lib.sh"
require_private_install_dirs

daemon=$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon
readonly managed=/etc/tamrin/configuration.json
readonly other_site=other-demo.test
readonly everyday='[1,2,3,4,5,6,7]'
readonly refusal="Tamrin’s schedule is managed in $managed; change it there."

printf '%s %s\n' "$test_address" "$site" >>/etc/hosts
rm -rf /etc/tamrin
start_daemon "$daemon"
expect_eq "before the file: not configured" notConfigured "$(status_member state)"

# manage JSON: writes the file as a configuration tool does, beside it and then renamed.
manage() {
  mkdir -p /etc/tamrin
  printf '%s\n' "$1" >"$managed.new" && chmod 0644 "$managed.new" && mv -f "$managed.new" "$managed"
}

# --- the first file: a block that opened a minute ago and lasts three hours ---
now=$(local_minute_now)
focus=$(((now + 1439) % 1440))
access=$(((now + 180) % 1440))
manage "{\"domains\":[\"https://www.Focus-Demo.test/\"],\"focusStartMinutes\":$focus,\"accessStartMinutes\":$access,\"activeWeekdays\":[7,6,5,4,3,2,1]}"
configuration="{\"accessStartMinutes\":$access,\"activeWeekdays\":$everyday,\"domains\":[\"$site\"],\"focusStartMinutes\":$focus}"
applied() { [ "$(status_member configuration)" = "$configuration" ]; }
if wait_until 5 applied; then
  ok "the file is applied at once (after ${WAITED} s)"
else
  not_ok "the file is applied within 5 s" "$("$CTL" status 2>&1)" "$(tail -n 5 "$work/daemon.log")"
fi
expect_eq "the file's block is in force" protected "$(status_member state)"
expect "the hosts file sinks the site" grep -qx $'0.0.0.0\t'"$site" /etc/hosts

# --- configure over the socket is refused while the file exists ---
run "$CTL" configure <<<"{\"domains\":[\"$other_site\"],\"focusStartMinutes\":1,\"accessStartMinutes\":2,\"activeWeekdays\":[1]}"
expect_not "configure while the file exists fails" test "$RUN_STATUS" -eq 0
expect_contains "configure while the file exists: the line naming the file" "$refusal" "$RUN_ERR"
expect_eq "configure while the file exists changed nothing" "$configuration" \
  "$(status_member configuration)"

# --- a change during the block is staged behind it ---
pending_focus=$(((now + 300) % 1440))
pending_access=$(((now + 360) % 1440))
read -r _ block_end < <(next_start "$access")
read -r pending_iso _ < <(next_start "$pending_focus" "$block_end")
manage "{\"domains\":[\"$site\",\"$other_site\"],\"focusStartMinutes\":$pending_focus,\"accessStartMinutes\":$pending_access,\"activeWeekdays\":$everyday}"
staged() { [ "$(status_member pendingChangesApplyAt)" = "$pending_iso" ]; }
if wait_until 5 staged; then
  ok "the change is staged behind the block (after ${WAITED} s)"
else
  not_ok "the change is staged within 5 s" "$("$CTL" status 2>&1)"
fi
staged_configuration="{\"accessStartMinutes\":$pending_access,\"activeWeekdays\":$everyday,\"domains\":[\"$site\",\"$other_site\"],\"focusStartMinutes\":$pending_focus}"
expect_eq "the status shows the staged configuration" "$staged_configuration" \
  "$(status_member configuration)"
expect_eq "during the staged change the block goes on" protected "$(status_member state)"
managed_block() { sed -n '/^# BEGIN TAMRIN BLOCK$/,/^# END TAMRIN BLOCK$/p' /etc/hosts; }
expect_eq "the hosts block still names only the running configuration's site" \
  "$site www.$site" "$(managed_block | awk '$1 == "0.0.0.0" { print $2 }' | xargs)"
staged_line=$("$CTL" status)

# --- broken files change nothing and show in the status until fixed ---
problem() { status_member layerProblems | json_member managedConfiguration; }
# expect_broken WHAT NEEDLE: within 5 s the status shows a problem holding NEEDLE, and the
# configuration and its staged change are as they were.
needle=
shown() { [[ "$(problem)" == *"$needle"* ]]; }
expect_broken() {
  needle=$2
  if wait_until 5 shown; then ok "$1: the status shows the problem"; else
    not_ok "$1: the status shows the problem within 5 s" "$("$CTL" status 2>&1)"
  fi
  expect_eq "$1: the configuration is unchanged" "$staged_configuration" \
    "$(status_member configuration)"
  expect_eq "$1: the staged change is unchanged" "$pending_iso" \
    "$(status_member pendingChangesApplyAt)"
}
cp "$managed" "$work/good.json"
printf '{"domains":' >"$managed"
expect_broken "invalid JSON" "is not a valid configuration"
rm -f "$managed" && mkfifo -m 0644 "$managed"
expect_broken "a FIFO" "is not a regular file"
rm -f "$managed" && ln -s "$work/good.json" "$managed"
expect_broken "a symbolic link" "is a symbolic link"
rm -f "$managed" && cp "$work/good.json" "$managed" && chmod 0644 "$managed"
fixed() { [ -z "$(problem)" ]; }
if wait_until 5 fixed; then ok "fixed: the problem is gone"; else
  not_ok "fixed: the problem is gone within 5 s" "$("$CTL" status 2>&1)"
fi
expect_eq "fixed: the same staged status as before" "$staged_line" "$("$CTL" status)"

# --- 1,000 writes of the file in about a second (each one truncates it first) ---
good=$(<"$work/good.json")
start=$EPOCHREALTIME
for _ in $(seq 1000); do printf '%s\n' "$good" >"$managed"; done
run timeout 5 "$CTL" status
expect_eq "right after 1,000 writes the status is served" 0 "$RUN_STATUS"
expect "the 1,000 writes took at most a few seconds" \
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { exit !(b - a < 5) }'
settled() { [ "$("$CTL" status 2>/dev/null)" = "$staged_line" ]; }
if wait_until 5 settled; then ok "after the writes: the same staged status (after ${WAITED} s)"; else
  not_ok "after the writes: the same staged status within 5 s" "$("$CTL" status 2>&1)"
fi

# --- a restart with the file unchanged stages nothing again ---
stop_daemon
start_daemon "$daemon"
expect_eq "after a restart: the same staged status" "$staged_line" "$("$CTL" status)"

# --- removing the file keeps what is in force and lifts the refusal ---
rm -f "$managed"
run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$focus,\"accessStartMinutes\":$access,\"activeWeekdays\":$everyday}"
expect_eq "configure once the file is gone: exit 0" 0 "$RUN_STATUS"
expect_eq "configure once the file is gone: the block's configuration" "$configuration" \
  "$(json_member configuration <<<"$RUN_OUT")"
expect_eq "configure once the file is gone: the staged change is withdrawn" "" \
  "$(json_member pendingChangesApplyAt <<<"$RUN_OUT")"

finish
