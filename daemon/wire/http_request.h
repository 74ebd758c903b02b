#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "daemon/wire/name_reading.h"
#include "daemon/wire/stream_assembler.h"

namespace tamrin {

// Reads the Host header of an HTTP/1.x request from the first `maximumBytes` of a stream,
// its pieces given by offset in any order. The request line must be a method token, one
// space, a target, one space and "HTTP/1." and a digit; the header name is matched without
// regard to case and a port after the name is dropped.
class HttpRequestReader {
 public:
  explicit HttpRequestReader(std::size_t maximumBytes = 4096) : stream_(maximumBytes) {}

  void add(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    stream_.add(offset, bytes);
  }
  void shift(std::size_t distance) { stream_.shift(distance); }
  // needMore until the Host line or the end of the headers (or the cap); noName for a
  // request without a Host header, a malformed header or a host that is not a name (an
  // address literal included); foreign when the request line is not one.
  NameResult result();
  void clear() { stream_.clear(); }

 private:
  StreamAssembler stream_;
  std::string name_;
};

}  // namespace tamrin
