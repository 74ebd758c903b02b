#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tamrin {

// The first bytes of one byte stream, put back together from pieces that arrive in any order,
// overlapping or repeated. Holds at most `capacity` bytes (offsets 0 .. capacity-1); the part
// of a piece beyond that is dropped. Remembers a bounded number of separate ranges: a piece
// that would need one more is dropped. The buffer grows only as far as pieces reach and keeps
// its memory across clear().
class StreamAssembler {
 public:
  explicit StreamAssembler(std::size_t capacity) : capacity_(capacity) {}

  // Copies `bytes` in at `offset` (the first copy of a byte wins).
  void add(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Moves everything `distance` bytes further from the start (a piece before the old start
  // arrived); what then lies beyond the capacity is dropped.
  void shift(std::size_t distance);
  // The bytes known from offset 0 without a gap.
  std::span<const std::uint8_t> contiguous() const;
  // Whether the contiguous bytes fill the whole capacity: no more can come.
  bool full() const { return contiguous().size() >= capacity_; }
  std::size_t capacity() const { return capacity_; }
  void clear() { count_ = 0; }

 private:
  struct Range {
    std::size_t begin, end;
  };
  static constexpr std::size_t kMaximumRanges = 16;

  void insertRange(Range range);

  std::size_t capacity_;
  std::vector<std::uint8_t> bytes_;
  std::array<Range, kMaximumRanges> ranges_{};  // sorted, disjoint, not touching
  std::size_t count_ = 0;
};

}  // namespace tamrin
