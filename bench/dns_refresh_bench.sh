#!/usr/bin/env bash
# The address refresh, measured inside scripts/sandbox against dnsmasq:
#  1. dns_refresh_bench: one refresh of 200 names whose every answer comes after 20 ms (wall
#     and CPU time per refresh; target under 0.5 s wall);
#  2. the daemon's idle cost during a block of a two-site list with the refresh on (TTL 5 s, so
#     a refresh every 30 s, the most often it runs): CPU time of the daemon and its children
#     over IDLE seconds, printed as milliseconds per minute (target at most 20).
# Run as root. Usage: bench/dns_refresh_bench.sh [build directory, default: build] [IDLE, default 120]
set -euo pipefail
if [ "${1-}" != --inside ]; then
  cd "$(dirname "$0")/.."
  build=$(realpath "${1:-build}")
  cmake --build "$build" >/dev/null
  exec scripts/sandbox env TAMRIN_BUNDLE_DIR="$build/Tamrin.app" TAMRIN_SOURCE_DIR="$PWD" \
    bash bench/dns_refresh_bench.sh --inside "$build" "${2:-120}"
fi
build=$2
idle=$3
. "$TAMRIN_SOURCE_DIR/tests/e2e/lib.sh"

{
  for i in $(seq 0 99); do
    printf '10.66.%d.1 site%d.test www.site%d.test\nfd66::%x site%d.test www.site%d.test\n' \
      "$i" "$i" "$i" "$((i + 1))" "$i" "$i"
  done
  printf '10.77.0.2 %s www.%s other-demo.test www.other-demo.test\n' "$site" "$site"
} >"$work/dns.hosts"
start_dns_server "$work/dns.hosts"
rm -f /etc/resolv.conf && echo "nameserver 127.0.0.1" >/etc/resolv.conf

"$build/bench/dns_refresh_bench"

start_daemon "$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon"
now=$(local_minute_now)
"$CTL" configure >/dev/null <<<"{\"domains\":[\"$site\",\"other-demo.test\"],\"focusStartMinutes\":$(((now + 1439) % 1440)),\"accessStartMinutes\":$(((now + 180) % 1440)),\"activeWeekdays\":[1,2,3,4,5,6,7]}"
sleep 5
# The daemon's own CPU in nanoseconds (all its threads), and its waited-for children in ticks.
own_ns() { cat /proc/"$DAEMON_PID"/task/*/schedstat | awk '{ s += $1 } END { print s }'; }
child_ticks() { awk '{ print $16 + $17 }' "/proc/$DAEMON_PID/stat"; }
own_before=$(own_ns)
child_before=$(child_ticks)
sleep "$idle"
own_after=$(own_ns)
child_after=$(child_ticks)
awk -v own=$((own_after - own_before)) -v child=$((child_after - child_before)) \
  -v hz="$(getconf CLK_TCK)" -v s="$idle" 'BEGIN {
  own_ms = own / 1e6 * 60 / s; child_ms = child * 1000 / hz * 60 / s
  printf "idle cost during a block (two sites, refresh every 30 s) over %d s:\n", s
  printf "  daemon itself (passes and refreshes): %.2f ms CPU per minute\n", own_ms
  printf "  its children (tamrin-pfctl runs of the passes): %.1f ms CPU per minute\n", child_ms
  printf "  total: %.1f ms CPU per minute\n", own_ms + child_ms }'
blocked=$("$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl" -a "$anchor" -sr | grep -c '^block ' || true)
echo "rule lines in force at the end: $blocked"
stop_daemon
