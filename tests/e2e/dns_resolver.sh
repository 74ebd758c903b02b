# The direct resolver against dnsmasq: A and AAAA with their TTL, an answer of a thousand
# records (truncated over UDP, fetched again over TCP) of which the filter takes 64, local
# kinds of address dropped, a name that does not exist, a server that stops answering (the
# time limit holds) and a server that is down.
. "$(dirname "$0")/lib.sh"

helper=$(dirname "$TAMRIN_BUNDLE_DIR")/tests/dns_resolver_test_helper
[ -x "$helper" ] || bail "$helper is not built"

{
  printf '10.77.0.2 site.test\nfd77::2 site.test\n'
  printf '127.0.0.1 local.test\nfe80::1 local.test\n224.0.0.1 local.test\n'
  for i in $(seq 0 999); do printf '10.88.%d.%d big.test\n' $((i / 250)) $((i % 250 + 1)); done
} >"$work/dns.hosts"
start_dns_server "$work/dns.hosts"

resolve() { "$helper" 127.0.0.1 "$@"; }
line() { sed -n "s/^$1 //p" <<<"$2"; }

out=$(resolve site.test local.test big.test missing.test)
expect_eq "every name answered or known to be absent: complete" 1 "$(line complete "$out")"
expect_eq "A and AAAA of a name, with the server's TTL" "5 2" "$(line 'answer site.test' "$out")"
expect_eq "all thousand records of the big answer arrive" "5 1000" "$(line 'answer big.test' "$out")"
expect_eq "a name that does not exist gives no answer" "" "$(line 'answer missing.test' "$out")"
expect_eq "usable: both of site.test, 64 of big.test, none of local.test" 66 "$(line usable "$out")"

kill -STOP "$DNS_PID"
out=$(resolve site.test www.site.test)
elapsed=$(line elapsed_ms "$out")
expect_eq "a server that stops answering: incomplete" 0 "$(line complete "$out")"
if [ "$elapsed" -le 2300 ]; then ok "...and the limit holds (${elapsed} ms)"; else not_ok "limit exceeded" "$out"; fi
kill -CONT "$DNS_PID"
kill "$DNS_PID" && wait "$DNS_PID" 2>/dev/null
out=$(resolve site.test)
expect_eq "a server that is down: incomplete, nothing found" "0 0" \
  "$(line complete "$out") $(line usable "$out")"
finish
