# Start-up that owns its directories, and schedules that must end. A /run/tamrin left by
# another account (mode 0777, a FIFO as the suffix list and as the lock, a link as the token
# file) becomes root's with mode 0755 under a daemon started with umask 077, which then serves
# every account and writes its suffix list 0644; a FIFO put there later is never opened.
# Windows that block every minute of the week are refused by tamrinctl; a stored policy that
# holds them answers with the unavailable error, is kept while its block is in force, and is
# replaced by a valid configure or removed by tamrin-uninstall once nothing is in force.
# Daemons killed while writing the browser policies leave temporaries that the next start
# removes, with every other stale temporary of ours, and nothing else.
. "$(dirname "$0")/lib.sh"

bundle=$TAMRIN_BUNDLE_DIR
daemon=$bundle/bin/TamrinDaemon
pfctl=$bundle/libexec/tamrin-pfctl
uninstall=$bundle/libexec/tamrin-uninstall
readonly unavailable="error: Tamrin can’t safely read its blocking state. Restart the computer and try again."
readonly locked="error: Tamrin can’t be removed during an active block. Try again when access returns."
readonly endless_line="error: The windows block every minute of the week, so a block would never end; Tamrin needs at least one free minute."
readonly every_day='[1,2,3,4,5,6,7]'
readonly endless_windows="[{\"focusStartMinutes\":0,\"accessStartMinutes\":720,\"activeWeekdays\":$every_day},{\"focusStartMinutes\":720,\"accessStartMinutes\":0,\"activeWeekdays\":$every_day}]"
readonly chrome_dir=/etc/opt/chrome/policies/managed
readonly chromium_dir=/etc/chromium/policies/managed
readonly firefox_dir=/etc/firefox/policies

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# block_now [DOMAINS_JSON]: a block that opened a minute ago and lasts three hours.
block_now() {
  local now
  now=$(local_minute_now)
  echo "{\"domains\":${1:-[\"$site\"]},\"focusStartMinutes\":$(((now + 1439) % 1440)),\"accessStartMinutes\":$(((now + 180) % 1440)),\"activeWeekdays\":$every_day}"
}

cp /etc/hosts "$work/hosts.clean"

# --- a run directory that another account made ---
stop_daemon
rm -rf /run/tamrin
mkdir /run/tamrin
chown 65534:65534 /run/tamrin
chmod 0777 /run/tamrin
as_nobody mkfifo /run/tamrin/suffixes /run/tamrin/daemon.lock
as_nobody ln -s /etc/hostname /run/tamrin/pf-tokens
printf 'x' >/run/tamrin/.suffixes.tmp-k1ll3d00
umask 077
start_daemon "$daemon"
umask 022
expect_eq "the run directory is root's, mode 0755" "0 0 755" "$(stat -c '%u %g %a' /run/tamrin)"
expect "a FIFO lock file was replaced by a regular one" test -f /run/tamrin/daemon.lock
expect_eq "the lock names the daemon" "$DAEMON_PID" "$(tr -d '\n' </run/tamrin/daemon.lock)"
expect_not "the FIFO suffix list is gone" test -p /run/tamrin/suffixes
expect_not "the linked token file is gone" test -L /run/tamrin/pf-tokens
expect_not "a stale suffix-list temporary is removed" test -e /run/tamrin/.suffixes.tmp-k1ll3d00
run as_nobody "$CTL" status
expect_eq "another account's tamrinctl is served" 0 "$RUN_STATUS"
run "$CTL" configure <<<"$(block_now "[\"$site\",\"*.$site\"]")"
expect_eq "configure with a suffix rule: exit 0" 0 "$RUN_STATUS"
expect_eq "the suffix list is written 0644 under umask 077" "644 $site" \
  "$(stat -c %a /run/tamrin/suffixes) $(cat /run/tamrin/suffixes)"
expect_not "the other account cannot add to the run directory" \
  as_nobody touch /run/tamrin/intruder
rm -f /run/tamrin/suffixes
mkfifo /run/tamrin/suffixes
run timeout 10 "$CTL" configure <<<"$(block_now "[\"$site\",\"*.$site\"]")"
expect_eq "a pass over a FIFO suffix list completes" 0 "$RUN_STATUS"
expect_eq "the FIFO is replaced by the list" "$site" "$(timeout 2 cat /run/tamrin/suffixes)"
stop_daemon

# --- windows that never leave a minute free ---
run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"windows\":$endless_windows}"
expect_eq "tamrinctl refuses an endless schedule: exit 1" 1 "$RUN_STATUS"
expect_eq "tamrinctl refuses an endless schedule with one line" "$endless_line" "$RUN_ERR"

# Stored by an earlier version, while its block is in force (the block above left it). The
# second record of that block is cleared, so the stored state is all the daemon finds.
store_endless() {
  rm -f /run/tamrin/block-record
  "$pfctl" -a "$anchor" -t record -T flush >/dev/null 2>&1 || true
  printf '{"configuration":{"domains":["%s"],"windows":%s}}' "$site" "$endless_windows" \
    >/var/lib/tamrin/policy.json
  chmod 0600 /var/lib/tamrin/policy.json
}
store_endless
start_daemon_unconfigured() {
  "$daemon" >>"$work/daemon.log" 2>&1 &
  DAEMON_PID=$!
  says_unavailable() { [ "$("$CTL" status 2>&1)" = "$unavailable" ]; }
  wait_until 30 says_unavailable ||
    bail "the daemon over an endless policy did not answer within 30 s" "$("$CTL" status 2>&1)"
}
start_daemon_unconfigured
ok "a stored endless schedule is answered with the unavailable error"
run "$uninstall"
expect_eq "removal is refused while its block is in force" "$locked" "$RUN_ERR"
expect "the hosts block is still in force" hosts_has_block
run "$CTL" configure <<<"$(block_now)"
expect_eq "a valid configure replaces it" 0 "$RUN_STATUS"
# Its block runs now: the next transition is the access that ends it.
expect_eq "the new configuration governs at once" access \
  "$(json_member nextTransitionKind <<<"$RUN_OUT")"
stop_daemon

# Stored again, with nothing in force: tamrin-uninstall removes it.
store_endless
restore_clean() { rm -f /etc/hosts && cp "$work/hosts.clean" /etc/hosts; }
restore_clean
"$pfctl" -a "$anchor" -F rules >/dev/null 2>&1 || bail "tamrin-pfctl -F failed"
start_daemon_unconfigured
run "$uninstall"
expect_eq "with nothing in force, tamrin-uninstall agrees" 0 "$RUN_STATUS"
expect_not "the endless policy is gone" test -e /var/lib/tamrin/policy.json
expect_eq "status says not configured" notConfigured "$(json_member state <<<"$("$CTL" status)")"

# --- kills while the browser policies are written ---
mkdir -p "$chrome_dir" "$chromium_dir" "$firefox_dir"
domains=$("$python" -c 'import json,sys; print(json.dumps([sys.argv[1]] + ["s%05d.example.com" % i for i in range(1000)]))' "$site")
run "$CTL" configure <<<"$(block_now "$domains")"
expect_eq "configure a block of 1001 sites: exit 0" 0 "$RUN_STATUS"
expect "Chrome's policy is written" test -f "$chrome_dir/tamrin.json"
stop_daemon
# Each round removes the policy files and starts a daemon that is killed the moment one of
# its policy temporaries appears.
cat >"$work/kill_on_temporary.py" <<'PY'
import ctypes, os, select, signal, subprocess, sys
daemon, log, dirs = sys.argv[1], sys.argv[2], sys.argv[3:]
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
for d in dirs:
    libc.inotify_add_watch(fd, d.encode(), 0x100)  # IN_CREATE
with open(log, "ab") as out:
    proc = subprocess.Popen([daemon], stdout=out, stderr=out)
killed = False
while not killed and select.select([fd], [], [], 20)[0]:
    data = os.read(fd, 65536)
    offset = 0
    while offset < len(data):
        length = int.from_bytes(data[offset + 12:offset + 16], sys.byteorder)
        name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
        offset += 16 + length
        if b".tmp-" in name:
            proc.send_signal(signal.SIGKILL)
            killed = True
            break
proc.kill()
proc.wait()
PY
for round in $(seq 1 25); do
  rm -f "$chrome_dir/tamrin.json" "$chromium_dir/tamrin.json" "$firefox_dir/policies.json"
  "$python" "$work/kill_on_temporary.py" "$daemon" "$work/daemon.log" \
    "$chrome_dir" "$chromium_dir" "$firefox_dir"
done
# The exact pattern is a dot, the file's name, ".tmp-" and 8 letters or digits.
count_temporaries() {
  find "$chrome_dir" "$chromium_dir" "$firefox_dir" -maxdepth 1 -type f \
    -regextype posix-extended -regex '.*/\.(tamrin|policies)\.json\.tmp-[a-z0-9]{8}' | wc -l
}
left=$(count_temporaries)
echo "# killed daemons left $left policy temporaries"
printf 'x' >"$chrome_dir/.tamrin.json.tmp-k1ll3d00"
printf 'x' >"$firefox_dir/.policies.json.tmp-k1ll3d00"
printf 'x' >"$chrome_dir/.tamrin.json.tmp-keep"
printf 'x' >/run/tamrin/.pf-tokens.tmp-k1ll3d00
start_daemon "$daemon"
expect_eq "the next start removed every policy temporary" 0 "$(count_temporaries)"
expect_not "a stale token temporary is removed" test -e /run/tamrin/.pf-tokens.tmp-k1ll3d00
expect "a file that only looks like a temporary stays" test -e "$chrome_dir/.tamrin.json.tmp-keep"
expect "Chrome's policy is back" test -f "$chrome_dir/tamrin.json"

finish
