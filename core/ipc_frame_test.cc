#include "core/ipc_frame.h"

#include <gtest/gtest.h>

#include <string>

namespace tamrin {
namespace {

using namespace std::string_literals;

std::string header(std::uint32_t bodySize, char version = 1) {
  std::string bytes = "TMRN"s + version;
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<char>(bodySize >> shift));
  return bytes;
}

TEST(IpcFrameTest, RequestFrameHasTheDocumentedBytes) {
  EXPECT_EQ(encodeRequestFrame({.selector = "ab", .argument = "xyz"}),
            header(12) + "\0\2ab"s + "\1\0\0\0\3xyz"s);
  EXPECT_EQ(encodeReplyFrame({.data = std::nullopt, .text = "t"}),
            header(7) + "\0"s + "\1\0\0\0\1t"s);
}

TEST(IpcFrameTest, RequestsAndRepliesSurviveTheRoundTrip) {
  const IpcRequest requests[] = {
      {.selector = std::string(kGetStatusSelector), .argument = std::nullopt},
      {.selector = std::string(kEnableBlockingSelector), .argument = "{\"domains\":[]}"},
      {.selector = std::string(kUpdateConfigurationSelector), .argument = ""},
      {.selector = "", .argument = "\0\1\xff"s},
  };
  for (const IpcRequest& request : requests) {
    FrameAssembler frame;
    const std::string bytes = encodeRequestFrame(request) + "next frame";
    EXPECT_EQ(frame.append(bytes), bytes.size() - 10) << request.selector;
    ASSERT_TRUE(frame.complete()) << request.selector;
    EXPECT_EQ(decodeRequestBody(frame.body()), request) << request.selector;
  }
  const IpcReply replies[] = {
      {.data = std::nullopt, .text = std::nullopt},
      {.data = "{}", .text = std::nullopt},
      {.data = "", .text = "Tamrin can\u2019t be removed during an active block."},
      {.data = "x", .text = ""},
  };
  for (const IpcReply& reply : replies) {
    FrameAssembler frame;
    frame.append(encodeReplyFrame(reply));
    EXPECT_EQ(decodeReplyBody(frame.body()), reply) << reply.text.value_or("(none)");
  }
}

TEST(IpcFrameTest, MalformedBodiesAreRejected) {
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"empty request", ""},
      {"selector longer than the body", "\0\5ab"s},
      {"presence byte missing", "\0\2ab"s},
      {"presence byte 2", "\0\2ab\2"s},
      {"blob longer than the body", "\0\2ab\1\0\0\0\4xyz"s},
      {"blob length truncated", "\0\2ab\1\0\0"s},
      {"trailing byte", "\0\2ab\0\0"s},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(decodeRequestBody(c.body), IpcFrameError) << c.name;
  }
  EXPECT_THROW(decodeReplyBody("\0"s), IpcFrameError);
  EXPECT_THROW(decodeReplyBody("\0\0\0"s), IpcFrameError);
  EXPECT_THROW(decodeReplyBody("\1\0\0\0\2x\0"s), IpcFrameError);
}

TEST(IpcFrameTest, BadHeadersAreRejectedOnceTheHeaderIsComplete) {
  const struct {
    const char* name;
    std::string header;
  } cases[] = {
      {"wrong magic", "TMRX\1\0\0\0\0"s},
      {"lower-case magic", "tmrn\1\0\0\0\0"s},
      {"version 0", header(0, 0)},
      {"version 2", header(0, 2)},
      {"one byte over 1 MiB", header(kMaxFrameBodySize + 1)},
      {"4 GiB", header(0xffffffff)},
  };
  for (const auto& c : cases) {
    FrameAssembler frame;
    frame.append(std::string_view(c.header).substr(0, kFrameHeaderSize - 1));
    EXPECT_THROW(frame.append(std::string_view(c.header).substr(kFrameHeaderSize - 1)),
                 IpcFrameError)
        << c.name;
  }
}

TEST(IpcFrameTest, AssemblerNeverWantsBytesPastTheFrame) {
  const std::string frame = encodeReplyFrame({.data = "data", .text = std::nullopt});
  FrameAssembler assembler;
  std::size_t fed = 0;
  while (!assembler.complete()) {
    ASSERT_LE(fed + assembler.bytesWanted(), frame.size());
    assembler.append(frame.substr(fed, 1));
    ++fed;
  }
  EXPECT_EQ(fed, frame.size());
  EXPECT_EQ(assembler.append("x"), 0u);
  EXPECT_EQ(decodeReplyBody(assembler.body()).data, "data");
}

TEST(IpcFrameTest, BodiesUpToOneMebibyteAreAccepted) {
  FrameAssembler frame;
  frame.append(header(kMaxFrameBodySize));
  EXPECT_EQ(frame.bytesWanted(), kMaxFrameBodySize);

  // The blob's own length and presence bytes count towards the body.
  const std::string fits(kMaxFrameBodySize - 6, 'x');
  EXPECT_NO_THROW(encodeReplyFrame({.data = fits, .text = std::nullopt}));
  EXPECT_THROW(encodeReplyFrame({.data = fits + "x", .text = std::nullopt}), IpcFrameError);
  EXPECT_THROW(encodeRequestFrame({.selector = std::string(70000, 's'), .argument = {}}),
               IpcFrameError);
}

}  // namespace
}  // namespace tamrin
