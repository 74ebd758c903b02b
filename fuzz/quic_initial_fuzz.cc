// Feeds arbitrary bytes to the QUIC Initial reader as a datagram, and as the frames of an
// Initial sealed here for a fixed connection id: opening that Initial must read exactly what
// walking the same frames directly reads.
#include <cstdint>
#include <vector>

#include "daemon/wire/quic_initial.h"
#include "daemon/wire/server_name.h"
#include "daemon/wire/wire_test_data.h"
#include "fuzz/fuzz_check.h"

using tamrin::check;
using tamrin::ClientHelloReader;
using tamrin::NameReading;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tamrin::QuicInitialOpener opener;
  const std::span<const std::uint8_t> input(data, size);
  tamrin::QuicInitialReader datagram;
  datagram.addDatagram(input, opener);
  const tamrin::NameResult read = datagram.result();
  if (read.reading == NameReading::name)
    check(tamrin::normalizedServerName(read.name) == read.name);

  // The frames as sealed: padded with PADDING to the payload of a 1200-byte Initial.
  if (size > 1100) return 0;
  std::vector<std::uint8_t> frames(data, data + size);
  frames.resize(1162, 0);
  ClientHelloReader direct(ClientHelloReader::Framing::handshake);
  tamrin::readInitialFrames(frames, direct);
  const std::vector<std::uint8_t> sealed =
      tamrin::sealedInitial(tamrin::kQuicVersion1, {1, 2, 3, 4, 5, 6, 7, 8}, 0, frames, 1200);
  tamrin::QuicInitialReader opened;
  check(opened.addDatagram(sealed, opener) == 1);
  const tamrin::NameResult viaPacket = opened.result();
  const tamrin::NameResult viaFrames = direct.result();
  check(viaPacket.reading == viaFrames.reading && viaPacket.name == viaFrames.name);
  return 0;
}
