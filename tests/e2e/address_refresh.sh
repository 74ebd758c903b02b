# A site that moves during a block: dnsmasq answers the site's names from a file; a block
# starts with the site at the test address; the file then points the names at a second
# address and dnsmasq reloads it. Within a minute the daemon refuses the site at the new
# address too, still refuses it at the old one, keeps another port of the new address open,
# and its policy file holds both addresses; the status shows no mismatch.
. "$(dirname "$0")/lib.sh"

readonly new_address=10.77.0.4
readonly everyday='[1,2,3,4,5,6,7]'
pfctl=$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl

ip address add "$new_address/32" dev lo || bail "cannot add $new_address"
start_test_site
"$TAMRIN_SOURCE_DIR/scripts/test-site" "$new_address" 80 443 8080 >"$work/site2.out" 2>&1 &
wait_until 20 grep -qx ready "$work/site2.out" || bail "the second site did not start"

point_site_at() { printf '%s %s\n%s www.%s\n' "$1" "$site" "$1" "$site" >"$work/dns.hosts"; }
point_site_at "$test_address"
start_dns_server "$work/dns.hosts"
rm -f /etc/resolv.conf && echo "nameserver 127.0.0.1" >/etc/resolv.conf
start_daemon "$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon"

now=$(local_minute_now)
run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$(((now + 1439) % 1440)),\"accessStartMinutes\":$(((now + 180) % 1440)),\"activeWeekdays\":$everyday}"
expect_eq "configure starts a block" 0 "$RUN_STATUS"
# The hosts block is written at once; the rules follow as soon as the servers answered.
refused_at_first() { ! fetch "http://$test_address/"; }
if wait_until 5 refused_at_first; then
  ok "the site is refused at its address (after ${WAITED} s)"
else
  not_ok "the site is refused at its address within 5 s" "$(anchor_rules "$pfctl")"
fi
expect "the new address still answers before the move" fetch "http://$new_address/"

sleep 3  # the block's first refresh has run and found nothing new; the move comes after it
point_site_at "$new_address"
reload_dns_server
refused() { ! fetch "http://$new_address/"; }
if wait_until 60 refused; then
  ok "after the move the site is refused at its new address (after ${WAITED} s)"
else
  not_ok "the new address is refused within 60 s" "$(anchor_rules "$pfctl")"
fi
expect_not "and still at the old one" fetch "http://$test_address/"
expect "another port of the new address still answers" fetch "http://$new_address:8080/"
addresses=$("$python" -c 'import json,sys; print(" ".join(json.load(sys.stdin)["resolvedAddresses"]))' \
  </var/lib/tamrin/policy.json)
expect_eq "the policy file holds both addresses" "$test_address $new_address" "$addresses"
expect_eq "one label over both addresses in the anchor" 8 \
  "$(anchor_rules "$pfctl" | grep -c "label \"$(anchor_rules "$pfctl" | head -1 | sed 's/.*label "\(.*\)"/\1/')\"")"
expect_eq "the status shows no mismatch" false "$(status_member hasProtectionMismatch)"
finish
