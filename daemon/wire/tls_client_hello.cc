#include "daemon/wire/tls_client_hello.h"

#include <algorithm>
#include <optional>

#include "daemon/wire/server_name.h"

namespace tamrin {
namespace {

constexpr std::uint8_t kHandshakeRecord = 22;
constexpr std::uint8_t kClientHello = 1;
constexpr std::uint16_t kServerNameExtension = 0;
constexpr std::uint8_t kHostName = 0;
constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kMaximumRecord = (1 << 14) + 256;

// A bounds-checked reader over the bytes of a message that may not have arrived in full.
// A read past the end of `bytes` sets `short_`, which the caller turns into needMore or
// noName; a length that overruns its enclosing field sets `malformed_`.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::optional<std::uint32_t> number(std::size_t width) {
    if (bytes_.size() < width) return shortRead();
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[i];
    bytes_ = bytes_.subspan(width);
    return value;
  }
  // The next `length` bytes; a part of them when the bytes end before.
  std::span<const std::uint8_t> take(std::size_t length) {
    const std::size_t have = std::min(length, bytes_.size());
    std::span<const std::uint8_t> part = bytes_.first(have);
    bytes_ = bytes_.subspan(have);
    if (have < length) shortRead();
    return part;
  }
  bool skip(std::size_t length) {
    take(length);
    return !short_;
  }
  bool atEnd() const { return bytes_.empty(); }
  bool isShort() const { return short_; }

 private:
  std::nullopt_t shortRead() {
    bytes_ = {};
    short_ = true;
    return std::nullopt;
  }
  std::span<const std::uint8_t> bytes_;
  bool short_ = false;
};

// The outcome of walking the (possibly partial) body of a ClientHello: the raw host_name when
// found, else whether the walk ran out of bytes, found none or met lengths that do not fit.
enum class Walk { found, absent, malformed, truncated };
struct Walked {
  Walk walk;
  std::string_view raw = {};
};

// Finds the first host_name of the first server_name extension in `body`.
Walked walkClientHello(std::span<const std::uint8_t> body) {
  Cursor hello(body);
  hello.skip(2 + 32);  // legacy_version, random
  const auto session = hello.number(1);
  if (session && *session > 32) return {Walk::malformed};
  if (session && !hello.skip(*session)) return {Walk::truncated};
  const auto suites = hello.number(2);
  if (suites && !hello.skip(*suites)) return {Walk::truncated};
  const auto compression = hello.number(1);
  if (compression && !hello.skip(*compression)) return {Walk::truncated};
  if (hello.isShort()) return {Walk::truncated};
  if (hello.atEnd()) return {Walk::absent};  // a hello without extensions
  const auto total = hello.number(2);
  if (!total) return {Walk::truncated};
  Cursor extensions(hello.take(*total));
  const bool extensionsShort = hello.isShort();
  while (!extensions.atEnd()) {
    const auto type = extensions.number(2);
    const auto length = extensions.number(2);
    if (!type || !length) break;
    std::span<const std::uint8_t> data = extensions.take(*length);
    const bool dataShort = extensions.isShort();
    if (*type != kServerNameExtension) {
      if (dataShort) break;
      continue;
    }
    Cursor list(data);
    const auto listLength = list.number(2);
    if (listLength && *listLength + 2 != *length) return {Walk::malformed};
    while (listLength && !list.atEnd()) {
      const auto nameType = list.number(1);
      const auto nameLength = list.number(2);
      if (!nameType || !nameLength) break;
      std::span<const std::uint8_t> name = list.take(*nameLength);
      if (list.isShort()) break;
      if (*nameType == kHostName) {
        return {Walk::found, {reinterpret_cast<const char*>(name.data()), name.size()}};
      }
    }
    // A server_name extension read to its end without a host_name, or cut short.
    if (!dataShort && !list.isShort()) return {Walk::absent};
    break;
  }
  if (extensions.isShort()) return {extensionsShort ? Walk::truncated : Walk::malformed};
  return {extensionsShort ? Walk::truncated : Walk::absent};
}

}  // namespace

ClientHelloReader::ClientHelloReader(Framing framing, std::size_t maximumBytes)
    : framing_(framing), stream_(maximumBytes) {}

void ClientHelloReader::add(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  stream_.add(offset, bytes);
}

NameResult ClientHelloReader::result() {
  const std::span<const std::uint8_t> stream = stream_.contiguous();
  // Whether more of the stream can still come: the cap is not yet filled.
  const bool more = !stream_.full();
  std::span<const std::uint8_t> handshake = stream;
  bool recordsEnded = false;  // a record of another type followed the handshake records
  if (framing_ == Framing::records) {
    if (stream.size() >= 1 && stream[0] != kHandshakeRecord) return {NameReading::foreign, {}};
    if (stream.size() >= 2 && stream[1] != 3) return {NameReading::foreign, {}};
    handshake_.clear();
    std::span<const std::uint8_t> rest = stream;
    while (rest.size() >= kRecordHeader) {
      if (rest[0] != kHandshakeRecord) {
        recordsEnded = true;
        break;
      }
      const std::size_t length = (std::size_t{rest[3]} << 8) | rest[4];
      if (rest[1] != 3 || length == 0 || length > kMaximumRecord) return {NameReading::noName, {}};
      const std::size_t have = std::min(length, rest.size() - kRecordHeader);
      handshake_.insert(handshake_.end(), rest.begin() + kRecordHeader,
                        rest.begin() + static_cast<std::ptrdiff_t>(kRecordHeader + have));
      rest = rest.subspan(kRecordHeader + have);
    }
    handshake = handshake_;
  }
  const bool complete = !more || recordsEnded;
  const NameResult waiting{complete ? NameReading::noName : NameReading::needMore, {}};
  if (handshake.size() < 4) return waiting;
  if (handshake[0] != kClientHello) return {NameReading::noName, {}};
  const std::size_t length =
      (std::size_t{handshake[1]} << 16) | (std::size_t{handshake[2]} << 8) | handshake[3];
  const std::span<const std::uint8_t> body =
      handshake.subspan(4, std::min(length, handshake.size() - 4));
  const Walked walked = walkClientHello(body);
  switch (walked.walk) {
    case Walk::found:
      name_ = normalizedServerName(walked.raw);
      if (name_.empty()) return {NameReading::noName, {}};
      return {NameReading::name, name_};
    case Walk::truncated:
    case Walk::absent:  // the rest of a hello cut short may still hold it
      return body.size() < length ? waiting : NameResult{NameReading::noName, {}};
    case Walk::malformed:
      break;
  }
  return {NameReading::noName, {}};
}

}  // namespace tamrin
