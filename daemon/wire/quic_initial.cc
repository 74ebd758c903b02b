#include "daemon/wire/quic_initial.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tamrin {
namespace {

constexpr std::array<std::uint8_t, 20> kSaltVersion1 = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34,
                                                        0xb3, 0x4d, 0x17, 0x9a, 0xe6, 0xa4, 0xc8,
                                                        0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
constexpr std::array<std::uint8_t, 20> kSaltVersion2 = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6,
                                                        0xdb, 0x81, 0x93, 0x81, 0xbe, 0x6e, 0x26,
                                                        0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
constexpr std::size_t kTagLength = 16;
constexpr std::size_t kSampleLength = 16;
constexpr std::size_t kMaximumConnectionId = 20;

// The algorithms, fetched once for the process.
struct Algorithms {
  EVP_KDF* hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_CIPHER* ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
  EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
};
const Algorithms& algorithms() {
  static const Algorithms kAlgorithms;
  return kAlgorithms;
}

// HKDF-Extract (when `info` is empty and `salt` is not) or HKDF-Expand with SHA-256.
bool hkdf(std::span<const std::uint8_t> key, std::span<const std::uint8_t> salt,
          std::span<const std::uint8_t> info, std::span<std::uint8_t> out) {
  if (algorithms().hkdf == nullptr) return false;
  std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> context(
      EVP_KDF_CTX_new(algorithms().hkdf), EVP_KDF_CTX_free);
  if (!context) return false;
  int mode = salt.empty() ? EVP_KDF_HKDF_MODE_EXPAND_ONLY : EVP_KDF_HKDF_MODE_EXTRACT_ONLY;
  char digest[] = "SHA256";
  auto octets = [](const char* name, std::span<const std::uint8_t> bytes) {
    return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()),
                                             bytes.size());
  };
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
      octets(OSSL_KDF_PARAM_KEY, key),
      salt.empty() ? octets(OSSL_KDF_PARAM_INFO, info) : octets(OSSL_KDF_PARAM_SALT, salt),
      OSSL_PARAM_construct_end(),
  };
  return EVP_KDF_derive(context.get(), out.data(), out.size(), params) == 1;
}

// HKDF-Expand-Label of TLS 1.3 (RFC 8446 section 7.1) with an empty context.
bool expandLabel(std::span<const std::uint8_t> secret, std::string_view label,
                 std::span<std::uint8_t> out) {
  constexpr std::string_view kPrefix = "tls13 ";
  std::array<std::uint8_t, 64> info{};
  std::size_t n = 0;
  info[n++] = static_cast<std::uint8_t>(out.size() >> 8);
  info[n++] = static_cast<std::uint8_t>(out.size());
  info[n++] = static_cast<std::uint8_t>(kPrefix.size() + label.size());
  for (char c : kPrefix) info[n++] = static_cast<std::uint8_t>(c);
  for (char c : label) info[n++] = static_cast<std::uint8_t>(c);
  info[n++] = 0;
  return hkdf(secret, {}, std::span(info).first(n), out);
}

// A variable-length integer (RFC 9000 section 16) at the front of `bytes`, consumed.
std::optional<std::uint64_t> varint(std::span<const std::uint8_t>& bytes) {
  if (bytes.empty()) return std::nullopt;
  const std::size_t length = std::size_t{1} << (bytes[0] >> 6);
  if (bytes.size() < length) return std::nullopt;
  std::uint64_t value = bytes[0] & 0x3f;
  for (std::size_t i = 1; i < length; ++i) value = (value << 8) | bytes[i];
  bytes = bytes.subspan(length);
  return value;
}

bool skipVarints(std::span<const std::uint8_t>& bytes, int count) {
  for (int i = 0; i < count; ++i) {
    if (!varint(bytes)) return false;
  }
  return true;
}

}  // namespace

std::optional<QuicInitialKeys> quicClientInitialKeys(std::uint32_t version,
                                                     std::span<const std::uint8_t> dcid) {
  if (version != kQuicVersion1 && version != kQuicVersion2) return std::nullopt;
  const bool two = version == kQuicVersion2;
  std::array<std::uint8_t, 32> initial, client;
  QuicInitialKeys keys;
  if (!hkdf(dcid, two ? kSaltVersion2 : kSaltVersion1, {}, initial) ||
      !expandLabel(initial, "client in", client) ||
      !expandLabel(client, two ? "quicv2 key" : "quic key", keys.key) ||
      !expandLabel(client, two ? "quicv2 iv" : "quic iv", keys.iv) ||
      !expandLabel(client, two ? "quicv2 hp" : "quic hp", keys.hp)) {
    return std::nullopt;
  }
  return keys;
}

std::optional<QuicLongHeader> readQuicLongHeader(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < 7 || (datagram[0] & 0x80) == 0) return std::nullopt;
  QuicLongHeader header;
  header.version = (std::uint32_t{datagram[1]} << 24) | (std::uint32_t{datagram[2]} << 16) |
                   (std::uint32_t{datagram[3]} << 8) | datagram[4];
  if (header.version == 0) return std::nullopt;  // version negotiation
  header.known = header.version == kQuicVersion1 || header.version == kQuicVersion2;
  if (!header.known) return header;
  const unsigned type = (datagram[0] >> 4) & 0x03;
  // Version 2 numbers the types Retry, Initial, 0-RTT, Handshake; version 1 Initial, 0-RTT,
  // Handshake, Retry.
  const bool two = header.version == kQuicVersion2;
  const bool retry = type == (two ? 0u : 3u);
  header.initial = type == (two ? 1u : 0u);
  std::span<const std::uint8_t> rest = datagram.subspan(5);
  const std::size_t dcidLength = rest[0];
  if (dcidLength > kMaximumConnectionId || rest.size() < 1 + dcidLength + 1) return std::nullopt;
  header.dcid = rest.subspan(1, dcidLength);
  rest = rest.subspan(1 + dcidLength);
  const std::size_t scidLength = rest[0];
  if (scidLength > kMaximumConnectionId || rest.size() < 1 + scidLength) return std::nullopt;
  rest = rest.subspan(1 + scidLength);
  if (retry) return std::nullopt;  // no length: nothing of a client's hello follows
  if (header.initial) {
    const auto token = varint(rest);
    if (!token || *token > rest.size()) return std::nullopt;
    rest = rest.subspan(static_cast<std::size_t>(*token));
  }
  const auto length = varint(rest);
  if (!length || *length > rest.size()) return std::nullopt;
  header.packetNumberOffset = datagram.size() - rest.size();
  header.size = header.packetNumberOffset + static_cast<std::size_t>(*length);
  return header;
}

struct QuicInitialOpener::Contexts {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ecb{EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free};
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> gcm{EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free};
};

QuicInitialOpener::QuicInitialOpener() : contexts_(std::make_unique<Contexts>()) {}
QuicInitialOpener::~QuicInitialOpener() = default;

std::optional<std::span<const std::uint8_t>> QuicInitialOpener::open(
    std::span<const std::uint8_t> packet, const QuicLongHeader& header,
    const QuicInitialKeys& keys) {
  const std::size_t pnOffset = header.packetNumberOffset;
  if (packet.size() != header.size || packet.size() < pnOffset + 4 + kSampleLength ||
      !contexts_->ecb || !contexts_->gcm || algorithms().ecb == nullptr ||
      algorithms().gcm == nullptr) {
    return std::nullopt;
  }
  packet_.assign(packet.begin(), packet.end());
  std::uint8_t* bytes = packet_.data();

  // Header protection (RFC 9001 section 5.4): a mask from AES-ECB over the sample.
  std::array<std::uint8_t, 32> mask{};
  int length = 0;
  EVP_CIPHER_CTX* ecb = contexts_->ecb.get();
  if (EVP_EncryptInit_ex(ecb, algorithms().ecb, nullptr, keys.hp.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ecb, 0) != 1 ||
      EVP_EncryptUpdate(ecb, mask.data(), &length, bytes + pnOffset + 4, kSampleLength) != 1) {
    return std::nullopt;
  }
  bytes[0] ^= mask[0] & 0x0f;
  const std::size_t pnLength = (bytes[0] & 0x03) + 1;
  std::uint64_t packetNumber = 0;
  for (std::size_t i = 0; i < pnLength; ++i) {
    bytes[pnOffset + i] ^= mask[1 + i];
    packetNumber = (packetNumber << 8) | bytes[pnOffset + i];
  }
  const std::size_t headerLength = pnOffset + pnLength;
  if (packet_.size() < headerLength + kTagLength) return std::nullopt;
  const std::size_t cipherLength = packet_.size() - headerLength - kTagLength;

  std::array<std::uint8_t, 12> nonce = keys.iv;
  for (std::size_t i = 0; i < 8; ++i) {
    nonce[nonce.size() - 1 - i] ^= static_cast<std::uint8_t>(packetNumber >> (8 * i));
  }
  EVP_CIPHER_CTX* gcm = contexts_->gcm.get();
  std::uint8_t* text = bytes + headerLength;
  if (EVP_DecryptInit_ex(gcm, algorithms().gcm, nullptr, keys.key.data(), nonce.data()) != 1 ||
      EVP_DecryptUpdate(gcm, nullptr, &length, bytes, static_cast<int>(headerLength)) != 1 ||
      EVP_DecryptUpdate(gcm, text, &length, text, static_cast<int>(cipherLength)) != 1 ||
      EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_SET_TAG, kTagLength, text + cipherLength) != 1 ||
      EVP_DecryptFinal_ex(gcm, text + length, &length) != 1) {
    return std::nullopt;
  }
  return std::span<const std::uint8_t>(text, cipherLength);
}

bool readInitialFrames(std::span<const std::uint8_t> frames, ClientHelloReader& hello) {
  while (!frames.empty()) {
    const auto type = varint(frames);
    if (!type) return false;
    switch (*type) {
      case 0x00:  // PADDING
      case 0x01:  // PING
        break;
      case 0x02:    // ACK
      case 0x03: {  // ACK with ECN counts
        if (!skipVarints(frames, 2)) return false;
        const auto ranges = varint(frames);
        if (!ranges || !varint(frames)) return false;
        for (std::uint64_t i = 0; i < *ranges; ++i) {
          if (!skipVarints(frames, 2)) return false;
        }
        if (*type == 0x03 && !skipVarints(frames, 3)) return false;
        break;
      }
      case 0x06: {  // CRYPTO
        const auto offset = varint(frames);
        const auto length = varint(frames);
        if (!offset || !length || *length > frames.size()) return false;
        const std::size_t size = static_cast<std::size_t>(*length);
        hello.add(*offset, frames.first(size));
        frames = frames.subspan(size);
        break;
      }
      case 0x1c:    // CONNECTION_CLOSE
      case 0x1d: {  // CONNECTION_CLOSE of the application
        if (!skipVarints(frames, *type == 0x1c ? 2 : 1)) return false;
        const auto reason = varint(frames);
        if (!reason || *reason > frames.size()) return false;
        frames = frames.subspan(static_cast<std::size_t>(*reason));
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

QuicInitialReader::QuicInitialReader(std::size_t maximumCryptoBytes)
    : hello_(ClientHelloReader::Framing::handshake, maximumCryptoBytes) {}

std::size_t QuicInitialReader::addDatagram(std::span<const std::uint8_t> datagram,
                                           QuicInitialOpener& opener) {
  std::size_t opened = 0;
  while (!datagram.empty()) {
    const std::optional<QuicLongHeader> header = readQuicLongHeader(datagram);
    if (!header || !header->known || header->size > datagram.size()) break;
    if (header->initial) {
      const bool sameKeys = keys_ && keysVersion_ == header->version &&
                            std::equal(header->dcid.begin(), header->dcid.end(), keysDcid_.begin(),
                                       keysDcid_.begin() + keysDcidLength_) &&
                            keysDcidLength_ == header->dcid.size();
      if (!sameKeys) {
        keys_ = quicClientInitialKeys(header->version, header->dcid);
        keysVersion_ = header->version;
        keysDcidLength_ = header->dcid.size();
        std::copy(header->dcid.begin(), header->dcid.end(), keysDcid_.begin());
      }
      if (keys_) {
        const auto frames = opener.open(datagram.first(header->size), *header, *keys_);
        if (frames) {
          ++opened;
          readInitialFrames(*frames, hello_);
        }
      }
    }
    datagram = datagram.subspan(header->size);
  }
  return opened;
}

void QuicInitialReader::clear() {
  hello_.clear();
  keys_.reset();
  keysDcidLength_ = 0;
}

}  // namespace tamrin
