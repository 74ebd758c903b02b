#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "daemon/wire/name_reading.h"
#include "daemon/wire/stream_assembler.h"

namespace tamrin {

// Reads the host_name of the server_name extension of a TLS ClientHello from the first
// `maximumBytes` of a stream, its pieces given by offset in any order. `records`: a TCP stream
// of TLS records (the hello may span several records and segments); `handshake`: the bare
// handshake messages, as QUIC's CRYPTO stream carries them.
class ClientHelloReader {
 public:
  enum class Framing : std::uint8_t { records, handshake };

  explicit ClientHelloReader(Framing framing, std::size_t maximumBytes = 4096);

  void add(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Moves what is held `distance` bytes on (a piece before the old start arrived).
  void shift(std::size_t distance) { stream_.shift(distance); }
  // Reads the contiguous bytes so far: needMore, noName (not a handshake record, not a
  // ClientHello, malformed, no server_name, a name that is not a host name, or nothing within
  // the cap), foreign (the first bytes are not a TLS handshake record) or the name.
  NameResult result();
  void clear() { stream_.clear(); }

 private:
  Framing framing_;
  StreamAssembler stream_;
  std::vector<std::uint8_t> handshake_;  // the records' payloads, joined
  std::string name_;
};

}  // namespace tamrin
