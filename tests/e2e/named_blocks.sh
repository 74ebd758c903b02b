# Two named blocks on the daemon of the bundle, whose clock (libfaketime, shared with
# tamrinctl) starts at 2026-03-02 11:59:40 UTC: "work" blocks one site 11:00-12:00 and
# "evening" another 12:01-13:00. At each block's hours exactly its sites are sunk and their
# addresses refused; a change made during work keeps work's sites until tomorrow, while the
# evening, which is not running, takes its new sites at its own start.
. "$(dirname "$0")/lib.sh"

daemon=$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon
pfctl=$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl
library=$(faketime_library) || bail "libfaketime is not installed (scripts/install-deps)"
export TZ=UTC DONT_FAKE_MONOTONIC=1
readonly work_end=$(date -u -d '2026-03-02 12:00:00' +%s)
readonly evening_start=$((work_end + 60))
offset=$((work_end - 20 - $(date +%s)))
readonly faked=$(printf '%+ds' "$offset")
ctl_faked() { LD_PRELOAD=$library FAKETIME=$faked "$TAMRIN_BUNDLE_DIR/bin/tamrinctl" "$@"; }
CTL=ctl_faked
fake_now() { echo $(($(date +%s) + offset)); }

# The work site is the test site; the others resolve (through the sandbox's hosts file) to
# addresses of their own.
readonly evening_site=evening-demo.test evening_address=10.77.0.3
readonly extra_work=extra-work.test extra_work_address=10.77.0.4
readonly extra_evening=extra-evening.test extra_evening_address=10.77.0.5
printf '%s %s\n' "$test_address" "$site" "$evening_address" "$evening_site" \
  "$extra_work_address" "$extra_work" "$extra_evening_address" "$extra_evening" >>/etc/hosts
start_test_site
start_daemon "$daemon" "$faked"

sunk() { grep -qx $'0.0.0.0\t'"$1" /etc/hosts; }
refused() { anchor_rules "$pfctl" | grep -q " to $1 port = "; }
served() { fetch "http://$site/" >/dev/null; }
# block_member NAME KEY: that member of the named block in the status line.
block_member() {
  ctl_faked status | "$python" -c '
import json, sys
for block in json.load(sys.stdin).get("blocks", []):
    if block["name"] == sys.argv[1]:
        print(block.get(sys.argv[2], ""))' "$1" "$2"
}
blocks() {
  printf '{"blocks":[{"name":"work","domains":[%s],"focusStartMinutes":660,"accessStartMinutes":720,"activeWeekdays":[1,2,3,4,5,6,7]},' "$1"
  printf '{"name":"evening","domains":[%s],"windows":[{"focusStartMinutes":721,"accessStartMinutes":780,"activeWeekdays":[2]}]}]}' "$2"
}

run ctl_faked configure <<<"$(blocks "\"$site\"" "\"$evening_site\"")"
expect_eq "configure with two named blocks: exit 0" 0 "$RUN_STATUS"
[ "$(fake_now)" -lt "$work_end" ] || bail "the daemon took too long to start: work had ended"
expect_eq "during work: protected" protected "$(status_member state)"
expect_eq "during work: the machine's next transition is work's end" \
  "2026-03-02T12:00:00Z" "$(status_member nextTransition)"
expect_eq "during work: work is protected" protected "$(block_member work state)"
expect_eq "during work: the evening is not" access "$(block_member evening state)"
expect_eq "during work: the evening starts at 12:01" "2026-03-02T12:01:00Z" \
  "$(block_member evening nextTransition)"
expect "during work: the work site is sunk" sunk "$site"
expect_not "during work: the evening site is not" sunk "$evening_site"
expect "during work: the work site's address is refused" refused "$test_address"
expect_not "during work: the evening site's address is not" refused "$evening_address"
expect_not "during work: the work site is not served" served

# During work, each block gains a site: work's change waits for its next start, the
# evening's applies at its own start.
run ctl_faked configure <<<"$(blocks "\"$site\",\"$extra_work\"" "\"$evening_site\",\"$extra_evening\"")"
expect_eq "a change during work: exit 0" 0 "$RUN_STATUS"
expect_eq "the change: work's staged sites take over at its next start" \
  "2026-03-03T11:00:00Z" "$(block_member work pendingChangesApplyAt)"
expect_eq "the change: the evening's takes over at its own start today" \
  "2026-03-02T12:01:00Z" "$(block_member evening pendingChangesApplyAt)"
expect_not "the change: work keeps its sites" sunk "$extra_work"
expect "the change: the work site is still sunk" sunk "$site"

after_work() { [ "$(fake_now)" -ge "$work_end" ] && ! sunk "$site"; }
wait_until 40 after_work || not_ok "work ended within 40 s" "$(ctl_faked status 2>&1)"
expect_eq "between the blocks: access" access "$(status_member state)"
expect "between the blocks: no hosts block" hosts_has_no_block
expect "between the blocks: the work site is served" served

in_evening() { sunk "$evening_site"; }
if wait_until 75 in_evening; then
  reached=$(fake_now)
  if [ "$reached" -ge "$evening_start" ] && [ "$reached" -le $((evening_start + 5)) ]; then
    ok "the evening starts at its instant ($((reached - evening_start)) s after it)"
  else
    not_ok "the evening starts at its instant" "reached at $reached, expected at $evening_start"
  fi
else
  not_ok "the evening started within 75 s" "$(ctl_faked status 2>&1)"
fi
expect_eq "in the evening: the evening is protected" protected "$(block_member evening state)"
expect_eq "in the evening: work is not" access "$(block_member work state)"
expect "in the evening: its new site is sunk too" sunk "$extra_evening"
expect_not "in the evening: the work site is not sunk" sunk "$site"
expect_not "in the evening: work's staged site is not sunk" sunk "$extra_work"
expect "in the evening: the evening sites' addresses are refused" \
  refused "$evening_address"
expect "in the evening: the new evening site's address is refused" \
  refused "$extra_evening_address"
expect_not "in the evening: the work site's address is not" refused "$test_address"
expect "in the evening: the work site is served" served
run ctl_faked status
expect_contains "in the evening: the configuration echoes the blocks as sent" \
  "\"configuration\":{\"blocks\":[{\"accessStartMinutes\":720" "$RUN_OUT"

finish
