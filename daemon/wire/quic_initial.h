#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "daemon/wire/name_reading.h"
#include "daemon/wire/tls_client_hello.h"

namespace tamrin {

inline constexpr std::uint32_t kQuicVersion1 = 0x00000001;  // RFC 9000
inline constexpr std::uint32_t kQuicVersion2 = 0x6b3343cf;  // RFC 9369

// The client's Initial packet protection keys for a version and a destination connection id
// (RFC 9001 section 5.2, RFC 9369 section 3.3); nothing for another version.
struct QuicInitialKeys {
  std::array<std::uint8_t, 16> key;
  std::array<std::uint8_t, 12> iv;
  std::array<std::uint8_t, 16> hp;
};
std::optional<QuicInitialKeys> quicClientInitialKeys(std::uint32_t version,
                                                     std::span<const std::uint8_t> dcid);

// The invariant part of a long-header packet at the start of `datagram`, and for versions 1
// and 2 where its protected part starts and how long it is.
struct QuicLongHeader {
  std::uint32_t version = 0;
  bool known = false;    // version 1 or 2: the fields below are read
  bool initial = false;  // an Initial packet
  std::span<const std::uint8_t> dcid;
  std::size_t packetNumberOffset = 0;
  std::size_t size = 0;  // the whole packet, up to where a coalesced next one starts
};
// Nothing for a short header, a version negotiation packet or a header that does not fit.
std::optional<QuicLongHeader> readQuicLongHeader(std::span<const std::uint8_t> datagram);

// Removes the header protection and the AEAD of client Initials. Holds the cipher contexts and
// one packet-sized buffer, reused by every call; not shared between threads.
class QuicInitialOpener {
 public:
  QuicInitialOpener();
  ~QuicInitialOpener();
  QuicInitialOpener(const QuicInitialOpener&) = delete;
  QuicInitialOpener& operator=(const QuicInitialOpener&) = delete;

  // The frames of the Initial `packet` (exactly header.size bytes), or nothing when it does
  // not open (a bad tag, too short). Valid until the next call.
  std::optional<std::span<const std::uint8_t>> open(std::span<const std::uint8_t> packet,
                                                    const QuicLongHeader& header,
                                                    const QuicInitialKeys& keys);

 private:
  struct Contexts;
  std::unique_ptr<Contexts> contexts_;
  std::vector<std::uint8_t> packet_;
};

// Walks the frames of an opened Initial and hands the CRYPTO data to `hello` by offset;
// PADDING, PING, ACK and CONNECTION_CLOSE are stepped over. Returns false at a frame it cannot
// read, whose rest of the packet is then ignored.
bool readInitialFrames(std::span<const std::uint8_t> frames, ClientHelloReader& hello);

// Reads the server name of a QUIC connection from its client Initials: the CRYPTO stream put
// back together by offset across packets (in any order, coalesced ones included) and read as
// a ClientHello, within `maximumCryptoBytes`.
class QuicInitialReader {
 public:
  explicit QuicInitialReader(std::size_t maximumCryptoBytes = 4096);

  // Reads every client Initial of version 1 or 2 in `datagram`; returns how many opened.
  // Packets of another version, other types and ones that do not open give nothing.
  std::size_t addDatagram(std::span<const std::uint8_t> datagram, QuicInitialOpener& opener);
  NameResult result() { return hello_.result(); }
  void clear();

 private:
  ClientHelloReader hello_;
  // The keys of the last connection id seen, derived once for it.
  std::uint32_t keysVersion_ = 0;
  std::array<std::uint8_t, 20> keysDcid_{};
  std::size_t keysDcidLength_ = 0;
  std::optional<QuicInitialKeys> keys_;
};

}  // namespace tamrin
