#!/usr/bin/env bash
# Builds and runs the decision benchmark of reading names on the wire: the time from a packet
# copy received to the refused flow's socket destroyed and its connection marked (median, p99).
# Run as root; the benchmark runs itself inside scripts/sandbox, so the host's ruleset never
# changes.
# Usage: bench/wire_decision_bench.sh [build directory, default: build] [milliseconds between
# new flows, default: 5, 200 flows per second; 0: back to back]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target tamrin-pfctl wire_decision_bench >/dev/null
exec "$build/bench/wire_decision_bench" "${2:-5}"
