#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>

namespace tamrin {

// The daemon's block record, kept in the table "inet tamrin" as the set "record" of marks 0,
// 1, ... whose element comments, in that order, spell its text. The set matches no packet,
// and the tool neither lists it with the rules nor counts it as unexpected; rebuilding the
// table keeps it.
inline constexpr std::string_view kRecordSet = "record";

// The longest record text the tool stores.
inline constexpr std::size_t kMaxRecordTextBytes = std::size_t{1} << 20;

// Throws PfctlError unless `text` is at most kMaxRecordTextBytes of letters, digits and
// ".,:=*_%+-" (so every piece fits a quoted comment as it is).
void requireRecordText(std::string_view text);

// The record text in `file` (a regular file; one final line feed is dropped). Throws
// PfctlError naming the file for an unreadable file or a text requireRecordText refuses.
std::string readRecordFile(const std::string& file);

// The commands that add the set holding `text`, for a table being built; none for "".
std::string recordSetCommands(std::string_view text);

// The text the JSON of the set spells; "" when its elements are not such pieces.
std::string recordTextOf(const nlohmann::json& set);

}  // namespace tamrin
