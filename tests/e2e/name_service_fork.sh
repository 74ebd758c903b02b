# The name-service module never makes a program wait: its file /run/tamrin/suffixes replaced
# over and over while 8 threads look names up and the program forks 2,000 times (each child
# looks one name up and exits; none may hang), and a list it cannot read at once (a FIFO, a
# file the caller may not read) is NOTFOUND at once. The module is opened with dlopen and its
# entry point called, as glibc does.
. "$(dirname "$0")/lib.sh"

readonly list=/run/tamrin/suffixes
[ -x "$TAMRIN_BUNDLE_DIR/../tests/name_service_test_helper" ] || bail "the lookup helper is not built"
[ -f "$TAMRIN_BUNDLE_DIR/lib/libnss_tamrin.so.2" ] || bail "the module is not built"
# Copies on the sandbox's /run, so that another account can run them too.
install -m 0755 "$TAMRIN_BUNDLE_DIR/../tests/name_service_test_helper" "$work/lookup"
install -m 0644 "$TAMRIN_BUNDLE_DIR/lib/libnss_tamrin.so.2" "$work/libnss_tamrin.so.2"
chmod 0755 "$work"
mkdir -p -m 0755 /run/tamrin
module_lookup() { timeout 5 "$@" "$work/lookup" module "$work/libnss_tamrin.so.2" a.example.com; }

expect_eq "forks while the list is replaced: no child hangs, every answer right" \
  "forks 2000 hung 0 wrong 0" "$(timeout 240 "$work/lookup" fork-stress "$work/libnss_tamrin.so.2" "$list" 2000)"

printf 'example.com\n' >"$list"
chmod 0644 "$list"
expect_eq "a readable list sinks its names" "a.example.com sink" "$(module_lookup)"
chmod 0600 "$list"
expect_eq "a list the caller may not read: NOTFOUND at once" "a.example.com NOTFOUND" \
  "$(module_lookup setpriv --reuid=nobody --regid=nogroup --clear-groups)"
rm -f "$list"
mkfifo -m 0644 "$list"
expect_eq "a FIFO at the list path: NOTFOUND at once" "a.example.com NOTFOUND" "$(module_lookup)"
expect_eq "a FIFO at the list path: NOTFOUND for another account too" "a.example.com NOTFOUND" \
  "$(module_lookup setpriv --reuid=nobody --regid=nogroup --clear-groups)"

finish
