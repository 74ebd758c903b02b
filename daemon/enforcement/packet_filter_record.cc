#include <system_error>

#include "core/directories.h"
#include "core/file_io.h"
#include "core/unicode_text.h"
#include "daemon/enforcement/packet_filter.h"

namespace tamrin {

std::optional<std::string> PacketFilter::blockRecord() const {
  const std::string output = decodeUtf8Lossy(runner(pfctlShowRecord()));
  const std::string text(trimWhitespaceAndNewlines(output));
  if (text.empty()) return std::nullopt;
  return text;
}

void PacketFilter::setBlockRecord(const std::string& text) const {
  createDirectories(directory, 0700, "Could not create ");
  writeFileAtomically(recordFile(), text, 0600);
  try {
    runner(pfctlReplaceRecord(recordFile().string()));
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(recordFile(), ignored);
    throw;
  }
  std::error_code ignored;
  std::filesystem::remove(recordFile(), ignored);
}

void PacketFilter::clearBlockRecord() const { runner(pfctlFlushRecord()); }

}  // namespace tamrin
