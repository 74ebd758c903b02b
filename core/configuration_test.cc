#include "core/configuration.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/json_error.h"

namespace tamrin {
namespace {

TEST(NormalizedDomainTest, Table) {
  struct Case {
    std::string input;
    std::optional<std::string> expected;
  } const cases[] = {
      {"  YouTube.COM \n", "youtube.com"},
      {"https://user:pw@Sub.Example.org:8443/a/b?q=1#frag", "sub.example.org"},
      {"ftp://files.example.net/pub", "files.example.net"},
      {"://example.com/path", std::nullopt},
      {"example.com:80", "example.com"},
      {"localhost", std::nullopt},
      {"", std::nullopt},
      {" \t\r\n ", std::nullopt},
      {"https://", std::nullopt},
      {"www.example", "example"},
      {"www.www.example.com", "www.example.com"},
      {"example.com.", "example.com."},
      {"\u00A0example.com\u2028", "example.com"},
      {"exa mple.com", std::nullopt},
      {"b\u00FCcher.de", std::nullopt},
      {"ex%41mple.com", std::nullopt},
      {std::string("exa\0mple.com", 12), std::nullopt},
      {"\xFF\xFE.com", std::nullopt},
      {"file:///etc/hosts", std::nullopt},
      {"192.0.2.1", "192.0.2.1"},
      {"*.Example.com", "*.example.com"},
      {"https://*.example.com:8443/path", "*.example.com"},
      {"*.www.example.com", "*.www.example.com"},
      {"*.example.com.", "*.example.com."},
      {"*.blocked.test", "*.blocked.test"},
      {"*", std::nullopt},
      {"*.", std::nullopt},
      {"*.com", std::nullopt},
      {"*.co.uk", std::nullopt},
      {"*.com.", std::nullopt},
      {"*.test", std::nullopt},
      {"*.foo.ck", std::nullopt},
      {"*.www.ck", "*.www.ck"},
      {"*.bbc.co.uk", "*.bbc.co.uk"},
      {"*.*.example.com", std::nullopt},
      {"www.*.example.com", std::nullopt},
      {"a*.example.com", std::nullopt},
      {"example.*", std::nullopt},
      {"**.example.com", std::nullopt},
      {"*..example.com", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(normalizedDomain(c.input), c.expected) << "input: " << c.input;
  }
}

TEST(NormalizedDomainTest, VeryLongInputDoesNotFail) {
  const std::string longLabel(1 << 20, 'a');
  EXPECT_EQ(normalizedDomain(longLabel + ".com"), longLabel + ".com");
  EXPECT_EQ(normalizedDomain(std::string(1 << 20, '\xC3')), std::nullopt);
}

TamrinConfiguration valid() {
  return {.domains = {"example.com"},
          .focusStartMinutes = 240,
          .accessStartMinutes = 1200,
          .activeWeekdays = std::nullopt};
}

TEST(ConfigurationTest, Validity) {
  struct Case {
    const char* name;
    void (*change)(TamrinConfiguration&);
    bool valid;
  } const cases[] = {
      {"as is", [](TamrinConfiguration&) {}, true},
      {"no domains", [](TamrinConfiguration& c) { c.domains.clear(); }, false},
      {"capital letter", [](TamrinConfiguration& c) { c.domains = {"Example.com"}; }, false},
      {"leading www", [](TamrinConfiguration& c) { c.domains = {"www.example.com"}; }, false},
      {"scheme", [](TamrinConfiguration& c) { c.domains = {"https://example.com"}; }, false},
      {"blanks", [](TamrinConfiguration& c) { c.domains = {" example.com"}; }, false},
      {"www and a single label", [](TamrinConfiguration& c) { c.domains = {"example"}; }, false},
      {"trailing dot", [](TamrinConfiguration& c) { c.domains = {"example.com."}; }, true},
      {"suffix rule", [](TamrinConfiguration& c) { c.domains = {"*.example.com"}; }, true},
      {"suffix rule in capitals", [](TamrinConfiguration& c) { c.domains = {"*.Example.com"}; },
       false},
      {"public suffix rule", [](TamrinConfiguration& c) { c.domains = {"*.co.uk"}; }, false},
      {"repeated domains",
       [](TamrinConfiguration& c) {
         c.domains = {"a.com", "a.com"};
       },
       true},
      {"0 to 1439",
       [](TamrinConfiguration& c) { c.focusStartMinutes = 0, c.accessStartMinutes = 1439; }, true},
      {"equal minutes", [](TamrinConfiguration& c) { c.accessStartMinutes = 240; }, false},
      {"1440", [](TamrinConfiguration& c) { c.accessStartMinutes = 1440; }, false},
      {"negative", [](TamrinConfiguration& c) { c.focusStartMinutes = -1; }, false},
      {"empty weekdays", [](TamrinConfiguration& c) { c.activeWeekdays.emplace(); }, false},
      {"weekday 0", [](TamrinConfiguration& c) { c.activeWeekdays = {{0}}; }, false},
      {"weekday 8", [](TamrinConfiguration& c) { c.activeWeekdays = {{8}}; }, false},
      {"repeated weekday",
       [](TamrinConfiguration& c) {
         c.activeWeekdays = {{2, 2}};
       },
       false},
      {"unordered weekdays",
       [](TamrinConfiguration& c) {
         c.activeWeekdays = {{7, 1}};
       },
       true},
  };
  for (const auto& c : cases) {
    TamrinConfiguration configuration = valid();
    c.change(configuration);
    EXPECT_EQ(configuration.isValid(), c.valid) << c.name;
  }
  EXPECT_TRUE(TamrinConfiguration::standard().isValid());
  EXPECT_EQ(TamrinConfiguration::standard().domains, std::vector<std::string>{"youtube.com"});
}

TEST(ConfigurationTest, WeekdaysAndEquality) {
  TamrinConfiguration a = valid();
  EXPECT_EQ(a.scheduledWeekdays(), (std::set<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
  TamrinConfiguration b = valid();
  b.activeWeekdays = {{1, 2, 3, 4, 5, 6, 7}};
  EXPECT_NE(a, b);
  a.activeWeekdays = {{7, 1}};
  b.activeWeekdays = {{1, 7}};
  EXPECT_NE(a, b);
  EXPECT_EQ(a.scheduledWeekdays(), b.scheduledWeekdays());
  a.activeWeekdays.emplace();
  EXPECT_TRUE(a.scheduledWeekdays().empty());
}

TEST(ConfigurationJsonTest, EncodesAbsentWeekdaysAsNoKey) {
  EXPECT_EQ(encodeConfiguration(valid()),
            R"({"accessStartMinutes":1200,"domains":["example.com"],"focusStartMinutes":240})");
  TamrinConfiguration empty = valid();
  empty.activeWeekdays.emplace();
  EXPECT_EQ(decodeConfiguration(encodeConfiguration(empty)), empty);
}

TEST(ConfigurationJsonTest, Decoding) {
  const auto decoded = decodeConfiguration(
      R"({"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2,"activeWeekdays":null,"x":[1]})");
  EXPECT_EQ(decoded.domains, std::vector<std::string>{"a.com"});
  EXPECT_FALSE(decoded.activeWeekdays.has_value());
  EXPECT_EQ(
      decodeConfiguration(
          R"({"domains":[],"focusStartMinutes":-5,"accessStartMinutes":2,"activeWeekdays":[3,3]})")
          .activeWeekdays,
      (std::vector<std::int64_t>{3, 3}));
}

TEST(ConfigurationJsonTest, BadInputFailsWithOneLineNamingTheKey) {
  struct Case {
    const char* json;
    const char* key;
  } const cases[] = {
      {R"({"domains":["a.com"],"focusStartMinutes":"240","accessStartMinutes":2})",
       "\"focusStartMinutes\""},
      {R"({"domains":["a.com"],"focusStartMinutes":240.5,"accessStartMinutes":2})",
       "\"focusStartMinutes\""},
      {R"({"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":18446744073709551615})",
       "\"accessStartMinutes\""},
      {R"({"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":99999999999999999999999})",
       "\"accessStartMinutes\""},
      {R"({"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":1e400})", "range"},
      {R"({"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2,"activeWeekdays":5})",
       "\"activeWeekdays\""},
      {R"({"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2,"activeWeekdays":["1"]})",
       "\"activeWeekdays\""},
      {R"({"domains":"a.com","focusStartMinutes":1,"accessStartMinutes":2})", "\"domains\""},
      {R"({"domains":[1],"focusStartMinutes":1,"accessStartMinutes":2})", "\"domains\""},
      {R"({"focusStartMinutes":1,"accessStartMinutes":2})", "\"domains\""},
      {R"({"domains":["a.com"],"focusStartMinutes":null,"accessStartMinutes":2})",
       "\"focusStartMinutes\""},
      {R"({"domains":["a.com"],"windows":{}})", "\"windows\""},
      {R"({"domains":["a.com"],"windows":[1]})", "\"windows[0]\""},
      {R"({"domains":["a.com"],"windows":[{"focusStartMinutes":1,"accessStartMinutes":2},{"accessStartMinutes":2}]})",
       "\"windows[1].focusStartMinutes\""},
      {R"({"domains":["a.com"],"windows":[{"focusStartMinutes":1,"accessStartMinutes":2,"activeWeekdays":"x"}]})",
       "\"windows[0].activeWeekdays\""},
      {R"({"domains":["a.com"],"activeWeekdays":[1],"windows":[{"focusStartMinutes":1,"accessStartMinutes":2}]})",
       "never both"},
      {R"([1,2])", "object"},
      {"", "byte"},
      {"{\"domains\":[\"\xFF\"]}", "byte"},
  };
  for (const auto& c : cases) {
    try {
      decodeConfiguration(c.json);
      ADD_FAILURE() << "decoded: " << c.json;
    } catch (const JsonError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(c.key), std::string::npos) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
  }
}

TEST(ConfigurationJsonTest, DeepNestingIsRefused) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_THROW(decodeConfiguration(deep), JsonError);
}

TEST(ConfigurationTest, WindowsValidity) {
  const FocusWindow morning{540, 720, {{2, 3}}};
  const FocusWindow afternoon{780, 1020};
  struct Case {
    const char* name;
    std::vector<FocusWindow> windows;
    bool valid;
  } const cases[] = {
      {"two windows", {morning, afternoon}, true},
      {"duplicates", {morning, morning}, true},
      {"none", {}, false},
      {"sixty-four", std::vector<FocusWindow>(64, afternoon), true},
      {"sixty-five", std::vector<FocusWindow>(65, afternoon), false},
      {"equal minutes", {morning, {600, 600}}, false},
      {"minute 1440", {{1440, 60}, morning}, false},
      {"no weekday", {morning, {60, 120, {{}}}}, false},
      {"weekday 8", {{60, 120, {{8}}}}, false},
      {"repeated weekday", {morning, {60, 120, {{3, 3}}}}, false},
  };
  for (const auto& c : cases) {
    TamrinConfiguration configuration = valid();
    configuration.focusStartMinutes = configuration.accessStartMinutes = 0;
    configuration.windows = c.windows;
    EXPECT_EQ(configuration.isValid(), c.valid) << c.name;
  }
  TamrinConfiguration both = valid();
  both.windows = {morning};
  EXPECT_FALSE(both.isValid()) << "a top-level window beside the list";
  EXPECT_EQ(both.scheduledWeekdays(), (std::set<std::int64_t>{2, 3}));
}

TEST(ConfigurationJsonTest, WindowsAreWrittenInTheirOrderAndReadBackExactly) {
  TamrinConfiguration configuration;
  configuration.domains = {"example.com"};
  configuration.windows = {{780, 1020}, {540, 720, {{6, 2}}}, {780, 1020}};
  const std::string encoded = encodeConfiguration(configuration);
  EXPECT_EQ(encoded,
            R"({"domains":["example.com"],"windows":[{"accessStartMinutes":1020,)"
            R"("focusStartMinutes":780},{"accessStartMinutes":720,"activeWeekdays":[6,2],)"
            R"("focusStartMinutes":540},{"accessStartMinutes":1020,"focusStartMinutes":780}]})");
  EXPECT_EQ(decodeConfiguration(encoded), configuration);
  // A null list is no list: the three top-level keys are read as before.
  EXPECT_EQ(decodeConfiguration(
                R"({"domains":["example.com"],"focusStartMinutes":240,"accessStartMinutes":1200,)"
                R"("windows":null})"),
            valid());
}

}  // namespace
}  // namespace tamrin
