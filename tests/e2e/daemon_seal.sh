# A daemon that cannot establish its client requirement stops at once: status 1, one error
# line, no socket, and no pass over the hosts file. One case per way the seal can be wrong.
. "$(dirname "$0")/lib.sh"

readonly leftover=$'# BEGIN TAMRIN BLOCK\n0.0.0.0\tleftover.test\n# END TAMRIN BLOCK'
printf '%s\n' "$leftover" >>/etc/hosts
cp /etc/hosts "$work/hosts.before"

# A fresh copy of the bundle under $work/<case>/Tamrin.app.
copy_bundle() {
  rm -rf "${work:?}/$1"
  mkdir -p "$work/$1"
  cp -a "$TAMRIN_BUNDLE_DIR" "$work/$1/Tamrin.app"
  echo "$work/$1/Tamrin.app"
}

# refuses CASE DAEMON EXPECTED_ERROR_LINE
refuses() {
  local case=$1 daemon=$2 expected=$3
  rm -f "$daemon_socket"
  run timeout 20 "$daemon"
  expect_eq "$case: exit status 1" 1 "$RUN_STATUS"
  expect_eq "$case: the error line" "$expected" "$RUN_ERR"
  expect_eq "$case: nothing on standard output" "" "$RUN_OUT"
  expect_not "$case: no socket" test -e "$daemon_socket"
  expect_eq "$case: no pass touched /etc/hosts" "$(cat "$work/hosts.before")" "$(cat /etc/hosts)"
}

readonly requirement_error='error: Tamrin could not establish its client requirement (Security error'

bundle=$(copy_bundle no-seal)
rm -f "$bundle/_CodeSignature/CodeResources"
refuses "seal missing" "$bundle/bin/TamrinDaemon" "$requirement_error -67062)."

bundle=$(copy_bundle changed-file)
printf '\0' >>"$bundle/bin/tamrinctl"
refuses "a sealed file changed" "$bundle/bin/TamrinDaemon" "$requirement_error -67054)."

bundle=$(copy_bundle missing-file)
rm -f "$bundle/libexec/tamrin-pfctl"
refuses "a sealed file missing" "$bundle/bin/TamrinDaemon" "$requirement_error -67054)."

bundle=$(copy_bundle malformed-seal)
printf 'this is not a seal\n' >"$bundle/_CodeSignature/CodeResources"
refuses "seal malformed" "$bundle/bin/TamrinDaemon" "$requirement_error -67061)."

mkdir -p "$work/no-bundle/bin"
cp "$TAMRIN_BUNDLE_DIR/bin/TamrinDaemon" "$work/no-bundle/bin/TamrinDaemon"
refuses "no enclosing .app directory" "$work/no-bundle/bin/TamrinDaemon" \
  "error: Tamrin could not locate its application bundle."

finish
