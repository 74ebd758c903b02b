#include "daemon/wire/tls_client_hello.h"

#include <gtest/gtest.h>

#include "daemon/wire/wire_test_data.h"

namespace tamrin {
namespace {

using Framing = ClientHelloReader::Framing;

struct Read {
  NameReading reading;
  std::string name;
};

Read readAll(const Bytes& stream, Framing framing = Framing::records, std::size_t cap = 4096) {
  ClientHelloReader reader(framing, cap);
  reader.add(0, stream);
  const NameResult result = reader.result();
  return {result.reading, std::string(result.name)};
}

std::string nameOf(const Read& read) { return read.reading == NameReading::name ? read.name : ""; }
std::string nameOf(NameResult result) {
  return nameOf(Read{result.reading, std::string(result.name)});
}

// Hellos captured on loopback in a private network namespace: curl, openssl s_client and
// Chromium (1.9 KB, a 1216-byte X25519MLKEM768 key share, permuted extensions).
TEST(ClientHelloReaderTest, ReadsCapturedHellos) {
  const struct {
    std::string_view file, name;
  } kCases[] = {
      {"curl_client_hello.hex", "curl.wire.test"},
      {"openssl_s_client_hello.hex", "sclient.wire.test"},
      {"chromium_client_hello.hex", "chromium.wire.test"},
  };
  for (const auto& row : kCases) {
    const Bytes hello = testdataBytes(row.file);
    EXPECT_EQ(nameOf(readAll(hello)), row.name) << row.file;
    // Every cut before the end still waits for more.
    for (std::size_t cut : {0, 3, 60}) {
      EXPECT_EQ(readAll(Bytes(hello.begin(), hello.begin() + cut)).reading, NameReading::needMore)
          << row.file << " cut at " << cut;
    }
  }
}

TEST(ClientHelloReaderTest, PutsSegmentsBackInAnyOrder) {
  const Bytes hello = testdataBytes("chromium_client_hello.hex");
  ASSERT_GT(hello.size(), 1800u);
  const std::size_t cut = 1404;  // inside the server name
  const Bytes first(hello.begin(), hello.begin() + cut), second(hello.begin() + cut, hello.end());
  ClientHelloReader reader(Framing::records);
  reader.add(cut, second);
  EXPECT_EQ(reader.result().reading, NameReading::needMore);
  reader.add(cut, second);  // a repeat changes nothing
  reader.add(0, first);
  EXPECT_EQ(nameOf(reader.result()), "chromium.wire.test");
}

TEST(ClientHelloReaderTest, ReadsAHelloOverSeveralRecords) {
  const Bytes hello = clientHello({{0x0a, Bytes(600, 1)}, serverNameExtension("Records.Test")});
  EXPECT_EQ(nameOf(readAll(inRecords(hello, 100))), "records.test");
  EXPECT_EQ(nameOf(readAll(inRecords(hello, 1))), "records.test");
}

TEST(ClientHelloReaderTest, DecidesHostileAndForeignStreams) {
  const Bytes good = clientHello({serverNameExtension("a.test")});
  Bytes lyingList = clientHello({{0, {0, 50, 0, 0, 6, 'a', '.', 't', 'e', 's', 't'}}});
  Bytes lyingExtension = good;
  lyingExtension[good.size() - 13] = 0x7f;  // the extension's length overruns the block
  Bytes notHello = good;
  notHello[0] = 2;
  const struct {
    std::string_view label;
    Bytes stream;
    NameReading reading;
  } kCases[] = {
      {"a hello cut short", inRecords(Bytes{1, 0, 0, 38, 3, 3}), NameReading::needMore},
      {"no server_name", inRecords(clientHello({{0x0a, {0, 2, 0, 0x1d}}})), NameReading::noName},
      {"a list length that lies", inRecords(lyingList), NameReading::noName},
      {"an extension length that lies", inRecords(lyingExtension), NameReading::noName},
      {"not a ClientHello", inRecords(notHello), NameReading::noName},
      {"a NUL in the name", inRecords(clientHello({serverNameExtension({"a\0b.test", 8})})),
       NameReading::noName},
      {"a 300-byte name", inRecords(clientHello({serverNameExtension(std::string(300, 'a'))})),
       NameReading::noName},
      {"an alert record", {21, 3, 3, 0, 2, 2, 40}, NameReading::foreign},
      {"HTTP", asBytes("GET / HTTP/1.1\r\n"), NameReading::foreign},
      {"an empty record", {22, 3, 1, 0, 0}, NameReading::noName},
      {"a record too long", {22, 3, 1, 0x48, 0x01, 1}, NameReading::noName},
  };
  for (const auto& row : kCases) EXPECT_EQ(readAll(row.stream).reading, row.reading) << row.label;
  // A 9 KB hello in one record, beyond the cap: a name within the cap is read, none past it.
  const Bytes early =
      inRecords(clientHello({serverNameExtension("early.test"), {21, Bytes(9000, 0)}}));
  EXPECT_EQ(nameOf(readAll(early, Framing::records, 300)), "early.test");
  const Bytes late =
      inRecords(clientHello({{21, Bytes(9000, 0)}, serverNameExtension("late.test")}));
  EXPECT_EQ(readAll(late).reading, NameReading::noName);
  EXPECT_EQ(nameOf(readAll(late, Framing::records, 9100)), "late.test");
  // The bare handshake of a CRYPTO stream, and repeated extensions: the first name counts.
  EXPECT_EQ(nameOf(readAll(
                clientHello({serverNameExtension("one.test"), serverNameExtension("two.test")}),
                Framing::handshake)),
            "one.test");
}

}  // namespace
}  // namespace tamrin
