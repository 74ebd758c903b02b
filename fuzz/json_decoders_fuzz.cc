// Feeds arbitrary bytes to the configuration, policy and status decoders; whatever decodes
// must encode and decode again to an equal value, a configuration also after it was moved into
// the "windows" list form. Seeds and a dictionary are in fuzz/corpus and fuzz/*.dict.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/configuration.h"
#include "core/daemon_status.h"
#include "core/json_error.h"
#include "core/policy.h"

namespace {

template <typename Decode, typename Encode>
void roundTrip(std::string_view bytes, Decode decode, Encode encode) {
  try {
    const auto value = decode(bytes);
    std::string encoded;
    try {
      encoded = encode(value);
    } catch (const tamrin::JsonError&) {
      return;  // decoded text that cannot be written back (it is not UTF-8) is refused cleanly
    }
    if (!(decode(encoded) == value)) std::abort();
  } catch (const tamrin::JsonError&) {
  }
}

// The configuration of `bytes` with its one top-level window moved into "windows".
tamrin::TamrinConfiguration decodeAsWindowList(std::string_view bytes) {
  tamrin::TamrinConfiguration configuration = tamrin::decodeConfiguration(bytes);
  if (!configuration.windows) {
    configuration.windows = {configuration.topLevelWindow()};
    configuration.focusStartMinutes = configuration.accessStartMinutes = 0;
    configuration.activeWeekdays.reset();
  }
  return configuration;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  roundTrip(bytes, tamrin::decodeConfiguration, tamrin::encodeConfiguration);
  roundTrip(bytes, decodeAsWindowList, tamrin::encodeConfiguration);
  roundTrip(bytes, tamrin::decodePolicy, tamrin::encodePolicy);
  roundTrip(bytes, tamrin::decodeDaemonStatus, tamrin::encodeDaemonStatus);
  return 0;
}
