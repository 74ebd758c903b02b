# A block on "*.blocked.test" with the installed programs: the name-service module sends
# getent, curl and headless Chromium to the sink for old.blocked.test, Chromium's policy is in
# place with DNS-over-HTTPS off; a deleted policy file, an emptied suffix list, an edited hosts:
# line and a second one appended are put back by the pass their change brings, a missing module
# is reported; after the block the site answers again and the policy file is gone; removal
# leaves nsswitch.conf as it was, byte for byte.
. "$(dirname "$0")/lib.sh"
require_private_install_dirs

readonly app=/opt/Tamrin.app
readonly host=old.blocked.test
readonly policy_file=/etc/chromium/policies/managed/tamrin.json
multiarch_lib=/usr/lib/$(gcc -print-multiarch)
[ "$(findmnt -n -o FSTYPE --target "$multiarch_lib")" = overlay ] ||
  bail "$multiarch_lib is not a private mount of the sandbox"
command -v chromium >/dev/null || bail "chromium is not installed (scripts/install-deps)"

printf '%s blocked.test %s\n' "$test_address" "$host" >>/etc/hosts
mkdir -p /etc/chromium  # Chromium "installed": its policy layer applies
cp /etc/nsswitch.conf "$work/nsswitch.before"
start_test_site
# The sink: what a connection to 0.0.0.0 reaches on this machine.
mkdir -p "$work/sink" && echo sink >"$work/sink/index.html"
"$python" -m http.server --bind 127.0.0.1 --directory "$work/sink" 80 >/dev/null 2>&1 &
wait_until 10 fetch http://127.0.0.1/ || bail "the sink server did not start"

# chromium_page URL [COMMAND...]: the page headless Chromium shows, or its load error; run
# through COMMAND when given.
chromium_page() {
  local profile url=$1
  shift
  profile=$(mktemp -d "$work/chromium.XXXXXX")
  timeout 30 "$@" chromium --headless --no-sandbox --disable-gpu --user-data-dir="$profile" \
    --dump-dom "$url" 2>&1 | grep -o -e 'sink' -e 'Tamrin test site on port 80' -e 'ERR_[A-Z_]*' |
    head -n 1
}
first_address() { getent ahosts "$1" | awk 'NR == 1 { print $1 }'; }

printf 'passwd: files\n# hosts: files dns\n' >/etc/nsswitch.conf
run "$TAMRIN_SOURCE_DIR/scripts/install" "$TAMRIN_BUNDLE_DIR"
expect_eq "install without a hosts: line: refused" 1 "$RUN_STATUS"
expect_contains "install without a hosts: line: says why" "no hosts: line" "$RUN_ERR"
expect_not "install without a hosts: line: nothing installed" test -e "$app"
expect_eq "install without a hosts: line: the file unchanged" \
  $'passwd: files\n# hosts: files dns' "$(cat /etc/nsswitch.conf)"
cp "$work/nsswitch.before" /etc/nsswitch.conf

run "$TAMRIN_SOURCE_DIR/scripts/install" "$TAMRIN_BUNDLE_DIR"
[ "$RUN_STATUS" -eq 0 ] || bail "scripts/install failed" "$RUN_OUT" "$RUN_ERR"
CTL=/usr/local/bin/tamrinctl
expect "install: the module is in the library directory" test -f "$multiarch_lib/libnss_tamrin.so.2"
expect_eq "install: tamrin is first on the hosts: line" \
  "$(sed 's/^hosts:\([[:space:]]*\)/hosts:\1tamrin /' "$work/nsswitch.before")" "$(cat /etc/nsswitch.conf)"
start_daemon "$app/bin/TamrinDaemon"
expect_eq "before the block: getent finds the site" "$test_address" "$(first_address "$host")"

now=$(local_minute_now)
focus=$(((now + 1439) % 1440))
access=$(((now + 180) % 1440))
read -r _ block_end < <(next_start "$access")
run "$CTL" configure <<<"{\"domains\":[\"https://*.Blocked.test/\"],\"focusStartMinutes\":$focus,\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
expect_eq "configure: exit 0" 0 "$RUN_STATUS"
expect_eq "configure: the rule keeps its *." '["*.blocked.test"]' \
  "$(json_member configuration <<<"$RUN_OUT" | "$python" -c 'import json,sys; print(json.dumps(json.load(sys.stdin)["domains"], separators=(",", ":")))')"
expect_eq "configure: protected" protected "$(json_member state <<<"$RUN_OUT")"
expect_eq "the suffix list names the rule's domain" blocked.test "$(cat /run/tamrin/suffixes)"
expect_eq "getent: a subdomain goes to the sink" 0.0.0.0 "$(first_address "$host")"
expect_eq "getent: a deeper subdomain goes to the sink" 0.0.0.0 "$(first_address "a.b.$host")"
# sink_or_refused TEXT: the sink answered, or the names on the wire refused the request at it
# by its Host header (which of the two comes first on loopback is a race).
sink_or_refused() { [[ "$1" == sink || "$1" == *"connection abort"* || "$1" == ERR_CONNECTION_ABORTED ]]; }
expect "curl: a subdomain reaches the sink" sink_or_refused "$(fetch "http://$host/" -4 2>&1)"
expect_eq "Chromium's policy turns DNS-over-HTTPS off" off \
  "$("$python" -c 'import json,sys; print(json.load(open(sys.argv[1]))["DnsOverHttpsMode"])' "$policy_file" 2>&1)"
expect_eq "Chromium: the policy blocks the subdomain" ERR_BLOCKED_BY_ADMINISTRATOR \
  "$(chromium_page "http://$host/")"

# Protection taken apart by hand: the policy file, the suffix list, the hosts: line. Each
# file is watched: the pass its change brings puts it back at once.
rm -f "$policy_file"
if wait_until 5 test -f "$policy_file"; then
  ok "a removed Chromium policy is back at once (after ${WAITED} s)"
else
  not_ok "a removed Chromium policy is back within 5 s" "$(ls -la "$(dirname "$policy_file")")"
fi
# Chromium in a mount namespace of its own where it finds no policy.
without_policies=(unshare --mount sh -c 'mount -t tmpfs none /etc/chromium && exec "$@"' sh)
expect "Chromium without its policy: the module sends it to the sink" sink_or_refused \
  "$(chromium_page "http://$host/" "${without_policies[@]}")"
: >/run/tamrin/suffixes
suffixes_back() { [ "$(cat /run/tamrin/suffixes)" = blocked.test ]; }
if wait_until 5 suffixes_back; then
  ok "an emptied suffix list is written again at once (after ${WAITED} s)"
else
  not_ok "an emptied suffix list is written again within 5 s" "$(cat /run/tamrin/suffixes)"
fi
expect_eq "after the suffix list is back: getent sends the subdomain to the sink" 0.0.0.0 \
  "$(first_address "$host")"
# A second hosts: line appended: glibc takes the last one, so it gets tamrin first too.
echo 'hosts: files dns' >>/etc/nsswitch.conf
both_first() { [ "$(grep -c '^hosts:[[:space:]]*tamrin ' /etc/nsswitch.conf)" = 2 ]; }
if wait_until 5 both_first; then
  ok "a second hosts: line gets tamrin first at once (after ${WAITED} s)"
else
  not_ok "a second hosts: line gets tamrin first within 5 s" "$(cat /etc/nsswitch.conf)"
fi
expect_eq "with a second hosts: line: getent sends the subdomain to the sink" 0.0.0.0 \
  "$(first_address "$host")"
expect_eq "with a second hosts: line: no layer problem" protected "$(status_member state)"
sed -i '$d' /etc/nsswitch.conf  # the appended line goes again
expect_eq "the first hosts: line is as the daemon left it" \
  "$(sed 's/^hosts:\([[:space:]]*\)/hosts:\1tamrin /' "$work/nsswitch.before")" "$(cat /etc/nsswitch.conf)"
sed -i 's/^hosts:\([[:space:]]*\)tamrin /hosts:\1/' /etc/nsswitch.conf
repaired() { [ -f "$policy_file" ] && grep -q '^hosts:[[:space:]]*tamrin ' /etc/nsswitch.conf; }
# The edit of nsswitch.conf is watched: the pass it brings repairs both.
if wait_until 5 repaired; then
  ok "the pass after the edit puts back the hosts: line and the policy file (after ${WAITED} s)"
else
  not_ok "the hosts: line and the policy file are back within 5 s" "$(cat /etc/nsswitch.conf)"
fi
expect_eq "status after the repair: protected, no layer problem" protected "$(status_member state)"

# The module gone: the first pass of a restarted daemon reports it.
mv "$multiarch_lib/libnss_tamrin.so.2" "$work/module.away"
stop_daemon
start_daemon "$app/bin/TamrinDaemon"
run "$CTL" status
expect_eq "without the module: attention" attention "$(json_member state <<<"$RUN_OUT")"
expect_contains "without the module: status says why" \
  '"layerProblems":{"nameService":"the name-service module' "$RUN_OUT"
mv "$work/module.away" "$multiarch_lib/libnss_tamrin.so.2"

# The end of the block: the daemon's clock moved to 5 s before it.
stop_daemon
start_daemon "$app/bin/TamrinDaemon" "+$((block_end - $(date +%s) - 5))s"
access_now() { [ "$(status_member state)" = access ]; }
if wait_until 30 access_now; then ok "the block ends (after ${WAITED} s)"; else
  not_ok "the block ends within 30 s" "$("$CTL" status 2>&1)"; fi
expect_eq "after the block: the suffix list is empty" "" "$(cat /run/tamrin/suffixes)"
expect_not "after the block: Chromium's policy file is gone" test -e "$policy_file"
expect_eq "after the block: getent finds the site" "$test_address" "$(first_address "$host")"
expect_eq "after the block: curl reaches the site" "Tamrin test site on port 80" \
  "$(fetch "http://$host/" 2>&1)"
expect_eq "after the block: Chromium reaches the site" "Tamrin test site on port 80" \
  "$(chromium_page "http://$host/")"

run make -s -C "$TAMRIN_SOURCE_DIR" uninstall
expect_eq "make uninstall: exit 0" 0 "$RUN_STATUS"
expect "make uninstall: nsswitch.conf is as it was, byte for byte" \
  cmp "$work/nsswitch.before" /etc/nsswitch.conf
expect_not "make uninstall: the module is gone" test -e "$multiarch_lib/libnss_tamrin.so.2"
expect_not "make uninstall: the suffix list is gone" test -e /run/tamrin/suffixes

finish
