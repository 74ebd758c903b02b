#!/usr/bin/env bash
# What one `tamrinctl status` costs as a user runs it (a new process, a connection, the daemon's
# handler, the printed line) against the real daemon of the bundle holding a one-window policy,
# beside a bare process spawn (/bin/true): both are started RUNS times in turn, each run's CPU
# (user + system, the kernel's accounting of the finished child) and wall time are kept, and the
# medians and the median of the pairwise ratios are printed (target: status at most 2x
# /bin/true in CPU). Then the file-name system calls of one status (strace -c), when strace is
# installed. Run as root; the measurement runs inside scripts/sandbox, so nothing here changes.
# Usage: bench/status_cpu_bench.sh [build directory, default: build] [RUNS, default: 50]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
runs=${2:-50}
if [ "${TAMRIN_STATUS_CPU_BENCH_INSIDE-}" != 1 ]; then
  cmake --build "$build" --target TamrinDaemon tamrinctl >/dev/null
  exec env TAMRIN_STATUS_CPU_BENCH_INSIDE=1 scripts/sandbox "$BASH" "$0" "$build" "$runs"
fi

bundle=$build/Tamrin.app
ctl=$bundle/bin/tamrinctl
echo "127.0.0.1 example.com" >>/etc/hosts
printf '%s\n' '{"configuration":{"domains":["example.com"],"windows":[{"focusStartMinutes":540,"accessStartMinutes":1020}]}}' \
  >/var/lib/tamrin/policy.json
chmod 0600 /var/lib/tamrin/policy.json
"$bundle/bin/TamrinDaemon" >/dev/null 2>&1 &
daemon=$!
trap 'kill -KILL "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  "$ctl" status >/dev/null 2>&1 && break
  sleep 0.1
done
"$ctl" status >/dev/null

/usr/bin/python3 - "$runs" "$ctl" <<'PYTHON'
import os, statistics, sys, time

runs, ctl = int(sys.argv[1]), sys.argv[2]
null = os.open(os.devnull, os.O_RDWR)

def once(argv):
    """CPU and wall seconds of one run of argv, its output thrown away."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, null, 0),
                                       (os.POSIX_SPAWN_DUP2, null, 1),
                                       (os.POSIX_SPAWN_DUP2, null, 2)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed with status {status}")
    return usage.ru_utime + usage.ru_stime, wall

status_cmd, true_cmd = [ctl, "status"], ["/bin/true"]
for _ in range(3):  # warm-up, not counted
    once(status_cmd), once(true_cmd)
pairs = [(once(status_cmd), once(true_cmd)) for _ in range(runs)]
for index, what in ((0, "CPU"), (1, "wall")):
    a = [p[0][index] for p in pairs]
    b = [p[1][index] for p in pairs]
    ratios = [x / y for x, y in zip(a, b) if y > 0]
    print(f"{what:>4}: tamrinctl status median {statistics.median(a) * 1000:.3f} ms "
          f"(min {min(a) * 1000:.3f}, max {max(a) * 1000:.3f}); /bin/true median "
          f"{statistics.median(b) * 1000:.3f} ms; median ratio "
          f"{statistics.median(ratios) if ratios else float('nan'):.2f} ({runs} pairs)")
PYTHON

if command -v strace >/dev/null; then
  strace -f -c -e trace=%file -o /run/status.strace "$ctl" status >/dev/null
  echo "file-name system calls of one tamrinctl status (strace -c):"
  grep -E 'stat|open|access|readlink|total' /run/status.strace
fi
