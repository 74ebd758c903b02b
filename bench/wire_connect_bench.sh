#!/usr/bin/env bash
# What reading names on the wire costs an allowed connection and the daemon: the median time
# from connect() to the first byte of the answer over CONNECTIONS new connections to an
# unblocked name (HTTP on port 80, then TLS on 443, both copied to the daemon during a block,
# then HTTP to a site that, like one across a network, answers 20 ms after the request: this
# kernel has no netem) before a block, during it and after it, with the ratio outside / during (target: at least
# 0.98), and the daemon's CPU time per 1,000 inspected flows (user + system from
# /proc/<pid>/stat, and the finer sum of its threads' run time from /proc/<pid>/task/*/schedstat),
# beside its CPU over as long with no connection.
# Prints figures and asserts nothing. Run as root; everything runs inside scripts/sandbox.
# Usage: bench/wire_connect_bench.sh [build directory, default: build] [CONNECTIONS, default: 2000]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
connections=${2:-2000}
if [ "${TAMRIN_WIRE_CONNECT_BENCH_INSIDE-}" != 1 ]; then
  cmake --build "$build" --target TamrinDaemon tamrinctl tamrin-pfctl >/dev/null
  # Raised priority for the sites, the client and the daemon alike, so that other work on the
  # machine weighs less in the figures.
  exec nice -n -10 env TAMRIN_WIRE_CONNECT_BENCH_INSIDE=1 \
    scripts/sandbox "$BASH" "$0" "$build" "$connections"
fi

export TAMRIN_BUNDLE_DIR=$build/Tamrin.app TAMRIN_SOURCE_DIR=$PWD
. tests/e2e/lib.sh
set +e  # as in the scenarios: lib.sh's helpers report their own failures
readonly server=10.77.0.5 far_server=10.77.0.6 name=open.test
ip address add "$server/32" dev lo
ip address add "$far_server/32" dev lo
printf '%s %s blocked.test\n' "$test_address" "$site" >>/etc/hosts

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=tamrin-bench \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
"$python" tests/e2e/wire_site.py "$server" 80 --serial >"$work/http.out" 2>&1 &
"$python" tests/e2e/wire_site.py "$server" 443 --serial --tls "$work/cert.pem" "$work/key.pem" \
  >"$work/tls.out" 2>&1 &
"$python" tests/e2e/wire_site.py "$far_server" 80 --serial --delay 20 >"$work/far.out" 2>&1 &
wait_until 20 grep -qx ready "$work/http.out" || bail "the HTTP site did not start"
wait_until 20 grep -qx ready "$work/far.out" || bail "the distant HTTP site did not start"
wait_until 20 grep -qx ready "$work/tls.out" || bail "the TLS site did not start"

# series PROTOCOL COUNT: the median seconds from connect() to the first byte over COUNT new
# connections, after 50 not counted; PROTOCOL "far" is HTTP to the site 20 ms away.
series() {
  local to=$server protocol=$1
  [ "$protocol" = far ] && to=$far_server protocol=http
  "$python" - "$to" "$name" "$protocol" "$2" <<'PYTHON'
import socket, ssl, statistics, sys, time

server, name, protocol, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
context = None
if protocol == "tls":
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
request = f"GET / HTTP/1.1\r\nHost: {name}\r\nConnection: close\r\n\r\n".encode()

def once():
    start = time.perf_counter()
    connection = socket.create_connection((server, 443 if context else 80), timeout=5)
    if context:
        connection = context.wrap_socket(connection, server_hostname=name)
    connection.sendall(request)
    if not connection.recv(1):
        sys.exit("the connection closed before the first byte")
    elapsed = time.perf_counter() - start
    connection.close()
    return elapsed

for _ in range(50):
    once()
print(statistics.median(once() for _ in range(count)))
PYTHON
}

# The daemon's CPU: "<ticks of user + system> <nanoseconds its threads ran>".
daemon_cpu() {
  local ticks ns=0 task
  ticks=$(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$DAEMON_PID/stat")
  for task in /proc/"$DAEMON_PID"/task/*/schedstat; do
    ns=$((ns + $(cut -d' ' -f1 "$task" 2>/dev/null || echo 0)))
  done
  echo "$ticks $ns"
}
# cpu_report WHAT BEFORE AFTER: the daemon's CPU per 1,000 connections between two readings.
cpu_report() {
  local tick_ms
  tick_ms=$(awk -v hz="$(getconf CLK_TCK)" 'BEGIN { print 1000 / hz }')
  read -r t0 n0 <<<"$2"
  read -r t1 n1 <<<"$3"
  awk -v what="$1" -v t="$((t1 - t0))" -v n="$((n1 - n0))" -v ms="$tick_ms" -v c="$connections" \
    'BEGIN { printf "daemon CPU %s: %.2f ms per 1,000 flows (/proc stat: %d ticks of %.0f ms), " \
                    "%.3f ms per 1,000 flows (schedstat)\n",
             what, t * ms * 1000 / c, t, ms, n / 1e6 * 1000 / c }'
}

# measure PHASE: the series of the three kinds, with the daemon's CPU over each; then the
# daemon's CPU over as long as the last series took with no connection at all, which is what
# the block costs without any flow to inspect.
declare -A median
measure() {
  local protocol before started
  for protocol in http tls far; do
    before=$(daemon_cpu)
    started=$(date +%s)
    median[$1/$protocol]=$(series "$protocol" "$connections")
    cpu_report "$1, $protocol" "$before" "$(daemon_cpu)"
  done
  before=$(daemon_cpu)
  sleep $(($(date +%s) - started))
  cpu_report "$1, no connection for as long as the far series" "$before" "$(daemon_cpu)"
}

start_daemon "$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon"
measure "before the block"

now=$(local_minute_now)
access=$(((now + 180) % 1440))
read -r _ block_end < <(next_start "$access")
run "$CTL" configure <<<"{\"domains\":[\"$site\",\"*.blocked.test\"],\"focusStartMinutes\":$(((now + 1439) % 1440)),\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
[ "$RUN_STATUS" -eq 0 ] || bail "configure failed" "$RUN_OUT" "$RUN_ERR"
names_loaded() { nft list chain inet tamrin names >/dev/null 2>&1; }
wait_until 10 names_loaded || bail "the names chain was not loaded during the block"
measure "during the block"
refused=$(status_member flowsRefusedByName)
echo "refused by name during the block: ${refused:-0} (none expected)"

# After the block (the daemon's clock moved to 2 s before its end), so that a drift of the
# machine's load over the run shows as a difference between before and after.
stop_daemon
start_daemon "$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon" "+$((block_end - $(date +%s) - 2))s"
outside_block() { [ "$(status_member state)" = access ] && ! names_loaded; }
wait_until 30 outside_block || bail "the block did not end"
measure "after the block"

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for protocol in http tls far; do
  awk -v p="$protocol" -v a="${median[before the block/$protocol]}" \
    -v b="${median[during the block/$protocol]}" -v c="${median[after the block/$protocol]}" \
    -v n="$connections" \
    'BEGIN { printf "%s connect + first byte, median of %d: before %.1f us, during %.1f us, " \
                    "after %.1f us; ratio outside/during %.3f (outside: mean of before and " \
                    "after; target >= 0.98)\n",
             p, n, a * 1e6, b * 1e6, c * 1e6, (a + c) / 2 / b }'
done
