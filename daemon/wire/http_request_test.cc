#include "daemon/wire/http_request.h"

#include <gtest/gtest.h>

#include "daemon/wire/wire_test_data.h"

namespace tamrin {
namespace {

TEST(HttpRequestReaderTest, ReadsTheHostHeader) {
  const struct {
    std::string_view request;
    NameReading reading;
    std::string_view name;
  } kCases[] = {
      {"GET / HTTP/1.1\r\nHost: Example.COM\r\n\r\n", NameReading::name, "example.com"},
      {"GET / HTTP/1.1\r\nhOsT:www.example.com:8080\r\n", NameReading::name, "www.example.com"},
      {"POST /a?b HTTP/1.0\nUser-Agent: x\nHOST: \t a.test. \n\n", NameReading::name, "a.test"},
      {"GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", NameReading::noName, ""},
      {"GET / HTTP/1.1\r\nX-Host: a.test\r\nAccept: */*\r\n", NameReading::needMore, ""},
      {"GET / HTTP/1.1\r\nHost: [2001:db8::1]:80\r\n", NameReading::noName, ""},
      {"GET / HTTP/1.1\r\nHost: a b\r\n", NameReading::noName, ""},
      {"GET / HTTP/1.1\r\nno colon here\r\nHost: a.test\r\n", NameReading::noName, ""},
      {"GET / HTTP/1.1\r\n Host: folded.test\r\nHost: a.test\r\n", NameReading::name, "a.test"},
      {"GET / HT", NameReading::needMore, ""},
      {"GET", NameReading::needMore, ""},
      {"GET / HTTP/2.0\r\nHost: a.test\r\n", NameReading::foreign, ""},
      {"GET  / HTTP/1.1\r\n", NameReading::foreign, ""},
      {"\x16\x03\x01\x02\x00\x01", NameReading::foreign, ""},
      {"SSH-2.0-OpenSSH_9.2\r\n", NameReading::foreign, ""},
  };
  for (const auto& row : kCases) {
    HttpRequestReader reader;
    reader.add(0, asBytes(row.request));
    const NameResult result = reader.result();
    EXPECT_EQ(result.reading, row.reading) << row.request;
    EXPECT_EQ(result.name, row.name) << row.request;
  }
}

TEST(HttpRequestReaderTest, PutsSegmentsBackAndStopsAtTheCap) {
  const Bytes request =
      asBytes("GET /index.html HTTP/1.1\r\nAccept: */*\r\nHost: split.test\r\n\r\n");
  HttpRequestReader reader;
  reader.add(30, Bytes(request.begin() + 30, request.end()));
  EXPECT_EQ(reader.result().reading, NameReading::needMore);
  reader.add(0, Bytes(request.begin(), request.begin() + 30));
  EXPECT_EQ(reader.result().name, "split.test");

  HttpRequestReader capped(64);
  capped.add(
      0, asBytes("GET / HTTP/1.1\r\nCookie: " + std::string(100, 'c') + "\r\nHost: a.test\r\n"));
  EXPECT_EQ(capped.result().reading, NameReading::noName);
}

}  // namespace
}  // namespace tamrin
