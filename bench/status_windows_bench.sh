#!/usr/bin/env bash
# Times `tamrinctl status` as a user runs it (a new process, a connection, the daemon's handler,
# the printed line) against the real daemon of the bundle holding a policy of 1 and of 64
# windows, then of 1 and of 32 named blocks (8 windows each); the target is that 64 windows,
# and 32 blocks, stay within twice the time of one. Run as root; the
# benchmark runs itself inside scripts/sandbox, so nothing on this machine changes.
# Usage: bench/status_windows_bench.sh [build directory, default: build] [requests, default: 200]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
requests=${2:-200}
if [ "${TAMRIN_STATUS_BENCH_INSIDE-}" != 1 ]; then
  cmake --build "$build" --target TamrinDaemon tamrinctl >/dev/null
  exec env TAMRIN_STATUS_BENCH_INSIDE=1 scripts/sandbox "$BASH" "$0" "$build" "$requests"
fi

bundle=$build/Tamrin.app
echo "127.0.0.1 example.com news.org" >>/etc/hosts
for shape in "1 window" "64 windows" "1 block" "32 blocks"; do
  /usr/bin/python3 - $shape >/var/lib/tamrin/policy.json <<'PYTHON'
import json, sys
count, kind = int(sys.argv[1]), sys.argv[2]
def spread(count, shift=0):
    share = 1440 // count
    return [{"focusStartMinutes": (i * share + shift) % 1440,
             "accessStartMinutes": (i * share + shift + share // 2) % 1440} for i in range(count)]
if kind.startswith("window"):
    configuration = {"domains": ["example.com", "news.org"], "windows": spread(count)}
else:
    configuration = {"blocks": [{"name": "block %d" % b, "windows": spread(8, 3 * b),
                                 "domains": ["s%d.example" % b, "t%d.example" % b]}
                                for b in range(count)]}
print(json.dumps({"configuration": configuration}, separators=(",", ":")))
PYTHON
  chmod 0600 /var/lib/tamrin/policy.json
  "$bundle/bin/TamrinDaemon" >/dev/null 2>&1 &
  daemon=$!
  for _ in $(seq 100); do
    "$bundle/bin/tamrinctl" status >/dev/null 2>&1 && break
    sleep 0.1
  done
  "$bundle/bin/tamrinctl" status >/dev/null
  start=$EPOCHREALTIME
  for _ in $(seq "$requests"); do "$bundle/bin/tamrinctl" status >/dev/null; done
  end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" -v n="$requests" -v w="$shape" \
    'BEGIN { printf "tamrinctl status, %-10s: %.2f ms per request (%d requests)\n", w, (b - a) * 1000 / n, n }'
  kill -KILL "$daemon"
  wait "$daemon" 2>/dev/null || true
done
