// The name-service module's list parser on arbitrary bytes: it never fails or reads out of
// bounds, every suffix it keeps is canonical and covers itself and the names under it, and a
// name that the list covers is covered whatever its letter case.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "nss/suffix_list.h"

using tamrin::check;

namespace {

bool canonicalCovers(const tamrin_suffix_list& list, const std::string& name) {
  char canonical[TAMRIN_NAME_MAX + 1];
  if (tamrin_canonical_name(name.data(), name.size(), canonical) < 0) return false;
  return tamrin_suffix_list_covers(&list, canonical) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string name = provider.ConsumeRandomLengthString(300);
  const std::string text = provider.ConsumeRemainingBytesAsString();
  tamrin_suffix_list list;
  if (tamrin_suffix_list_parse(text.data(), text.size(), &list) != 0) return 0;
  for (size_t i = 0; i < list.count; ++i) {
    const std::string entry = list.entries[i];
    char canonical[TAMRIN_NAME_MAX + 1];
    check(tamrin_canonical_name(entry.data(), entry.size(), canonical) ==
          static_cast<int>(entry.size()));
    check(entry == canonical && entry.find('.') != std::string::npos);
    check(tamrin_suffix_list_covers(&list, entry.c_str()));
    if (entry.size() + 2 <= TAMRIN_NAME_MAX) check(canonicalCovers(list, "x." + entry));
    if (i > 0) check(std::strcmp(list.entries[i - 1], list.entries[i]) <= 0);
  }
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  check(canonicalCovers(list, name) == canonicalCovers(list, upper));
  tamrin_suffix_list_free(&list);
  return 0;
}
