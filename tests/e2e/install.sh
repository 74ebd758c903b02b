# scripts/install and `make uninstall` inside the sandbox (where /opt, /usr/local/bin and
# /etc are private): an older copy is replaced, the installed copy is sealed and served, the
# unit and the link are in place; removal asks the daemon first and changes nothing when it
# cannot, and removes everything when it agrees.
. "$(dirname "$0")/lib.sh"
require_private_install_dirs

readonly app=/opt/Tamrin.app
readonly unit=/etc/systemd/system/tamrin-daemon.service
readonly link=/usr/local/bin/tamrinctl
readonly not_configured='{"hasProtectionMismatch":false,"isProtected":false,"state":"notConfigured"}'
install_script=$TAMRIN_SOURCE_DIR/scripts/install

# Every path that the installation owns is in place.
installed() { [ -x "$app/bin/TamrinDaemon" ] && [ -f "$unit" ] && [ -L "$link" ]; }

# --- refusals that change nothing ---
run "$install_script" "$work/no-such-bundle"
expect_eq "install of a bundle without programs: exit 1" 1 "$RUN_STATUS"
expect_contains "install of a bundle without programs: says what is missing" \
  "no-such-bundle/bin/TamrinDaemon is missing" "$RUN_ERR"
expect_not "install of a bundle without programs: nothing installed" test -e "$app"

# --- install over an older copy ---
mkdir -p "$app/bin"
echo "from an older version" >"$app/bin/stale-program"
chmod +x "$app/bin/stale-program"
run "$install_script" "$TAMRIN_BUNDLE_DIR"
expect_eq "install: exit 0" 0 "$RUN_STATUS"
expect_contains "install: says that systemd does not run here and how to start the daemon" \
  "systemd is not running here, so the service tamrin-daemon.service cannot be started." "$RUN_OUT"
expect_not "the older copy is gone" test -e "$app/bin/stale-program"
for program in bin/TamrinDaemon bin/tamrinctl libexec/tamrin-pfctl libexec/tamrin-uninstall; do
  expect "installed $program is the built one" cmp "$TAMRIN_BUNDLE_DIR/$program" "$app/$program"
done
expect_eq "no staging or retired copies are left in /opt" "" \
  "$(find /opt -maxdepth 1 -name '.Tamrin.app.*')"
expect_eq "the installed copy is root's and writable by root only" "" \
  "$(find "$app" \( ! -user root -o -perm /022 \) -print)"
expect_eq "the installed seal lists the installed programs" \
  "$(cd "$app" && find bin libexec -type f -perm -u+x | LC_ALL=C sort | while read -r f; do
      printf 'sha256 %s %s\n' "$(sha256sum <"$f" | cut -d' ' -f1)" "$f"; done)" \
  "$(cat "$app/_CodeSignature/CodeResources")"
expect_eq "the unit is the packaged one, started from $app" \
  "$(sed "s|/usr/lib/tamrin/Tamrin.app/|$app/|g" "$TAMRIN_SOURCE_DIR/packaging/tamrin-daemon.service")" \
  "$(cat "$unit")"
expect_eq "the unit starts the installed daemon" "ExecStart=$app/bin/TamrinDaemon" \
  "$(grep '^ExecStart=' "$unit")"
expect_eq "the unit file is 0644" 644 "$(stat -c %a "$unit")"
expect_eq "tamrinctl links to the installed tool" "$app/bin/tamrinctl" "$(readlink "$link")"
expect "the manual pages and the completion are installed" test -f \
  /usr/local/share/man/man1/tamrinctl.1 -a -f /usr/local/share/man/man8/TamrinDaemon.8 \
  -a -f /usr/local/share/bash-completion/completions/tamrinctl
if command -v systemd-analyze >/dev/null; then
  expect "systemd accepts the installed unit" systemd-analyze verify "$unit"
fi

# --- a second install replaces the first while its daemon runs ---
CTL=$link
start_daemon "$app/bin/TamrinDaemon"
run "$install_script" "$TAMRIN_BUNDLE_DIR"
expect_eq "second install: exit 0" 0 "$RUN_STATUS"
run "$link" status
expect_eq "the installed tamrinctl is served" "$not_configured" "$RUN_OUT"

# --- removal needs the daemon's agreement ---
stop_daemon
run make -s -C "$TAMRIN_SOURCE_DIR" uninstall
expect_not "uninstall without a running daemon fails" test "$RUN_STATUS" -eq 0
expect_contains "uninstall without a running daemon: the tool's error" \
  "error: The Tamrin daemon is not running" "$RUN_ERR"
expect_contains "uninstall without a running daemon: says nothing changed" \
  "Tamrin was not removed; nothing was changed." "$RUN_ERR"
expect "uninstall without a running daemon: everything is still installed" installed

start_daemon "$app/bin/TamrinDaemon"
run make -s -C "$TAMRIN_SOURCE_DIR" uninstall
expect_eq "uninstall with the daemon's agreement: exit 0" 0 "$RUN_STATUS"
expect_contains "uninstall: reports the removal" "uninstall: Tamrin was removed." "$RUN_OUT"
expect_not "uninstall: /opt/Tamrin.app is gone" test -e "$app"
expect_not "uninstall: the unit is gone" test -e "$unit"
expect_not "uninstall: the link is gone" test -L "$link"
expect_not "uninstall: the manual page is gone" test -e /usr/local/share/man/man1/tamrinctl.1
run make -s -C "$TAMRIN_SOURCE_DIR" uninstall
expect_eq "uninstall once more: exit 0" 0 "$RUN_STATUS"
expect_eq "uninstall once more: nothing to do" "uninstall: Tamrin is not installed." "$RUN_OUT"

finish
