# The Debian package (build/tamrin_*.deb, from `make deb`) in the sandbox, where /usr, /etc,
# /var and /opt are private: dpkg -i puts the sealed bundle, the link, the unit, the manual
# pages, the completion and the name-service module in place, with "tamrin" first on the hosts:
# line; the daemon started from the unit's ExecStart serves the installed tamrinctl; dpkg -r is
# refused while the daemon is not running and during a block (the package and the block stay),
# an upgrade during the block needs no permission and leaves nsswitch.conf alone; after the
# block dpkg -r removes protection, policy, programs, the module, the layers' files and the
# hosts: source (nsswitch.conf is then as it was). The daemon's clock (libfaketime) starts 50 s
# before the end of the block.
. "$(dirname "$0")/lib.sh"
require_private_install_dirs
for dir in /usr /var/lib /var/log /var/cache; do
  [ "$(findmnt -n -o FSTYPE --mountpoint "$dir")" = overlay ] || bail "$dir is not private"
done

shopt -s nullglob
packages=("$TAMRIN_SOURCE_DIR"/build/tamrin_*.deb)
[ ${#packages[@]} -eq 1 ] || bail "expected one build/tamrin_*.deb (make deb), found ${#packages[@]}"
readonly deb=${packages[0]}
readonly app=/usr/lib/tamrin/Tamrin.app
readonly unit=/lib/systemd/system/tamrin-daemon.service
CTL=/usr/bin/tamrinctl
module=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libnss_tamrin.so.2
nsswitch_before=$(cat /etc/nsswitch.conf; echo .)
# No manual-page index rebuild inside the sandbox: it is slow and proves nothing here.
rm -f /var/lib/man-db/auto-update

# "installed", or "not-installed"/"config-files" after a removal. (A refused dpkg -r still
# records the wish to remove it; the package itself stays installed and configured.)
package_state() { dpkg-query -W -f='${db:Status-Status}' tamrin 2>/dev/null; }
layer_files_left() {
  [ -e /run/tamrin/suffixes ] || [ -e /etc/chromium/policies/managed/tamrin.json ] ||
    grep -qs '"tamrin":' /etc/firefox/policies/policies.json
}
protection_in_force() { hosts_has_block && rules_block "$app/libexec/tamrin-pfctl" "$test_address"; }

printf '%s %s\n' "$test_address" "$site" >>/etc/hosts
start_test_site

# --- install ---
run dpkg -i "$deb"
expect_eq "dpkg -i: exit 0" 0 "$RUN_STATUS"
expect_contains "dpkg -i without systemd: says how to start the daemon" \
  "start the daemon as root: $app/bin/TamrinDaemon &" "$RUN_OUT"
expect_eq "the package is installed" installed "$(package_state)"
expect_eq "/usr/bin/tamrinctl links into the bundle" "$app/bin/tamrinctl" "$(readlink -f "$CTL")"
expect_eq "the bundle's seal lists every shipped program with its digest" \
  "$(cd "$app" && find bin libexec -type f | LC_ALL=C sort | while read -r f; do
      printf 'sha256 %s %s\n' "$(sha256sum <"$f" | cut -d' ' -f1)" "$f"; done)" \
  "$(cat "$app/_CodeSignature/CodeResources")"
expect "dpkg verifies every shipped file" dpkg --verify tamrin
expect "the name-service module is installed beside the C library" test -f "$module"
expect_eq "tamrin is the first source of the hosts: line" tamrin \
  "$(sed -n 's/^hosts:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/nsswitch.conf)"
nsswitch_installed=$(cat /etc/nsswitch.conf)
expect "the manual pages are installed compressed" \
  test -f /usr/share/man/man1/tamrinctl.1.gz -a -f /usr/share/man/man8/TamrinDaemon.8.gz
expect "the bash completion is installed" test -f /usr/share/bash-completion/completions/tamrinctl
expect "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/tamrin-daemon.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
expect_eq "the unit starts the packaged daemon" "$app/bin/TamrinDaemon" "$exec_start"

# --- removal with no daemon to ask ---
run dpkg -r tamrin
expect_not "dpkg -r without a running daemon fails" test "$RUN_STATUS" -eq 0
expect_contains "dpkg -r without a running daemon: the tool's error" \
  "error: The Tamrin daemon is not running" "$RUN_ERR"
expect_contains "dpkg -r without a running daemon: says how to start it" \
  "systemctl start tamrin-daemon.service" "$RUN_ERR"
expect_eq "dpkg -r without a running daemon: still installed" installed "$(package_state)"

# --- a block that ends 50 s after the daemon starts ---
now=$(local_minute_now)
focus=$(((now + 1439) % 1440))
access=$(((now + 2) % 1440))
read -r _ block_end < <(next_start "$access")
start_daemon "$exec_start" "+$((block_end - $(date +%s) - 50))s"
run "$CTL" status
expect_eq "the installed tamrinctl is served" \
  '{"hasProtectionMismatch":false,"isProtected":false,"state":"notConfigured"}' "$RUN_OUT"
run "$CTL" configure <<<"{\"domains\":[\"$site\"],\"focusStartMinutes\":$focus,\"accessStartMinutes\":$access,\"activeWeekdays\":[1,2,3,4,5,6,7]}"
expect_eq "configure: the block is in force" protected "$(json_member state <<<"$RUN_OUT")"
expect "the hosts block and the rules are in place" protection_in_force
expect_not "the site is blocked" fetch "http://$site/"

run dpkg -r tamrin
expect_not "dpkg -r during the block fails" test "$RUN_STATUS" -eq 0
expect_contains "dpkg -r during the block: the daemon's refusal" \
  "can’t be removed during an active block" "$RUN_ERR"
expect_eq "dpkg -r during the block: still installed" installed "$(package_state)"
expect "dpkg -r during the block: tamrinctl is still there" test -x "$CTL"
expect "dpkg -r during the block: protection still in force" protection_in_force

run dpkg -i "$deb"
expect_eq "an upgrade during the block needs no permission: exit 0" 0 "$RUN_STATUS"
expect "after the upgrade the policy is kept" test -f /var/lib/tamrin/policy.json
expect "after the upgrade protection is still in force" protection_in_force
expect_eq "the upgrade leaves nsswitch.conf alone" "$nsswitch_installed" "$(cat /etc/nsswitch.conf)"

block_over() { [ "$(status_member state)" = access ]; }
wait_until 90 block_over || bail "the block did not end" "$("$CTL" status 2>&1)"

# --- removal after the block ---
run dpkg -r tamrin
expect_eq "dpkg -r after the block: exit 0" 0 "$RUN_STATUS"
expect_eq "the package is removed" config-files "$(package_state)"
expect "the hosts block is gone" hosts_has_no_block
expect "the rules are gone" rules_empty "$TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl"
expect_not "the policy is gone" test -e /var/lib/tamrin/policy.json
expect_not "tamrinctl is gone" test -e "$CTL" -o -L "$CTL"
expect_not "the bundle is gone" test -e "$app"
expect_not "the name-service module is gone" test -e "$module"
expect_not "no suffix list or browser policy of Tamrin is left" layer_files_left
expect_eq "nsswitch.conf is back byte for byte" "$nsswitch_before" "$(cat /etc/nsswitch.conf; echo .)"
expect_eq "the site answers again" "Tamrin test site on port 80" "$(fetch "http://$site/" 2>&1)"

finish
