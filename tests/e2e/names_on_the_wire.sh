# A block of a site and of a "*." rule against clients that bring their own hosts file and name
# service (a mount namespace of their own), mapping the blocked names to an address the daemon
# never resolved: over HTTP, TLS and QUIC the flows of the blocked site and of a name under the
# rule are refused by the name they carry, while another name at the same address is served
# over all three; the daemon's status lists the layer and the count of refused flows grows;
# after the block everything is served again and the names chains are gone.
# Every address lives inside the sandbox.
. "$(dirname "$0")/lib.sh"

readonly wire_address=10.77.0.5  # on lo; no name resolves to it for the daemon
readonly suffix_host=old.blocked.test
readonly open_site=open.test
readonly status_helper_built=$TAMRIN_BUNDLE_DIR/../tests/daemon_status_helper
command -v gtlsserver >/dev/null && command -v gtlsclient >/dev/null ||
  bail "the QUIC client and server are not installed (scripts/install-deps)"
command -v openssl >/dev/null || bail "openssl is not installed"
[ -x "$status_helper_built" ] || bail "the daemon status helper is not built"

ip address add "$wire_address/32" dev lo || bail "cannot add $wire_address"
# What the daemon resolves: the blocked names at the test address only.
printf '%s %s blocked.test\n' "$test_address" "$site" >>/etc/hosts

# The client's own name service: its hosts file, read by "files" alone.
printf '%s %s %s %s\n' "$wire_address" "$site" "$suffix_host" "$open_site" >"$work/client.hosts"
echo 'hosts: files' >"$work/client.nsswitch"
# as_client COMMAND...: the command in a mount namespace of its own, with the client's files.
as_client() {
  unshare --mount sh -c \
    'mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/nsswitch.conf && shift 2 && exec "$@"' \
    sh "$work/client.hosts" "$work/client.nsswitch" "$@"
}
expect_eq "the client's own hosts file maps the blocked site to the fresh address" \
  "$wire_address" "$(as_client getent hosts "$site" | awk '{ print $1 }')"

# TCP Fast Open in this network namespace alone: clients may put data in the SYN without a
# cookie, and every listener takes it (0x1 | 0x2 | 0x4 | 0x200 | 0x400).
echo 1543 >/proc/sys/net/ipv4/tcp_fastopen || bail "cannot switch TCP Fast Open on"

# --- the three servers at the fresh address ------------------------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=tamrin-test \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || bail "cannot make a certificate"
mkdir -p "$work/quic" && echo "Tamrin test site over QUIC" >"$work/quic/index.html"
# A plain HTTP request carries its name in the flow's first data packet, which the copy lets
# through: a server on loopback that answers at once can beat the daemon's reaction on a busy
# machine, so this one answers 50 ms later, as a nearby server on a network would.
"$python" "$e2e_dir/wire_site.py" "$wire_address" 80 --delay 50 >"$work/http.out" 2>&1 &
"$python" "$e2e_dir/wire_site.py" "$wire_address" 443 --tls "$work/cert.pem" "$work/key.pem" \
  >"$work/tls.out" 2>&1 &
gtlsserver -q -d "$work/quic" "$wire_address" 443 "$work/key.pem" "$work/cert.pem" \
  >"$work/quic.out" 2>&1 &
wait_until 20 grep -qx ready "$work/http.out" || bail "the HTTP site did not start"
wait_until 20 grep -qx ready "$work/tls.out" || bail "the TLS site did not start"

# page PROTOCOL NAME: what the client gets from NAME over http, tls or quic, in PAGE: the page,
# or what went wrong; PAGE_STATUS: the client's exit status (124: it hung until killed). With
# FAST_OPEN set, HTTP and TLS send their first bytes in the SYN.
page() {
  local name=$2
  PAGE_STATUS=0
  case "$1" in
    http | tls)
      local scheme=http
      [ "$1" = tls ] && scheme=https
      PAGE=$(as_client timeout 10 curl --silent --show-error --noproxy '*' --max-time 5 \
        --insecure ${FAST_OPEN:+--tcp-fastopen} "$scheme://$name/" 2>&1) || PAGE_STATUS=$?
      ;;
    quic)
      local download=$work/quic-download
      rm -rf "$download" && mkdir -p "$download"
      PAGE=$(as_client timeout 10 gtlsclient -q --exit-on-first-stream-close \
        --handshake-timeout=5s --timeout=5s --download="$download" \
        "$name" 443 "https://$name/index.html" 2>&1) || PAGE_STATUS=$?
      [ -f "$download/index.html" ] && PAGE="$(cat "$download/index.html")${PAGE:+ ($PAGE)}"
      ;;
  esac
}
served_text() {
  case "$1" in
    http | tls) echo "Tamrin test site over $1 for $2" ;;
    quic) echo "Tamrin test site over QUIC" ;;
  esac
}

# expect_served WHEN PROTOCOL NAME
expect_served() {
  page "$2" "$3"
  expect_eq "$1: $3 is served over $2" "$(served_text "$2" "$3")" "$PAGE"
}
# expect_refused WHEN PROTOCOL NAME: no page, and the client's socket was destroyed (or its
# connection reset) rather than left hanging. A socket destroyed before its handshake ended
# (TCP Fast Open) is no longer connected.
expect_refused() {
  page "$2" "$3"
  if [[ "$PAGE" != *"Tamrin test site"* ]] && [ "$PAGE_STATUS" -ne 124 ] &&
    [ "$PAGE_STATUS" -ne 28 ] &&
    grep -qi -e 'connection abort' -e 'reset by peer' -e 'not connected' <<<"$PAGE"; then
    ok "$1: $3 is refused over $2"
    details "client status $PAGE_STATUS: $PAGE"
  else
    not_ok "$1: $3 is refused over $2" "client status $PAGE_STATUS" "$PAGE"
  fi
}
quic_up() { page quic "$open_site" && [ "$PAGE" = "$(served_text quic "$open_site")" ]; }
wait_until 20 quic_up || bail "the QUIC site did not start" "$(cat "$work/quic.out")"

for protocol in http tls quic; do
  for name in "$site" "$suffix_host" "$open_site"; do
    expect_served "before the block" "$protocol" "$name"
  done
done

# --- the block ------------------------------------------------------------------------------
bundle=$work/Tamrin.app
cp -a "$TAMRIN_BUNDLE_DIR" "$bundle" || bail "cannot copy the bundle"
install -m 0755 "$status_helper_built" "$bundle/bin/daemon_status_helper" &&
  "$TAMRIN_SOURCE_DIR/scripts/seal-bundle" "$bundle" || bail "cannot seal the helper in"
CTL=$bundle/bin/tamrinctl
daemon_record() { "$bundle/bin/daemon_status_helper"; }
# layer_listed: the daemon's own record lists the layer in force.
layer_listed() { daemon_record | json_member layersInForce | grep -q '"namesOnTheWire"'; }
refused_count() {
  local count
  count=$(status_member flowsRefusedByName)
  echo "${count:-0}"
}

start_daemon "$bundle/bin/TamrinDaemon"
now=$(local_minute_now)
access=$(((now + 180) % 1440))
read -r _ block_end < <(next_start "$access")
run "$CTL" configure <<<"{\"domains\":[\"$site\",\"*.blocked.test\"],\"focusStartMinutes\":$(((now + 1439) % 1440)),\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
[ "$RUN_STATUS" -eq 0 ] || bail "configure failed" "$RUN_OUT" "$RUN_ERR"
# Without the name-service module installed the "*." rule asks for attention; the rest holds.
expect_eq "configure: the block is in force" true "$(json_member isProtected <<<"$RUN_OUT")"
expect_eq "configure: no problem with reading names on the wire" "" \
  "$(json_member layerProblems <<<"$RUN_OUT" | json_member namesOnTheWire)"
if wait_until 5 layer_listed; then
  ok "the daemon's status lists namesOnTheWire in force"
else
  not_ok "the daemon's status lists namesOnTheWire in force" "$(daemon_record 2>&1)"
fi
expect_eq "the daemon's record counts no refused flow yet" 0 \
  "$(daemon_record | json_member flowsRefusedByName)"
expect "the names chain is loaded" nft list chain inet tamrin names
system_lookup=$(getent ahostsv4 "$site" | awk 'NR == 1 { print $1 }')
if [ "$system_lookup" != "$wire_address" ]; then
  ok "during the block: the system's own lookup sends the site elsewhere ($system_lookup)"
else
  not_ok "during the block: the system's own lookup sends the site elsewhere" "$system_lookup"
fi
expect_eq "during the block: the client still finds the blocked site at the fresh address" \
  "$wire_address" "$(as_client getent ahostsv4 "$site" | awk 'NR == 1 { print $1 }')"

for protocol in http tls quic; do
  expect_served "during the block" "$protocol" "$open_site"
done
expect_eq "the unblocked name's flows are not counted as refused" 0 "$(refused_count)"

counts=()
for protocol in http tls quic; do
  expect_refused "during the block" "$protocol" "$site"
  expect_refused "during the block, under the *. rule" "$protocol" "$suffix_host"
  counts+=("$(refused_count)")
done
details "flowsRefusedByName after http, tls, quic: ${counts[*]}"
if [ "${counts[0]}" -ge 2 ] && [ "${counts[1]}" -ge $((counts[0] + 2)) ] &&
  [ "${counts[2]}" -ge $((counts[1] + 2)) ]; then
  ok "tamrinctl status: flowsRefusedByName grows by the refused flows of each protocol"
else
  not_ok "tamrinctl status: flowsRefusedByName grows by the refused flows of each protocol" \
    "after http, tls, quic: ${counts[*]}" "$("$CTL" status 2>&1)"
fi
expect_eq "the daemon's record says the same count" "${counts[2]}" \
  "$(daemon_record | json_member flowsRefusedByName)"

# TCP Fast Open: the request or the hello rides in the SYN, before the connection is set up.
fast_opened() {
  nstat -asz TcpExtTCPFastOpenPassive | awk '$1 == "TcpExtTCPFastOpenPassive" { print $2 }'
}
fast_opened_before=$(fast_opened)
for protocol in http tls; do
  FAST_OPEN=1 expect_refused "during the block, with TCP Fast Open" "$protocol" "$site"
  FAST_OPEN=1 expect_served "during the block, with TCP Fast Open" "$protocol" "$open_site"
done
if [ "$(fast_opened)" -ge $((fast_opened_before + 4)) ]; then
  ok "the servers took each of those requests from its SYN"
else
  not_ok "the servers took each of those requests from its SYN" \
    "TcpExtTCPFastOpenPassive: $fast_opened_before, then $(fast_opened)"
fi
expect "with the refusals: the layer is still in force" layer_listed
for protocol in http tls quic; do
  expect_served "after the refusals" "$protocol" "$open_site"
done

# --- the end of the block: the daemon's clock moved to 5 s before it -----------------------
stop_daemon
start_daemon "$bundle/bin/TamrinDaemon" "+$((block_end - $(date +%s) - 5))s"
access_now() { [ "$(status_member state)" = access ]; }
if wait_until 30 access_now; then ok "the block ends (after ${WAITED} s)"; else
  not_ok "the block ends within 30 s" "$("$CTL" status 2>&1)"; fi
names_chain_gone() { ! nft list chain inet tamrin names >/dev/null 2>&1; }
expect "after the block: the names chain is gone" names_chain_gone
expect_not "after the block: the daemon's status lists no namesOnTheWire" layer_listed
expect_eq "after the block: tamrinctl status counts no refused flows" "" \
  "$(status_member flowsRefusedByName)"
for protocol in http tls quic; do
  for name in "$site" "$suffix_host" "$open_site"; do
    expect_served "after the block" "$protocol" "$name"
  done
done

finish
