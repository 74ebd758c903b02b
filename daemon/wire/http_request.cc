#include "daemon/wire/http_request.h"

#include <string_view>

#include "daemon/wire/server_name.h"

namespace tamrin {
namespace {

// RFC 9110 tchar: the bytes of a method token or a header name.
bool isTokenByte(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isTargetByte(char c) { return c > ' ' && c < 0x7f; }

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isHostHeader(std::string_view name) {
  return name.size() == 4 && lowered(name[0]) == 'h' && lowered(name[1]) == 'o' &&
         lowered(name[2]) == 's' && lowered(name[3]) == 't';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Checks the request line `line` (without its end); a partial line when `partial`.
bool plausibleRequestLine(std::string_view line, bool partial) {
  std::size_t i = 0;
  while (i < line.size() && isTokenByte(line[i])) ++i;
  if (i == line.size()) return partial;
  if (i == 0 || line[i] != ' ') return false;
  const std::size_t targetStart = ++i;
  while (i < line.size() && isTargetByte(line[i])) ++i;
  if (i == line.size()) return partial;
  if (i == targetStart || line[i] != ' ') return false;
  const std::string_view version = line.substr(i + 1);
  constexpr std::string_view kVersion = "HTTP/1.";
  if (partial && version.size() <= kVersion.size()) return kVersion.starts_with(version);
  return version.size() == kVersion.size() + 1 && version.starts_with(kVersion) &&
         version.back() >= '0' && version.back() <= '9';
}

}  // namespace

NameResult HttpRequestReader::result() {
  const std::span<const std::uint8_t> bytes = stream_.contiguous();
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const NameResult waiting{stream_.full() ? NameReading::noName : NameReading::needMore, {}};
  std::size_t end = text.find('\n');
  if (end == std::string_view::npos) {
    if (!plausibleRequestLine(text, true)) return {NameReading::foreign, {}};
    return waiting;
  }
  std::string_view line = text.substr(0, end);
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (!plausibleRequestLine(line, false)) return {NameReading::foreign, {}};
  for (std::size_t start = end + 1;; start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string_view::npos) return waiting;
    line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) return {NameReading::noName, {}};         // the end of the headers
    if (line.front() == ' ' || line.front() == '\t') continue;  // an obsolete folded line
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return {NameReading::noName, {}};
    const std::string_view header = line.substr(0, colon);
    for (char c : header) {
      if (!isTokenByte(c)) return {NameReading::noName, {}};
    }
    if (!isHostHeader(header)) continue;
    std::string_view host = trimmed(line.substr(colon + 1));
    if (host.starts_with('[')) return {NameReading::noName, {}};  // an IPv6 literal
    const std::size_t port = host.rfind(':');
    if (port != std::string_view::npos) host = host.substr(0, port);
    name_ = normalizedServerName(host);
    if (name_.empty()) return {NameReading::noName, {}};
    return {NameReading::name, name_};
  }
}

}  // namespace tamrin
