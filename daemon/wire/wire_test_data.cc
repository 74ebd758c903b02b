#include "daemon/wire/wire_test_data.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "daemon/wire/quic_initial.h"

namespace tamrin {
namespace {

void put16(Bytes& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void putVarint(Bytes& out, std::uint64_t value) {
  if (value < 64) {
    out.push_back(static_cast<std::uint8_t>(value));
  } else {
    put16(out, 0x4000 | value);
  }
}

Bytes ipHeader(bool ipv6, std::uint8_t protocol, std::size_t payloadLength) {
  Bytes out;
  if (ipv6) {
    out = {0x60, 0, 0, 0};
    put16(out, payloadLength);
    out.insert(out.end(), {protocol, 64});
    Bytes address = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    out.insert(out.end(), address.begin(), address.end());
    address.back() = 7;
    out.insert(out.end(), address.begin(), address.end());
  } else {
    out = {0x45, 0};
    put16(out, 20 + payloadLength);
    out.insert(out.end(), {0, 0, 0x40, 0, 64, protocol, 0, 0, 192, 0, 2, 1, 198, 51, 100, 7});
  }
  return out;
}

}  // namespace

Bytes testdataBytes(std::string_view name) {
  const char* root = std::getenv("TAMRIN_SOURCE_DIR");
  std::ifstream in(std::string(root ? root : ".") + "/daemon/wire/testdata/" + std::string(name));
  if (!in) throw std::runtime_error("no test data " + std::string(name));
  std::string hex, line;
  while (std::getline(in, line)) hex += line;
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes asBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes joined(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Extension serverNameExtension(std::string_view name) {
  Bytes data;
  put16(data, name.size() + 3);
  data.push_back(0);
  put16(data, name.size());
  data.insert(data.end(), name.begin(), name.end());
  return {0, data};
}

Bytes clientHello(const std::vector<Extension>& extensions) {
  Bytes body = {3, 3};
  body.insert(body.end(), 32, 0xab);                        // random
  body.push_back(0);                                        // session id
  body.insert(body.end(), {0, 4, 0x13, 0x01, 0x13, 0x02});  // cipher suites
  body.insert(body.end(), {1, 0});                          // compression
  Bytes all;
  for (const Extension& extension : extensions) {
    put16(all, extension.type);
    put16(all, extension.data.size());
    all.insert(all.end(), extension.data.begin(), extension.data.end());
  }
  put16(body, all.size());
  body.insert(body.end(), all.begin(), all.end());
  Bytes out = {1, static_cast<std::uint8_t>(body.size() >> 16)};
  put16(out, body.size());
  return joined(out, body);
}

Bytes inRecords(const Bytes& handshake, std::size_t recordSize) {
  Bytes out;
  for (std::size_t at = 0; at < handshake.size(); at += recordSize) {
    const std::size_t length = std::min(recordSize, handshake.size() - at);
    out.insert(out.end(), {22, 3, 1});
    put16(out, length);
    out.insert(out.end(), handshake.begin() + at, handshake.begin() + at + length);
  }
  return out;
}

Bytes tcpPacket(bool ipv6, std::uint16_t sourcePort, std::uint16_t destinationPort,
                std::uint32_t sequence, const Bytes& payload) {
  Bytes tcp;
  put16(tcp, sourcePort);
  put16(tcp, destinationPort);
  put16(tcp, sequence >> 16);
  put16(tcp, sequence & 0xffff);
  tcp.insert(tcp.end(), {0, 0, 0, 1, 0x50, 0x18, 0xff, 0xff, 0, 0, 0, 0});
  return joined(joined(ipHeader(ipv6, 6, tcp.size() + payload.size()), tcp), payload);
}

Bytes udpPacket(bool ipv6, std::uint16_t sourcePort, std::uint16_t destinationPort,
                const Bytes& payload) {
  Bytes udp;
  put16(udp, sourcePort);
  put16(udp, destinationPort);
  put16(udp, 8 + payload.size());
  put16(udp, 0);
  return joined(joined(ipHeader(ipv6, 17, udp.size() + payload.size()), udp), payload);
}

Bytes cryptoFrame(std::uint64_t offset, const Bytes& data) {
  Bytes out = {0x06};
  putVarint(out, offset);
  putVarint(out, data.size());
  return joined(out, data);
}

Bytes sealedInitial(std::uint32_t version, const Bytes& dcid, std::uint32_t packetNumber,
                    Bytes frames, std::size_t size) {
  const QuicInitialKeys keys = quicClientInitialKeys(version, dcid).value();
  const unsigned type = version == kQuicVersion2 ? 1 : 0;
  Bytes header = {static_cast<std::uint8_t>(0xc3 | (type << 4)),
                  static_cast<std::uint8_t>(version >> 24),
                  static_cast<std::uint8_t>(version >> 16),
                  static_cast<std::uint8_t>(version >> 8),
                  static_cast<std::uint8_t>(version),
                  static_cast<std::uint8_t>(dcid.size())};
  header.insert(header.end(), dcid.begin(), dcid.end());
  header.insert(header.end(), {0, 0});  // no source connection id, no token
  const std::size_t lengthField = 2, pnLength = 4, tag = 16;
  const std::size_t payload = size - header.size() - lengthField - pnLength - tag;
  frames.resize(std::max(frames.size(), payload), 0);  // PADDING
  put16(header, 0x4000 | (pnLength + frames.size() + tag));
  const std::size_t pnOffset = header.size();
  put16(header, packetNumber >> 16);
  put16(header, packetNumber & 0xffff);

  std::array<std::uint8_t, 12> nonce = keys.iv;
  for (int i = 0; i < 4; ++i) nonce[11 - i] ^= static_cast<std::uint8_t>(packetNumber >> (8 * i));
  Bytes sealed(frames.size() + tag);
  int length = 0;
  EVP_CIPHER_CTX* gcm = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(gcm, EVP_aes_128_gcm(), nullptr, keys.key.data(), nonce.data());
  EVP_EncryptUpdate(gcm, nullptr, &length, header.data(), static_cast<int>(header.size()));
  EVP_EncryptUpdate(gcm, sealed.data(), &length, frames.data(), static_cast<int>(frames.size()));
  EVP_EncryptFinal_ex(gcm, sealed.data() + length, &length);
  EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_GET_TAG, tag, sealed.data() + frames.size());
  EVP_CIPHER_CTX_free(gcm);

  std::array<std::uint8_t, 16> mask{};
  EVP_CIPHER_CTX* ecb = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ecb, EVP_aes_128_ecb(), nullptr, keys.hp.data(), nullptr);
  EVP_EncryptUpdate(ecb, mask.data(), &length, sealed.data(), 16);  // the sample
  EVP_CIPHER_CTX_free(ecb);
  header[0] ^= mask[0] & 0x0f;
  for (std::size_t i = 0; i < pnLength; ++i) header[pnOffset + i] ^= mask[1 + i];
  return joined(header, sealed);
}

}  // namespace tamrin
