#include "daemon/wire/stream_assembler.h"

#include <gtest/gtest.h>

#include <string>

#include "daemon/wire/wire_test_data.h"

namespace tamrin {
namespace {

std::string text(const StreamAssembler& stream) {
  const auto bytes = stream.contiguous();
  return std::string(bytes.begin(), bytes.end());
}

TEST(StreamAssemblerTest, KeepsTheFirstCopyWithinItsCapacity) {
  StreamAssembler stream(8);
  stream.add(4, asBytes("efghij"));  // "ij" lies beyond the capacity
  EXPECT_EQ(text(stream), "");
  stream.add(0, asBytes("abcdXY"));  // the "ef" already known wins
  EXPECT_EQ(text(stream), "abcdefgh");
  EXPECT_TRUE(stream.full());
  stream.shift(3);  // an earlier piece is coming: the end falls off
  EXPECT_EQ(text(stream), "");
  stream.add(0, asBytes("xyz"));
  EXPECT_EQ(text(stream), "xyzabcde");
  stream.clear();
  EXPECT_EQ(text(stream), "");
}

TEST(StreamAssemblerTest, DropsAPieceThatWouldNeedOneRangeTooMany) {
  StreamAssembler stream(64);
  for (std::size_t at = 2; at <= 34; at += 2) stream.add(at, asBytes("-"));  // 17 pieces
  stream.add(0, asBytes("01"));
  for (std::size_t at = 3; at < 34; at += 2) stream.add(at, asBytes("+"));
  EXPECT_EQ(text(stream), "01-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+");  // the 17th piece is missing
}

}  // namespace
}  // namespace tamrin
