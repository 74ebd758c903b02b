#pragma once

#include <cstdint>
#include <string_view>

namespace tamrin {

// What a reader of the first bytes of a flow can tell so far.
enum class NameReading : std::uint8_t {
  needMore,  // the bytes so far end before the name or the proof that there is none
  noName,    // decided: the message carries no readable name (or none within the cap)
  foreign,   // the bytes do not start as this protocol: not it, or a later piece seen first
  name,      // decided: the name is in `NameResult::name`
};

struct NameResult {
  NameReading reading = NameReading::needMore;
  std::string_view name;  // lowercased, without a trailing dot; valid until the reader changes
};

}  // namespace tamrin
