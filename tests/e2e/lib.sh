# Helpers for the scenarios in this folder. A scenario runs as root inside scripts/sandbox,
# sources this file, prints one "ok - ..." or "not ok - ..." line per check (details follow as
# "#   ..." lines) and ends with `finish`, which prints the plan "1..N" and exits 0 only when
# every check passed. `bail` ends a scenario early, without a plan.
# Needs TAMRIN_BUNDLE_DIR (the built Tamrin.app) and TAMRIN_SOURCE_DIR (the repository).

set -uo pipefail

: "${TAMRIN_BUNDLE_DIR:?TAMRIN_BUNDLE_DIR must name the built Tamrin.app}"
: "${TAMRIN_SOURCE_DIR:?TAMRIN_SOURCE_DIR must name the repository}"

readonly test_address=10.77.0.2
readonly site=focus-demo.test
readonly daemon_socket=/run/tamrin/app.tamrin.daemon.sock
readonly anchor=com.apple/app.tamrin
readonly e2e_dir=$TAMRIN_SOURCE_DIR/tests/e2e
# Debian's interpreter: a python3 earlier on PATH may be a slow wrapper.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
readonly python
# Scratch space on the sandbox's private /run, gone with the sandbox.
readonly work=/run/tamrin-e2e
mkdir -p "$work"

checks=0
failures=0
DAEMON_PID=

ok() {
  checks=$((checks + 1))
  echo "ok - $*"
}

# details [DETAIL...]: every line of every detail as a "#" comment.
details() {
  local detail line
  for detail in "$@"; do
    while IFS= read -r line; do echo "#   $line"; done <<<"$detail"
  done
}

# not_ok WHAT [DETAIL...]
not_ok() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  echo "not ok - $1"
  shift
  details "$@"
}

# bail WHAT [DETAIL...]: a precondition failed, nothing after it would mean anything.
bail() {
  echo "Bail out! $1"
  shift
  details "$@"
  stop_daemon
  exit 1
}

finish() {
  stop_daemon
  echo "1..$checks"
  [ "$failures" -eq 0 ] && exit 0
  exit 1
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  if [ "$2" == "$3" ]; then ok "$1"; else not_ok "$1" "expected: $2" "actual:   $3"; fi
}

# expect_contains WHAT NEEDLE HAYSTACK
expect_contains() {
  if [[ "$3" == *"$2"* ]]; then ok "$1"; else not_ok "$1" "expected to contain: $2" "actual: $3"; fi
}

# expect WHAT COMMAND...: the command succeeds.
expect() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then ok "$what"; else not_ok "$what" "command: $*" "$out"; fi
}

# expect_not WHAT COMMAND...: the command fails.
expect_not() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then not_ok "$what" "command succeeded: $*" "$out"; else ok "$what"; fi
}

# run COMMAND...: sets RUN_STATUS, RUN_OUT (standard output) and RUN_ERR (standard error).
run() {
  RUN_STATUS=0
  "$@" >"$work/run.out" 2>"$work/run.err" || RUN_STATUS=$?
  RUN_OUT=$(cat "$work/run.out")
  RUN_ERR=$(cat "$work/run.err")
}

# wait_until LIMIT_SECONDS COMMAND...: retries every half second until the command succeeds;
# false when LIMIT_SECONDS passed first. WAITED holds the seconds waited (one decimal).
wait_until() {
  local limit=$1 start now
  shift
  start=$EPOCHREALTIME
  while true; do
    if "$@" >/dev/null 2>&1; then
      now=$EPOCHREALTIME
      WAITED=$(awk -v a="$start" -v b="$now" 'BEGIN { printf "%.1f", b - a }')
      return 0
    fi
    now=$EPOCHREALTIME
    if awk -v a="$start" -v b="$now" -v l="$limit" 'BEGIN { exit !(b - a >= l) }'; then
      WAITED=$limit
      return 1
    fi
    sleep 0.5
  done
}

# Refuses to go on unless every path that an installation writes is private to the sandbox.
require_private_install_dirs() {
  local dir fstype
  for dir in /opt /usr/local/bin /etc /run /var/lib/tamrin; do
    fstype=$(findmnt -n -o FSTYPE --mountpoint "$dir" 2>/dev/null || true)
    case "$fstype" in
      overlay | tmpfs) ;;
      *) bail "$dir is not a private mount of the sandbox (found '${fstype:-nothing}')" ;;
    esac
  done
}

# --- the daemon --------------------------------------------------------------------------

# The control tool used to ask the daemon whether it answers; scenarios may change it.
CTL=$TAMRIN_BUNDLE_DIR/bin/tamrinctl

daemon_answers() {
  [ -n "$DAEMON_PID" ] && kill -0 "$DAEMON_PID" 2>/dev/null && "$CTL" status >/dev/null 2>&1
}

# start_daemon EXECUTABLE [FAKETIME]: starts the daemon in the background (DAEMON_PID), with
# libfaketime's FAKETIME setting when given, and waits at most 30 s until it answers.
start_daemon() {
  local executable=$1
  if [ $# -ge 2 ]; then
    local library
    library=$(faketime_library) || bail "libfaketime is not installed (scripts/install-deps)"
    # A sanitizer build must accept the preloaded library in front of its runtime.
    LD_PRELOAD=$library FAKETIME=$2 \
      ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
      "$executable" >>"$work/daemon.log" 2>&1 &
  else
    "$executable" >>"$work/daemon.log" 2>&1 &
  fi
  DAEMON_PID=$!
  wait_until 30 daemon_answers ||
    bail "the daemon ($executable) did not answer within 30 s" "$(tail -n 20 "$work/daemon.log")"
}

# start_daemon_on_clock_file EXECUTABLE FILE: like start_daemon, with libfaketime moving only
# the daemon's wall clock by the offset written in FILE ("+0", "+3h"), read afresh at every
# call; its monotonic and boot clocks stay real.
start_daemon_on_clock_file() {
  local library
  library=$(faketime_library) || bail "libfaketime is not installed (scripts/install-deps)"
  LD_PRELOAD=$library FAKETIME_TIMESTAMP_FILE=$2 FAKETIME_NO_CACHE=1 DONT_FAKE_MONOTONIC=1 \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    "$1" >>"$work/daemon.log" 2>&1 &
  DAEMON_PID=$!
  wait_until 30 daemon_answers ||
    bail "the daemon ($1) did not answer within 30 s" "$(tail -n 20 "$work/daemon.log")"
}

# Ends the daemon that start_daemon started, with SIGKILL (it has no orderly stop).
stop_daemon() {
  if [ -n "$DAEMON_PID" ]; then
    { kill -KILL "$DAEMON_PID" && wait "$DAEMON_PID"; } 2>/dev/null
    DAEMON_PID=
  fi
}

faketime_library() {
  local candidate
  for candidate in /usr/lib/*/faketime/libfaketimeMT.so.1 /usr/lib/faketime/libfaketimeMT.so.1; do
    [ -f "$candidate" ] && { echo "$candidate"; return 0; }
  done
  return 1
}

# --- what is in force ----------------------------------------------------------------------

hosts_has_block() { grep -qx '# BEGIN TAMRIN BLOCK' /etc/hosts; }
hosts_has_no_block() { ! grep -q 'TAMRIN BLOCK' /etc/hosts; }

# Deletes the managed block from /etc/hosts as a user would, with an editor.
remove_hosts_block_by_hand() {
  sed '/^# BEGIN TAMRIN BLOCK$/,/^# END TAMRIN BLOCK$/d' /etc/hosts >"$work/hosts.edited"
  cat "$work/hosts.edited" >/etc/hosts
}

# The rule lines the kernel holds in the anchor, through the given tamrin-pfctl.
anchor_rules() { "$1" -a "$anchor" -sr; }

# rules_block PFCTL ADDRESS: the anchor holds exactly the four rules for ADDRESS.
rules_block() {
  local listing
  listing=$(anchor_rules "$1") || return 1
  [ "$(grep -c '^block ' <<<"$listing")" -eq 4 ] &&
    [ "$(grep -c " to $2 port = " <<<"$listing")" -eq 4 ]
}

rules_empty() {
  local listing
  listing=$(anchor_rules "$1") || return 1
  [ -z "$listing" ]
}

# --- the test site -------------------------------------------------------------------------

SITE_PID=

# Serves the test site on the test address, ports 80, 443 and 8080; waits at most 20 s.
start_test_site() {
  "$TAMRIN_SOURCE_DIR/scripts/test-site" "$test_address" 80 443 8080 >"$work/site.out" 2>&1 &
  SITE_PID=$!
  wait_until 20 grep -qx ready "$work/site.out" ||
    bail "the test site did not start within 20 s" "$(cat "$work/site.out")"
}

# fetch URL [CURL ARGUMENT...]: the page's body; fails when no page arrives within 5 s.
fetch() {
  local url=$1
  shift
  curl --silent --show-error --fail --noproxy '*' --max-time 5 "$@" "$url"
}

# --- status and schedule -------------------------------------------------------------------

# The current minute of the local day (0-1439).
local_minute_now() {
  local hour minute
  hour=$(date +%H)
  minute=$(date +%M)
  echo $((10#$hour * 60 + 10#$minute))
}

# next_start MINUTE [AFTER]: "<ISO 8601 UTC> <Unix seconds>" of the first instant after AFTER
# (Unix seconds, default now) at which the local clock reads MINUTE.
next_start() { "$python" "$e2e_dir/local_time.py" next-start "$@"; }

# json_member KEY: the member KEY of the JSON object on standard input ("" when absent).
json_member() { "$python" "$e2e_dir/local_time.py" member "$1"; }

# status_member KEY: that member of the control tool's status line.
status_member() { "$CTL" status 2>/dev/null | json_member "$1"; }

# --- a DNS server ----------------------------------------------------------------------------

DNS_PID=

# start_dns_server HOSTS_FILE [DNSMASQ OPTION...]: dnsmasq on 127.0.0.1:53, answering only from
# HOSTS_FILE (re-read on SIGHUP, see reload_dns_server) with a TTL of 5 s; other names under
# .test do not exist. Waits at most 10 s until it answers.
start_dns_server() {
  local hosts=$1
  shift
  command -v dnsmasq >/dev/null || bail "dnsmasq is not installed (scripts/install-deps)"
  dnsmasq --keep-in-foreground --conf-file=/dev/null --no-hosts --no-resolv --user=root \
    --addn-hosts="$hosts" --local-ttl=5 --local=/test/ --listen-address=127.0.0.1 \
    --bind-interfaces --port=53 --log-facility="$work/dnsmasq.log" "$@" &
  DNS_PID=$!
  wait_until 10 grep -q "read $hosts" "$work/dnsmasq.log" ||
    bail "dnsmasq did not start within 10 s" "$(cat "$work/dnsmasq.log" 2>&1)"
}

# Makes dnsmasq read its hosts file again.
reload_dns_server() { kill -HUP "$DNS_PID"; }

# --- tampering with a running block --------------------------------------------------------

# The ways a user can strip protection by hand, one per line, for `tamper`.
readonly tamper_routes="hosts-edited-in-place
hosts-replaced-by-rename
table-deleted
base-chain-flushed
set-element-deleted
return-in-block-chain
accept-in-base-chain"

# tamper ROUTE: strips the protection of the test address one way.
tamper() {
  case "$1" in
    hosts-edited-in-place) remove_hosts_block_by_hand ;;
    hosts-replaced-by-rename)
      sed '/^# BEGIN TAMRIN BLOCK$/,/^# END TAMRIN BLOCK$/d' /etc/hosts >/etc/hosts.tamper &&
        mv /etc/hosts.tamper /etc/hosts
      ;;
    table-deleted) nft delete table inet tamrin ;;
    base-chain-flushed) nft flush chain inet tamrin output ;;
    set-element-deleted) nft delete element inet tamrin ipv4_addr "{ $test_address }" ;;
    return-in-block-chain) nft insert rule inet tamrin block return ;;
    accept-in-base-chain) nft insert rule inet tamrin output accept ;;
    *) bail "no tamper route $1" ;;
  esac
}

# Whether a TCP connection to the test address on port 443 is refused at once.
connect_refused() {
  local out
  out=$(timeout 2 bash -c "exec 3<>/dev/tcp/$test_address/443" 2>&1) && return 1
  [[ "$out" == *"refused"* ]]
}

# Full protection: the hosts block present and the blocked address refused.
fully_protected() { hosts_has_block && connect_refused; }

# seconds_until_protected LIMIT: polls every 10 ms; prints the seconds (3 decimals) until
# fully_protected holds, or fails after LIMIT seconds.
seconds_until_protected() {
  local start=$EPOCHREALTIME now
  while true; do
    now=$EPOCHREALTIME
    if fully_protected; then
      awk -v a="$start" -v b="$now" 'BEGIN { printf "%.3f\n", b - a }'
      return 0
    fi
    awk -v a="$start" -v b="$now" -v l="$1" 'BEGIN { exit !(b - a >= l) }' && return 1
    sleep 0.01
  done
}

# The number of processes started in this pid namespace since the last call (pids are handed
# out in order; the probe itself counts one).
PID_MARK=
processes_since_mark() {
  local pid
  pid=$(sh -c 'echo $$')
  [ -n "$PID_MARK" ] && echo $((pid - PID_MARK - 1))
  PID_MARK=$pid
}
