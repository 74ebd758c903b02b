#pragma once

#include <string>
#include <string_view>

namespace tamrin {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

// `bytes` as UTF-8 with every ill-formed sequence replaced by U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

// `text` without the Unicode white-space and line-break characters at both ends.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

}  // namespace tamrin
