#!/usr/bin/env bash
# What the name-service module adds to getaddrinfo for a name under no blocked suffix, with
# 1,000 suffixes listed. Run as root: the measurement runs inside scripts/sandbox (its own
# /etc/nsswitch.conf, /etc/hosts and /run), so nothing of this machine changes.
# Usage: bench/nss_lookup_bench.sh [build directory, default: build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ "${2-}" != --inside ]; then
  cmake --build "$build" --target nss_tamrin nss_lookup_bench >/dev/null
  exec scripts/sandbox "$BASH" "$0" "$build" --inside
fi

bench=$build/bench/nss_lookup_bench
mkdir -p /run/tamrin
for i in $(seq 1000); do echo "blocked-site-$i.example"; done >/run/tamrin/suffixes
echo "10.77.0.2 static.cdn.allowed-site.example" >>/etc/hosts
export TAMRIN_BENCH_NAME=static.cdn.allowed-site.example LD_LIBRARY_PATH=$build/Tamrin.app/lib

# median_ns SOURCES: the median CPU time of one getaddrinfo, in ns, with "hosts: SOURCES".
median_ns() {
  echo "hosts: $1" >/etc/nsswitch.conf
  "$bench" --benchmark_filter=BM_Getaddrinfo --benchmark_repetitions=9 \
    --benchmark_min_time=0.3 --benchmark_format=csv 2>/dev/null |
    awk -F, '$1 ~ /_median"?$/ { print $4 }'
}

"$bench" --benchmark_filter=BM_ModuleCheckForAnUnlistedName
without=$(median_ns "files")
with=$(median_ns "tamrin files")
awk -v a="$without" -v b="$with" 'BEGIN {
  printf "getaddrinfo, hosts: files         %8.2f us\n", a / 1000
  printf "getaddrinfo, hosts: tamrin files  %8.2f us\n", b / 1000
  printf "added by the module (1,000 suffixes): %.2f us per lookup\n", (b - a) / 1000
}'
