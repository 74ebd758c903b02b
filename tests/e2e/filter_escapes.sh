# A running block against the ways past the rejects that nftables itself offers, and against
# taking the packet-filter tool away:
#   - another table rewrites the port before our chains and back in postrouting: no connection
#     (dropped as it leaves);
#   - a NAT from the blocked address to another address of the site, and a NAT after our output
#     chain from another address to the blocked one: refused;
#   - traffic of a network namespace routed through the sandbox (as a container's): refused;
#   - the bundle's tamrin-pfctl made unexecutable, then removed, each followed by the deletion of
#     the table: repaired at once, from the daemon's own sealed copy of the tool.
# Every address lives inside the sandbox.
. "$(dirname "$0")/lib.sh"

readonly other_address=10.77.0.3  # another address of the site, not blocked
readonly far_site=far.focus-demo.test
readonly far_address=10.99.0.2  # behind the sandbox, in the namespace "server"
readonly client_address=10.88.0.2  # in the namespace "client", routed through the sandbox

ip address add "$other_address/32" dev lo || bail "cannot add $other_address"
printf '%s %s\n%s %s\n' "$test_address" "$site" "$far_address" "$far_site" >>/etc/hosts

# client (10.88.0.2) -- veth -- sandbox (10.88.0.1, 10.99.0.1) -- veth -- server (10.99.0.2)
setup_namespaces() {
  ip netns add client && ip netns add server &&
    ip link add to-client type veth peer name eth0 netns client &&
    ip link add to-server type veth peer name eth0 netns server &&
    ip address add 10.88.0.1/24 dev to-client && ip link set to-client up &&
    ip address add 10.99.0.1/24 dev to-server && ip link set to-server up &&
    ip -n client address add "$client_address/24" dev eth0 && ip -n client link set eth0 up &&
    ip -n client route add default via 10.88.0.1 &&
    ip -n server address add "$far_address/24" dev eth0 && ip -n server link set eth0 up &&
    ip -n server link set lo up && ip -n server route add default via 10.99.0.1 &&
    sysctl -qw net.ipv4.ip_forward=1
}
setup_namespaces || bail "cannot set up the namespaces behind the sandbox"

start_test_site
"$TAMRIN_SOURCE_DIR/scripts/test-site" "$other_address" 443 >"$work/other.out" 2>&1 &
ip netns exec server "$TAMRIN_SOURCE_DIR/scripts/test-site" "$far_address" 443 8080 \
  >"$work/far.out" 2>&1 &
wait_until 20 grep -qx ready "$work/other.out" || bail "the second site did not start"
wait_until 20 grep -qx ready "$work/far.out" || bail "the site behind the sandbox did not start"

# connects [NETNS] ADDRESS PORT: a TCP connection opens within 2 s.
connects() {
  local prefix=()
  [ $# -eq 3 ] && { prefix=(ip netns exec "$1"); shift; }
  "${prefix[@]}" timeout 2 bash -c "exec 3<>/dev/tcp/$1/$2" 2>/dev/null
}
# refused [NETNS] ADDRESS PORT: the connection is refused at once.
refused() {
  local prefix=() out
  [ $# -eq 3 ] && { prefix=(ip netns exec "$1"); shift; }
  out=$("${prefix[@]}" timeout 2 bash -c "exec 3<>/dev/tcp/$1/$2" 2>&1) && return 1
  [[ "$out" == *"refused"* ]]
}
expect "before the block: the site behind the sandbox is reachable from the client" \
  connects client "$far_address" 443

bundle=$work/Tamrin.app
cp -a "$TAMRIN_BUNDLE_DIR" "$bundle" || bail "cannot copy the bundle"
start_daemon "$bundle/bin/TamrinDaemon"
now=$(local_minute_now)
run "$CTL" configure <<<"{\"domains\":[\"$site\",\"$far_site\"],\"focusStartMinutes\":$(((now + 1439) % 1440)),\"accessStartMinutes\":$(((now + 180) % 1440)),\"activeWeekdays\":[1,2,3,4,5,6,7]}"
[ "$RUN_STATUS" -eq 0 ] || bail "configure failed" "$RUN_OUT" "$RUN_ERR"
fully_protected || bail "the block is not in force after configure" "$(cat /etc/hosts)"
no_mismatch() { [ "$(status_member hasProtectionMismatch)" = false ]; }
wait_until 3 no_mismatch
expect_eq "the whole table is in force without a mismatch" false "$(status_member hasProtectionMismatch)"
expect "another address of the site is not blocked" connects "$other_address" 443

# user_table NAME CHAIN...: another table of the user's, with one chain per CHAIN given as
# "<name>|<type, hook and priority>|<rule>"; in force until `nft delete table`.
user_table() {
  local table=$1 chain name hook rule
  shift
  {
    echo "add table $table"
    for chain in "$@"; do
      IFS='|' read -r name hook rule <<<"$chain"
      echo "add chain $table $name { $hook; }"
      echo "add rule $table $name $rule"
    done
  } | nft -f -
}

user_table "inet rewrite" \
  "out|type filter hook output priority -300|ip daddr $test_address tcp dport 443 tcp dport set 8443" \
  "post|type filter hook postrouting priority 0|ip daddr $test_address tcp dport 8443 tcp dport set 443" ||
  bail "cannot add the port-rewriting table"
expect_not "port rewritten before our chains and back after: no connection" \
  connects "$test_address" 443
nft delete table inet rewrite

user_table "ip away" \
  "nat|type nat hook output priority -100|ip daddr $test_address tcp dport 443 dnat to $other_address" ||
  bail "cannot add the NAT away from the blocked address"
expect "a NAT from the blocked address to another of the site: refused" \
  refused "$test_address" 443
nft delete table ip away

user_table "ip toward" \
  "nat|type nat hook output priority 100|ip daddr $other_address tcp dport 443 dnat to $test_address" ||
  bail "cannot add the NAT toward the blocked address"
expect "a NAT after our output chain toward the blocked address: refused" \
  refused "$other_address" 443
nft delete table ip toward

expect "forwarded from the client to the blocked address behind the sandbox: refused" \
  refused client "$far_address" 443
expect "forwarded to another port of that address: still reachable" \
  connects client "$far_address" 8080

expect_eq "after the user's tables: still no mismatch" false "$(status_member hasProtectionMismatch)"

settled() { no_mismatch && fully_protected; }
# Each chain that sees the packet late, stripped by hand: put back at once.
late_chains_back() {
  nft list chain inet tamrin forward | grep -q 'jump block_original' &&
    nft list chain inet tamrin postrouting | grep -q 'jump drop_leaving' &&
    [ "$(nft list chain inet tamrin block_original | grep -c reject)" -eq 4 ]
}
for strip in "flush chain inet tamrin forward" "flush chain inet tamrin block_original" \
  "flush chain inet tamrin postrouting; delete chain inet tamrin postrouting"; do
  nft "$strip" || bail "cannot $strip"
  if wait_until 3 late_chains_back; then
    ok "$strip: put back at once (within ${WAITED} s)"
  else
    not_ok "$strip: put back within 3 s" "$(nft list table inet tamrin)"
  fi
  wait_until 3 settled
done
tool=$bundle/libexec/tamrin-pfctl
for route in "chmod a-x" "rm -f"; do
  $route "$tool" || bail "cannot $route the tool"
  nft delete table inet tamrin || bail "cannot delete the table"
  if seconds=$(seconds_until_protected 3); then
    ok "$route of the tool, then the table deleted: protection back at once (after ${seconds} s)"
  else
    not_ok "$route of the tool, then the table deleted: protection back within 3 s" \
      "$(nft list ruleset)" "$(tail -n 5 "$work/daemon.log")"
  fi
  wait_until 3 settled
  expect_eq "$route of the tool: the status shows no mismatch afterwards" false \
    "$(status_member hasProtectionMismatch)"
done
expect "without the tool's file: forwarded traffic to the blocked address is refused again" \
  refused client "$far_address" 443

finish
