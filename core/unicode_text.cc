#include "core/unicode_text.h"

#include <cstdint>
#include <optional>

namespace tamrin {
namespace {

struct Decoded {
  char32_t codePoint;
  std::size_t length;
};

// The well-formed UTF-8 sequence at the start of `text`, or absent.
std::optional<Decoded> decodeOne(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return Decoded{lead, 1};
  std::size_t length;
  char32_t codePoint;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, codePoint = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, codePoint = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    codePoint = (codePoint << 6) | (byte(i) & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return std::nullopt;
  }
  return Decoded{codePoint, length};
}

bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const auto decoded = decodeOne(text);
    if (!decoded) return false;
    text.remove_prefix(decoded->length);
  }
  return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  while (!bytes.empty()) {
    if (const auto decoded = decodeOne(bytes)) {
      result.append(bytes.substr(0, decoded->length));
      bytes.remove_prefix(decoded->length);
    } else {
      result.append("\xEF\xBF\xBD");
      bytes.remove_prefix(1);
    }
  }
  return result;
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  while (const auto decoded = decodeOne(text)) {
    if (!isWhitespaceOrNewline(decoded->codePoint)) break;
    text.remove_prefix(decoded->length);
  }
  // Walk back to the start of the last sequence (at most four bytes) and test it.
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 &&
           (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    const auto decoded = decodeOne(text.substr(start));
    if (!decoded || decoded->length != text.size() - start ||
        !isWhitespaceOrNewline(decoded->codePoint)) {
      break;
    }
    text.remove_suffix(decoded->length);
  }
  return text;
}

}  // namespace tamrin
