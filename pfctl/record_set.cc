#include "pfctl/record_set.h"

#include <nlohmann/json.hpp>

#include <map>

#include "core/regular_file.h"
#include "pfctl/nftables_anchor.h"
#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

// nftables keeps at most 128 bytes of a comment.
constexpr std::size_t kPieceBytes = 120;

bool isRecordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view(".,:=*_%+-").find(c) != std::string_view::npos;
}

}  // namespace

void requireRecordText(std::string_view text) {
  if (text.size() > kMaxRecordTextBytes) {
    throw PfctlError("the record is longer than " + std::to_string(kMaxRecordTextBytes) + " bytes");
  }
  for (const char c : text) {
    if (!isRecordCharacter(c)) throw PfctlError("the record holds a character it may not hold");
  }
}

std::string readRecordFile(const std::string& file) {
  std::string text;
  try {
    text = readRegularFile(file, kMaxRecordTextBytes + 1).bytes;
  } catch (const std::exception& error) {
    throw PfctlError(error.what());
  }
  if (text.ends_with('\n')) text.pop_back();
  try {
    requireRecordText(text);
  } catch (const PfctlError& error) {
    throw PfctlError(file + ": " + error.what());
  }
  return text;
}

std::string recordSetCommands(std::string_view text) {
  if (text.empty()) return {};
  std::string commands = "add set inet tamrin record { type mark; }\n";
  commands.append("add element inet tamrin record { ");
  for (std::size_t offset = 0, index = 0; offset < text.size(); offset += kPieceBytes, ++index) {
    if (index > 0) commands.append(", ");
    commands.append(std::to_string(index)).append(" comment \"");
    commands.append(text.substr(offset, kPieceBytes)).append("\"");
  }
  return commands.append(" }\n");
}

std::string recordTextOf(const nlohmann::json& set) {
  const auto elements = set.find("elem");
  if (elements == set.end() || !elements->is_array()) return {};
  std::map<std::uint64_t, std::string> pieces;
  for (const nlohmann::json& element : *elements) {
    const auto detailed = element.find("elem");
    if (!element.is_object() || detailed == element.end()) return {};
    const auto value = detailed->find("val");
    const auto comment = detailed->find("comment");
    if (value == detailed->end() || comment == detailed->end() || !comment->is_string()) return {};
    std::uint64_t index = 0;
    if (value->is_number_unsigned()) {
      index = value->get<std::uint64_t>();
    } else if (value->is_string()) {  // a mark may be listed in hexadecimal
      try {
        index = std::stoull(value->get<std::string>(), nullptr, 0);
      } catch (const std::exception&) {
        return {};
      }
    } else {
      return {};
    }
    pieces[index] = comment->get<std::string>();
  }
  std::string text;
  std::uint64_t expected = 0;
  for (const auto& [index, piece] : pieces) {
    if (index != expected++) return {};  // a piece is missing
    text += piece;
  }
  try {
    requireRecordText(text);
  } catch (const PfctlError&) {
    return {};
  }
  return text;
}

std::string NftablesAnchor::record() {
  const auto listing = listIfPresent("list set inet tamrin record");
  if (!listing) return {};
  return parseTableListing(*listing).record;
}

void NftablesAnchor::replaceRecord(std::string_view text) {
  requireRecordText(text);
  // One transaction: the old record or the new one, never a part of either.
  std::string commands =
      "add table inet tamrin\n"
      "add set inet tamrin record { type mark; }\n"
      "delete set inet tamrin record\n";
  commands.append(recordSetCommands(text));
  nftables_.run(commands);
}

void NftablesAnchor::flushRecord() {
  if (!listIfPresent("list set inet tamrin record")) return;
  // The record was all the table still held: the table goes with it.
  const auto table = readTable();
  const bool empty =
      table && table->contents.addresses.empty() && !table->hasBaseChain && !table->inspectingNames;
  nftables_.run(empty ? "delete table inet tamrin\n" : "delete set inet tamrin record\n");
}

}  // namespace tamrin
