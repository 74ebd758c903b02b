#include "daemon/service/block_record.h"

#include <date/date.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include "core/configuration_limits.h"
#include "daemon/resolve/address_list.h"

namespace tamrin {
namespace {

constexpr std::string_view kVersion = "tamrin-block-record-1";

bool isPlain(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '*' || c == '_' || c == '-' || c == ':';
}

std::string escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    if (isPlain(c)) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out.append({'%', kHex[byte >> 4], kHex[byte & 15]});
    }
  }
  return out;
}

std::optional<std::string> unescaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isPlain(text[i])) {
      out += text[i];
      continue;
    }
    if (text[i] != '%' || i + 2 >= text.size()) return std::nullopt;
    unsigned value = 0;
    const auto* first = text.data() + i + 1;
    const auto [end, error] = std::from_chars(first, first + 2, value, 16);
    if (error != std::errc() || end != first + 2) return std::nullopt;
    out += static_cast<char>(value);
    i += 2;
  }
  return out;
}

std::string number(double value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) throw std::length_error("A number of a block record is too long.");
  return std::string(buffer, end);
}

std::optional<double> finiteNonNegative(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
      value < 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string encodeBlockRecord(const BlockRecord& record) {
  std::string text(kVersion);
  text.append(",end=").append(
      number(record.end.endsAt.value_or(Instant(0)).secondsSinceReference()));
  text.append(",boot=").append(escaped(record.end.bootId));
  text.append(",bootEnd=").append(number(record.end.endsAtBootTime));
  text.append(",recorded=").append(number(record.end.recordedAtBootTime.value_or(0)));
  for (const std::string& domain : record.domains) text.append(",d=").append(escaped(domain));
  for (const std::string& address : record.addresses) text.append(",a=").append(escaped(address));
  if (text.size() > kMaximumBlockRecordBytes) {
    throw std::length_error("The block record would be too large.");
  }
  return text;
}

std::optional<BlockRecord> decodeBlockRecord(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.size() > kMaximumBlockRecordBytes) return std::nullopt;
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    fields.push_back(text.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (fields.size() < 5 || fields[0] != kVersion) return std::nullopt;
  const auto value = [&](std::size_t index,
                         std::string_view key) -> std::optional<std::string_view> {
    const std::string_view field = fields[index];
    if (!field.starts_with(key) || field.size() <= key.size() || field[key.size()] != '=') {
      return std::nullopt;
    }
    return field.substr(key.size() + 1);
  };
  const auto end = value(1, "end");
  const auto boot = value(2, "boot");
  const auto bootEnd = value(3, "bootEnd");
  const auto recorded = value(4, "recorded");
  if (!end || !boot || !bootEnd || !recorded) return std::nullopt;
  const auto endSeconds = finiteNonNegative(*end);
  const auto bootId = unescaped(*boot);
  const auto bootEndSeconds = finiteNonNegative(*bootEnd);
  const auto recordedSeconds = finiteNonNegative(*recorded);
  if (!endSeconds || !bootId || bootId->empty() || !bootEndSeconds || !recordedSeconds) {
    return std::nullopt;
  }
  BlockRecord record{.end = {.bootId = *bootId,
                             .endsAtBootTime = *bootEndSeconds,
                             .endsAt = Instant(*endSeconds),
                             .recordedAtBootTime = *recordedSeconds},
                     .domains = {},
                     .addresses = {}};
  for (std::size_t i = 5; i < fields.size(); ++i) {
    const bool isDomain = fields[i].starts_with("d=");
    if (!isDomain && !fields[i].starts_with("a=")) return std::nullopt;
    auto item = unescaped(fields[i].substr(2));
    if (!item || item->empty()) return std::nullopt;
    auto& list = isDomain ? record.domains : record.addresses;
    if (isDomain && !record.addresses.empty()) return std::nullopt;  // names come first
    list.push_back(std::move(*item));
  }
  if (record.domains.empty() || record.domains.size() > kMaxConfigurationDomains ||
      record.addresses.size() > kMaxAddressesInAll) {
    return std::nullopt;
  }
  return record;
}

std::string blockRecordEndText(Instant end) {
  using namespace std::chrono;
  const auto point = sys_seconds(seconds(static_cast<long long>(std::round(end.unixSeconds()))));
  return date::format("%Y-%m-%dT%H:%M:%SZ", point);
}

}  // namespace tamrin
