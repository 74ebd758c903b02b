# The daemon from the bundle, started with no policy over what an earlier run left behind: its
# first pass clears the managed hosts block and the anchor before the socket answers, the
# sealed tamrinctl is served, and a tamrinctl that is not sealed is refused.
. "$(dirname "$0")/lib.sh"

bundle=$TAMRIN_BUNDLE_DIR
pfctl=$bundle/libexec/tamrin-pfctl
daemon=$bundle/bin/TamrinDaemon
readonly leftover_address=10.77.0.9
readonly not_configured='{"hasProtectionMismatch":false,"isProtected":false,"state":"notConfigured"}'

cp /etc/hosts "$work/hosts.clean"

# What a daemon that was stopped during a block leaves: the hosts block, the rules in the
# anchor and the filter enabled under a token. `record_token` says whether that token is in
# the daemon's own token file (its reference) or held by someone else.
leave_protection_behind() {
  local record_token=$1 token
  cat "$work/hosts.clean" >/etc/hosts
  printf '# BEGIN TAMRIN BLOCK\n0.0.0.0\tleftover.test\n::\tleftover.test\n# END TAMRIN BLOCK\n' \
    >>/etc/hosts
  token=$("$pfctl" -E | sed -n 's/^Token : //p')
  [ -n "$token" ] || bail "tamrin-pfctl -E printed no token"
  rm -f /var/lib/tamrin/pf-token
  if [ "$record_token" = yes ]; then
    printf '%s' "$token" >/var/lib/tamrin/pf-token
    chmod 0600 /var/lib/tamrin/pf-token
  fi
  printf 'block return out quick inet proto { tcp udp } from any to %s port { 80 443 } label "tamrin-1234abcd"\n' \
    "$leftover_address" >"$work/leftover-rules.conf"
  "$pfctl" -a "$anchor" -f "$work/leftover-rules.conf" || bail "tamrin-pfctl -f failed"
  rules_block "$pfctl" "$leftover_address" || bail "the leftover rules are not in the anchor"
  hosts_has_block || bail "the leftover hosts block is not in /etc/hosts"
}

# --- an earlier run of this daemon left its protection ---
leave_protection_behind yes
start_daemon "$daemon"
# start_daemon returned once the socket answered, so the first pass is complete.
expect_eq "the first pass removed the leftover hosts block and kept every other line" \
  "$(cat "$work/hosts.clean")" "$(cat /etc/hosts)"
expect "the first pass emptied the anchor" rules_empty "$pfctl"
expect_eq "the first pass gave back the daemon's filter reference" \
  "Status: Disabled" "$("$pfctl" -s info)"
expect_not "the daemon's token file is gone" test -e /var/lib/tamrin/pf-token
expect_not "no policy file was created" test -e /var/lib/tamrin/policy.json

run "$bundle/bin/tamrinctl" status
expect_eq "sealed tamrinctl status: exit 0" 0 "$RUN_STATUS"
expect_eq "sealed tamrinctl status: the not-configured line" "$not_configured" "$RUN_OUT"
expect_eq "sealed tamrinctl status: nothing on standard error" "" "$RUN_ERR"

# A tamrinctl that is not the sealed one: a copy outside the bundle with one byte appended
# (a byte-identical copy has the sealed digest and is the sealed program).
cp "$bundle/bin/tamrinctl" "$work/tamrinctl-unsealed"
printf '\0' >>"$work/tamrinctl-unsealed"
run "$work/tamrinctl-unsealed" status
expect_eq "unsealed tamrinctl: exit 1" 1 "$RUN_STATUS"
expect_eq "unsealed tamrinctl: nothing on standard output" "" "$RUN_OUT"
expect_eq "unsealed tamrinctl: the refusal on standard error" \
  "error: The Tamrin daemon refused the connection." "$RUN_ERR"
expect "the daemon still serves after refusing a client" daemon_answers
stop_daemon

# --- protection left with a filter reference that someone else holds ---
leave_protection_behind no
start_daemon "$daemon"
expect_eq "hosts block removed again" "$(cat "$work/hosts.clean")" "$(cat /etc/hosts)"
expect "anchor emptied again" rules_empty "$pfctl"
expect_eq "the other holder's reference keeps the filter enabled" \
  "Status: Enabled" "$("$pfctl" -s info)"
run "$bundle/bin/tamrinctl" status
expect_eq "status after clearing: the not-configured line" "$not_configured" "$RUN_OUT"

finish
