# A large list while the DNS servers never answer: first a server on 127.0.0.1 that reads
# queries and never replies, then a server the sandbox has no route to (every query fails at
# once). With 8,000 sites the daemon stays up, `configure` replies, status answers while the
# names are looked up, and a block's hosts entries are written at once.
. "$(dirname "$0")/lib.sh"

readonly count=8000
daemon=$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon

# A server on 127.0.0.1:53 (UDP and TCP) that takes queries and never answers.
"$python" -c '
import socket, time
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("127.0.0.1", 53))
tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
tcp.bind(("127.0.0.1", 53))
tcp.listen(1024)
print("ready", flush=True)
while True:
    time.sleep(60)
' >"$work/silent.out" 2>&1 &
wait_until 10 grep -qx ready "$work/silent.out" || bail "the silent server did not start" "$(cat "$work/silent.out")"
rm -f /etc/resolv.conf && echo "nameserver 127.0.0.1" >/etc/resolv.conf

# configuration FOCUS ACCESS: the JSON of $count sites blocked from FOCUS to ACCESS every day.
configuration() {
  "$python" -c '
import json, sys
print(json.dumps({"domains": ["site%05d.example.org" % i for i in range(int(sys.argv[1]))],
                  "focusStartMinutes": int(sys.argv[2]), "accessStartMinutes": int(sys.argv[3]),
                  "activeWeekdays": [1, 2, 3, 4, 5, 6, 7]}))' "$count" "$1" "$2"
}

# status_calls N: N status calls half a second apart; prints how many were answered.
status_calls() {
  local answered=0 i
  for ((i = 0; i < $1; i++)); do
    "$CTL" status >/dev/null 2>&1 && answered=$((answered + 1))
    sleep 0.5
  done
  echo "$answered"
}

# 1. Outside a block: the sites are looked up after the reply, without holding requests up.
start_daemon "$daemon"
now=$(local_minute_now)
configuration $(((now + 120) % 1440)) $(((now + 180) % 1440)) >"$work/later.json"
start=$EPOCHREALTIME
run "$CTL" configure <"$work/later.json"
expect_eq "configure outside a block replies" 0 "$RUN_STATUS"
[ "$RUN_STATUS" -eq 0 ] || details "$RUN_ERR"
expect_eq "status answers every call while the names are looked up" 12 "$(status_calls 12)"
expect "the daemon is still running" kill -0 "$DAEMON_PID"
expect "no hosts block outside the window" hosts_has_no_block
stop_daemon

# 2. A block that starts at once, with a server out of reach: its hosts entries do not wait
#    for the lookups, and the lookups failing one after another do not bring the daemon down.
rm -f /var/lib/tamrin/policy.json
echo "nameserver 192.0.2.53" >/etc/resolv.conf
start_daemon "$daemon"
now=$(local_minute_now)
configuration $(((now + 1439) % 1440)) $(((now + 180) % 1440)) >"$work/now.json"
run "$CTL" configure <"$work/now.json"
expect_eq "configure starting a block replies" 0 "$RUN_STATUS"
[ "$RUN_STATUS" -eq 0 ] || details "$RUN_ERR"
if hosts_has_block && grep -q "site07999.example.org" /etc/hosts; then
  ok "the hosts block with every site is in place when configure returns"
else
  not_ok "the hosts block is in place when configure returns" "$(grep -c . /etc/hosts) lines"
fi
expect_eq "status answers every call during the block's first lookups" 12 "$(status_calls 12)"
expect "the daemon is still running" kill -0 "$DAEMON_PID"
expect_eq "a block runs: its end is the next transition" access "$(status_member nextTransitionKind)"
finish
