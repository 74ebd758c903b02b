// Removing a freshly added managed block gives back the text it was added to, also when the
// write of the block stopped at any byte past its first "\n# "; removing a block from
// arbitrary bytes either succeeds or reports a corrupt block, and without a whole marker it
// changes nothing but a begin marker cut off at the very end. Hiding the lines that name
// blocked hosts changes no line count, hides nothing twice and is undone by showing them.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/hosts_file.h"
#include "core/tamrin_error.h"
#include "fuzz/fuzz_check.h"

using tamrin::check;

namespace {

bool holdsMarker(const std::string& text) {
  return text.find("# BEGIN TAMRIN BLOCK") != std::string::npos ||
         text.find("# END TAMRIN BLOCK") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tamrin::HostsFile;
  const std::string whole(reinterpret_cast<const char*>(data), size);
  try {
    const std::string result = HostsFile::withoutManagedBlock(whole);
    check(result.size() <= whole.size());
    const std::string_view cut = std::string_view(whole).substr(result.size());
    check(holdsMarker(whole) || result == whole ||
          (whole.starts_with(result) && cut.starts_with('\n') &&
           std::string_view("# BEGIN TAMRIN BLOCK").starts_with(cut.substr(1))));
  } catch (const tamrin::TamrinError& error) {
    check(error.kind() == tamrin::TamrinError::Kind::corruptHostsBlock);
  }

  FuzzedDataProvider provider(data, size);
  std::string text = provider.ConsumeRandomLengthString(1 << 16);
  if (text.empty() || text.back() != '\n') text += '\n';
  std::vector<std::string> domains;
  const size_t count = provider.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count; ++i) domains.push_back(provider.ConsumeRandomLengthString(64));
  if (holdsMarker(text)) return 0;

  const std::string added = HostsFile::addingManagedBlock(text, domains);
  check(HostsFile::withoutManagedBlock(added) == text);
  check(HostsFile::withoutManagedBlock(HostsFile::withoutManagedBlock(added)) == text);
  const size_t stop =
      text.size() + 3 + provider.ConsumeIntegralInRange<size_t>(0, added.size() - text.size() - 3);
  check(HostsFile::withoutManagedBlock(added.substr(0, stop)) == text);

  // Lines hidden during a block come back as they were; only lines are hidden, never split.
  if (text.find(HostsFile::kHiddenLinePrefix) != std::string::npos) return 0;
  const std::string hidden = HostsFile::hidingLinesNaming(text, domains);
  check(std::count(hidden.begin(), hidden.end(), '\n') ==
        std::count(text.begin(), text.end(), '\n'));
  check(HostsFile::withHiddenLinesShown(hidden) == text);
  check(HostsFile::hidingLinesNaming(hidden, domains) == hidden);
  return 0;
}
