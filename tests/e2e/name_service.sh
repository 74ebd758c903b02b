# The name-service module as programs meet it: getaddrinfo through a private nsswitch.conf
# ("hosts: tamrin files") with the built module on the library path, against the list file
# /run/tamrin/suffixes in its good, empty, missing and malformed forms.
. "$(dirname "$0")/lib.sh"
require_private_install_dirs

readonly lookup=$TAMRIN_BUNDLE_DIR/../tests/name_service_test_helper
readonly list=/run/tamrin/suffixes
[ -x "$lookup" ] || bail "$lookup is not built"
[ -f "$TAMRIN_BUNDLE_DIR/lib/libnss_tamrin.so.2" ] || bail "the module is not built"
export LD_LIBRARY_PATH=$TAMRIN_BUNDLE_DIR/lib
mkdir -p /run/tamrin
echo "hosts: tamrin files" >/etc/nsswitch.conf
printf '%s example.com old.example.com a.b.example.com notexample.com other.org\n' \
  "$test_address" >>/etc/hosts
readonly names="example.com old.example.com a.b.example.com notexample.com other.org"
sink=(example.com old.example.com a.b.example.com)

# expect_lookups WHAT FAMILY EXPECTED: the lines of the helper for $names, joined by "|".
expect_lookups() {
  expect_eq "$1" "$3" "$("$lookup" "$2" $names | paste -sd'|')"
}
from_files() { local n out=(); for n in "$@"; do out+=("$n $test_address"); done; IFS='|'; echo "${out[*]}"; }

printf 'example.com\n' >"$list"
expect_lookups "a listed suffix sinks itself and every name under it, both families" unspec \
  "example.com 0.0.0.0 ::|old.example.com 0.0.0.0 ::|a.b.example.com 0.0.0.0 ::|notexample.com $test_address|other.org $test_address"
expect_lookups "IPv4 asked: 0.0.0.0 alone" inet \
  "example.com 0.0.0.0|old.example.com 0.0.0.0|a.b.example.com 0.0.0.0|notexample.com $test_address|other.org $test_address"
expect_lookups "IPv6 asked: :: alone" inet6 \
  "example.com ::|old.example.com ::|a.b.example.com ::|notexample.com NOTFOUND|other.org NOTFOUND"
expect_eq "gethostbyname2 (getent hosts) sinks a subdomain" ":: old.example.com" \
  "$(getent hosts old.example.com | xargs)"
expect_eq "gethostbyname (python) sinks a subdomain" "0.0.0.0" \
  "$("$python" -c 'import socket; print(socket.gethostbyname("old.example.com"))')"

: >"$list"
expect_lookups "an empty list leaves every name to the files source" unspec \
  "$(from_files $names)"
rm -f "$list"
expect_lookups "a missing list leaves every name to the files source" unspec \
  "$(from_files $names)"

{
  head -c 4096 /dev/urandom | tr -d '\n'
  printf '\n%s\n\0\0\xff\n' "$(printf 'a%.0s' {1..5000}).org"
  printf 'other.org'  # no final line feed
} >"$list"
expect_lookups "a malformed list: its one good line counts, the rest is skipped" unspec \
  "$(from_files example.com old.example.com a.b.example.com notexample.com)|other.org 0.0.0.0 ::"
head -c $((2 * 1024 * 1024)) /dev/zero | tr '\0' '\n' >"$list"
echo other.org >>"$list"
expect_lookups "an oversized list blocks nothing" unspec "$(from_files $names)"

finish
