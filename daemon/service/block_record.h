#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/instant.h"
#include "core/policy.h"

namespace tamrin {

// The daemon's second word on a running block, kept apart from the policy file: where it ends
// (on the boot clock of its boot and as a wall instant) and what it blocks. A daemon that
// finds its policy gone or changed keeps this block in force until its end.
struct BlockRecord {
  BlockHold end;  // endsAt is required
  std::vector<std::string> domains;
  std::vector<std::string> addresses;

  bool operator==(const BlockRecord&) const = default;
};

// The longest text of a record: the capped lists of names and addresses fit with room.
inline constexpr std::size_t kMaximumBlockRecordBytes = std::size_t{1} << 20;

// One line of letters, digits and ".,:=*_%+-" only, so that it can be stored anywhere as it
// is. Names are percent-encoded where they hold anything else. Throws std::length_error when
// the text would be longer than kMaximumBlockRecordBytes.
std::string encodeBlockRecord(const BlockRecord& record);
// Absent for a text that is not exactly such a record (a trailing line feed is allowed).
std::optional<BlockRecord> decodeBlockRecord(std::string_view text);

// Where the record says the block ends, to the nearest second, as the text a user reads
// ("2026-03-02T20:00:00Z").
std::string blockRecordEndText(Instant end);

}  // namespace tamrin
