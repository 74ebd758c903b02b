#!/usr/bin/env bash
# Builds and runs the connect benchmark of tamrin-pfctl: TCP connects to an allowed address with
# 10 and with 10,000 blocked addresses loaded. Run as root; the benchmark runs itself inside
# scripts/sandbox, so the host's ruleset never changes.
# Usage: bench/pfctl_connect_bench.sh [build directory, default: build] [benchmark flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
cmake --build "$build" --target tamrin-pfctl pfctl_connect_bench >/dev/null
exec "$build/bench/pfctl_connect_bench" "$@"
