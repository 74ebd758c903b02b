// Feeds arbitrary bytes to the Host header reader, whole and cut into pieces given in a
// shuffled order. Both must read the same, and a name read is a normalised host name.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "daemon/wire/http_request.h"
#include "daemon/wire/server_name.h"
#include "fuzz/fuzz_check.h"

using tamrin::check;
using tamrin::HttpRequestReader;
using tamrin::NameReading;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::size_t cap = provider.ConsumeIntegralInRange<std::size_t>(8, 4096);
  std::vector<std::size_t> cuts(provider.ConsumeIntegralInRange<std::size_t>(0, 7));
  for (std::size_t& cut : cuts) cut = provider.ConsumeIntegralInRange<std::size_t>(0, 5000);
  const std::vector<std::uint8_t> stream = provider.ConsumeRemainingBytes<std::uint8_t>();

  HttpRequestReader whole(cap);
  whole.add(0, stream);
  const tamrin::NameResult once = whole.result();
  if (once.reading == NameReading::name) {
    check(!once.name.empty() && tamrin::normalizedServerName(once.name) == once.name);
  }

  cuts = tamrin::pieceBounds(std::move(cuts), stream.size());
  HttpRequestReader pieces(cap);
  for (std::size_t i = cuts.size() - 1; i-- > 0;) {  // the last piece first
    pieces.add(cuts[i], std::span(stream).subspan(cuts[i], cuts[i + 1] - cuts[i]));
    pieces.result();
  }
  const tamrin::NameResult joined = pieces.result();
  check(joined.reading == once.reading && joined.name == once.name);
  return 0;
}
