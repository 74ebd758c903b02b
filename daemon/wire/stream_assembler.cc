#include "daemon/wire/stream_assembler.h"

#include <algorithm>
#include <cstring>

namespace tamrin {

void StreamAssembler::add(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || offset >= capacity_) return;
  const std::size_t begin = static_cast<std::size_t>(offset);
  const std::size_t end = begin + std::min(bytes.size(), capacity_ - begin);
  // Only the parts not yet known are copied, so a repeated piece cannot change a byte.
  std::size_t touching = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    if (ranges_[i].end >= begin && ranges_[i].begin <= end) ++touching;
  }
  if (touching == 0 && count_ == kMaximumRanges) return;
  if (bytes_.size() < end) bytes_.resize(end);
  std::size_t cursor = begin;
  for (std::size_t i = 0; i < count_ && cursor < end; ++i) {
    const Range known = ranges_[i];
    if (known.end <= cursor) continue;
    if (known.begin > cursor) {
      const std::size_t stop = std::min(known.begin, end);
      std::memcpy(bytes_.data() + cursor, bytes.data() + (cursor - begin), stop - cursor);
    }
    cursor = std::max(cursor, known.end);
  }
  if (cursor < end)
    std::memcpy(bytes_.data() + cursor, bytes.data() + (cursor - begin), end - cursor);
  insertRange({begin, end});
}

void StreamAssembler::insertRange(Range range) {
  std::size_t out = 0;
  std::array<Range, kMaximumRanges> merged{};
  bool placed = false;
  for (std::size_t i = 0; i < count_; ++i) {
    const Range known = ranges_[i];
    if (known.end < range.begin) {
      merged[out++] = known;
    } else if (known.begin > range.end) {
      if (!placed) merged[out++] = range, placed = true;
      merged[out++] = known;
    } else {
      range = {std::min(range.begin, known.begin), std::max(range.end, known.end)};
    }
  }
  if (!placed) merged[out++] = range;
  ranges_ = merged;
  count_ = out;
}

void StreamAssembler::shift(std::size_t distance) {
  if (distance == 0) return;
  if (distance >= capacity_) {
    count_ = 0;
    return;
  }
  std::size_t out = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    const std::size_t begin = ranges_[i].begin + distance;
    const std::size_t end = std::min(ranges_[i].end + distance, capacity_);
    if (begin < end) ranges_[out++] = {begin, end};
  }
  count_ = out;
  const std::size_t end = out == 0 ? 0 : ranges_[out - 1].end;
  if (bytes_.size() < end) bytes_.resize(end);
  if (end > distance) std::memmove(bytes_.data() + distance, bytes_.data(), end - distance);
}

std::span<const std::uint8_t> StreamAssembler::contiguous() const {
  if (count_ == 0 || ranges_[0].begin != 0) return {};
  return {bytes_.data(), ranges_[0].end};
}

}  // namespace tamrin
