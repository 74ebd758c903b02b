// Feeds arbitrary bytes to the ClientHello reader, whole and cut into pieces given in a
// shuffled order. Both must read the same: the same outcome and the same name, and a name
// read is always a normalised host name.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "daemon/wire/server_name.h"
#include "daemon/wire/tls_client_hello.h"
#include "fuzz/fuzz_check.h"

using tamrin::check;
using tamrin::ClientHelloReader;
using tamrin::NameReading;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const auto framing = provider.ConsumeBool() ? ClientHelloReader::Framing::records
                                              : ClientHelloReader::Framing::handshake;
  const std::size_t cap = provider.ConsumeIntegralInRange<std::size_t>(16, 4096);
  std::vector<std::size_t> cuts(provider.ConsumeIntegralInRange<std::size_t>(0, 7));
  for (std::size_t& cut : cuts) cut = provider.ConsumeIntegralInRange<std::size_t>(0, 5000);
  const bool reversed = provider.ConsumeBool();
  const std::vector<std::uint8_t> stream = provider.ConsumeRemainingBytes<std::uint8_t>();

  ClientHelloReader whole(framing, cap);
  whole.add(0, stream);
  const tamrin::NameResult once = whole.result();
  if (once.reading == NameReading::name) {
    check(!once.name.empty() && tamrin::normalizedServerName(once.name) == once.name);
  }

  cuts = tamrin::pieceBounds(std::move(cuts), stream.size());
  std::vector<std::size_t> order(cuts.size() - 1);
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = reversed ? order.size() - 1 - i : i;
  ClientHelloReader pieces(framing, cap);
  for (std::size_t i : order) {
    pieces.add(cuts[i], std::span(stream).subspan(cuts[i], cuts[i + 1] - cuts[i]));
    pieces.result();
  }
  const tamrin::NameResult joined = pieces.result();
  check(joined.reading == once.reading && joined.name == once.name);
  return 0;
}
