# Who may change the schedule. An account outside the group tamrin is refused enabling,
# updating and removal, with one line on standard error and exit 1, and is served the status;
# root may change whether or not the group exists. An account added to the group while the
# daemon runs may change at once: by the group's member list alone, by a supplementary group,
# and by the group as its primary group.
. "$(dirname "$0")/lib.sh"

bundle=$TAMRIN_BUNDLE_DIR
uninstall=$bundle/libexec/tamrin-uninstall
readonly refusal="error: Only root and members of the group tamrin can change Tamrin’s schedule."
readonly user=tamrin-e2e-user

# /etc is the sandbox's own overlay: accounts made here never reach this machine.
if getent group tamrin >/dev/null; then groupdel tamrin || bail "cannot delete the group tamrin"; fi
useradd --no-create-home --shell /usr/sbin/nologin "$user" || bail "useradd $user failed"
uid=$(id -u "$user")
gid=$(id -g "$user")

# as_user GROUPS-OPTION COMMAND...: runs the command as the account, with setpriv's
# --clear-groups (no supplementary groups) or --init-groups (those the group database gives).
as_user() { setpriv --reuid="$uid" --regid="$gid" "$@"; }

# schedule FOCUS_OFFSET: a configuration whose block starts FOCUS_OFFSET minutes from now and
# lasts an hour, so no block runs during the scenario.
schedule() {
  local now
  now=$(local_minute_now)
  printf '{"domains":["%s"],"focusStartMinutes":%d,"accessStartMinutes":%d,"activeWeekdays":[1,2,3,4,5,6,7]}' \
    "$site" $(((now + $1) % 1440)) $(((now + $1 + 60) % 1440))
}

# expect_refused WHAT COMMAND...: exit 1, nothing on standard output, the refusal on standard
# error.
expect_refused() {
  local what=$1
  shift
  run "$@" <<<"$(schedule 120)"
  expect_eq "$what: exit 1" 1 "$RUN_STATUS"
  expect_eq "$what: nothing on standard output" "" "$RUN_OUT"
  expect_eq "$what: the refusal on standard error" "$refusal" "$RUN_ERR"
}

start_daemon "$bundle/bin/TamrinDaemon"

# --- no group tamrin: only root may change ---
expect_refused "no group, an account enables" as_user --init-groups "$CTL" configure
run as_user --init-groups "$CTL" status
expect_eq "no group, an account asks the status: exit 0" 0 "$RUN_STATUS"
expect_eq "no group, the account's status: nothing is configured" \
  notConfigured "$(json_member state <<<"$RUN_OUT")"
run "$CTL" configure <<<"$(schedule 120)"
expect_eq "no group, root enables: exit 0" 0 "$RUN_STATUS"
configured=$("$CTL" status)

# --- the group exists, the account is not in it ---
groupadd --system tamrin || bail "groupadd tamrin failed"
tamrin_gid=$(getent group tamrin | cut -d: -f3)
expect_refused "non-member updates" as_user --init-groups "$CTL" configure
expect_refused "non-member removes" as_user --init-groups "$uninstall"
run as_user --init-groups "$CTL" status
expect_eq "non-member asks the status: exit 0" 0 "$RUN_STATUS"
expect_eq "non-member's status: root's configuration, unchanged" "$configured" "$RUN_OUT"

# --- added to the group while the daemon runs: no new login needed ---
usermod -aG tamrin "$user" || bail "usermod -aG tamrin $user failed"
update=$(schedule 180)
run as_user --clear-groups "$CTL" configure <<<"$update"
expect_eq "member by the group's list alone updates: exit 0" 0 "$RUN_STATUS"
expect_eq "the update is in force" "$(json_member focusStartMinutes <<<"$update")" \
  "$(status_member configuration | json_member focusStartMinutes)"
run as_user --init-groups "$CTL" configure <<<"$(schedule 240)"
expect_eq "member by supplementary group updates: exit 0" 0 "$RUN_STATUS"
run setpriv --reuid=65534 --regid="$tamrin_gid" --clear-groups "$CTL" configure <<<"$(schedule 300)"
expect_eq "nobody with tamrin as primary group updates: exit 0" 0 "$RUN_STATUS"
expect_refused "nobody with its own groups updates" \
  setpriv --reuid=65534 --regid=65534 --clear-groups "$CTL" configure
run as_user --init-groups "$uninstall"
expect_eq "member removes outside a block: exit 0" 0 "$RUN_STATUS"
expect_eq "after removal nothing is configured" notConfigured "$(status_member state)"
expect "the daemon still answers" daemon_answers

finish
