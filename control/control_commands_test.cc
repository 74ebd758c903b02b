#include "control/control_commands.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <sstream>
#include <stdexcept>

#include "control/bounded_input.h"
#include "core/week_coverage.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

constexpr std::string_view kZone = "Europe/Berlin";
constexpr std::string_view kUsageLine = "error: Usage: tamrinctl status | configure\n";
// The `configure` input for `domains`, a block from 01:00 to 02:00 on Mondays.
std::string encodeConfigureRequest(const std::vector<std::string>& domains) {
  std::string json = R"({"domains":[)";
  for (const std::string& domain : domains)
    json += (json.back() == '[' ? "\"" : ",\"") + domain + "\"";
  return json + R"(],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[2]})";
}

constexpr std::string_view kInvalidLine =
    "error: Choose at least one valid day and site, with different start and end times.\n";

// A daemon that records every request. Status replies are served in order; the last one is
// repeated. A configuration request is refused with `refusal` when it is set; from request
// number `silentFromRequest` (counted from 0) on, every request times out.
struct FakeDaemon {
  std::deque<DaemonStatus> statuses{DaemonStatus{}};
  std::optional<std::string> refusal;
  // Refuses status requests with this text until a configuration is accepted.
  std::optional<std::string> unusable;
  std::size_t silentFromRequest = SIZE_MAX;
  std::vector<std::string> requests;
  std::vector<TamrinConfiguration> sent;

  DaemonStatus status() {
    requests.push_back("status");
    if (requests.size() > silentFromRequest) throw TamrinClientError::timeout();
    if (unusable) throw TamrinClientError::remote(*unusable);
    DaemonStatus next = statuses.front();
    if (statuses.size() > 1) statuses.pop_front();
    return next;
  }
  void configure(const char* request, const TamrinConfiguration& configuration) {
    requests.push_back(request);
    if (requests.size() > silentFromRequest) throw TamrinClientError::timeout();
    if (refusal) throw TamrinClientError::remote(*refusal);
    sent.push_back(configuration);
    unusable.reset();
  }
};

TamrinPolicy policyFor(TamrinConfiguration configuration) {
  return TamrinPolicy(std::move(configuration));
}

const TamrinConfiguration kWeekdayMornings{.domains = {"example.com"},
                                           .focusStartMinutes = 480,
                                           .accessStartMinutes = 720,
                                           .activeWeekdays = {{2, 3, 4, 5, 6}}};

class ControlCommandsTest : public ::testing::Test {
 protected:
  int run(std::vector<std::string> arguments, std::string input = "") {
    std::istringstream stream(std::move(input));
    ControlEnvironment environment{
        .daemon =
            DaemonCalls{
                .status = [this] { return daemon.status(); },
                .enableBlocking =
                    [this](const TamrinConfiguration& c) { daemon.configure("enable", c); },
                .updateConfiguration =
                    [this](const TamrinConfiguration& c) { daemon.configure("update", c); },
            },
        .input = &stream,
        // Monday 2 March 2026, 10:00 in Berlin.
        .now = [] { return testing::localInstant(kZone, 2026, 3, 2, 10, 0); },
        .calendar = [] { return Calendar::named(kZone); },
        .writeOutput = [this](std::string_view bytes) { output.emplace_back(bytes); },
        .writeError = [this](std::string_view bytes) { errors.emplace_back(bytes); },
    };
    return runControl(arguments, environment);
  }

  // The one error line a failed run wrote.
  std::string errorLine() const { return errors.size() == 1 ? errors.front() : "<not one write>"; }

  FakeDaemon daemon;
  std::vector<std::string> output;
  std::vector<std::string> errors;
};

TEST_F(ControlCommandsTest, WrongCommandLinesExitTwoWithTheUsageLine) {
  const std::vector<std::vector<std::string>> commandLines = {
      {},     {"Status"},  {"status", "now"},       {"STATUS"},    {"configure", "-"},
      {""},   {"-h"},      {"help", "status"},      {" status"},   {"--help", "--help"},
      {"-V"}, {"version"}, {"--version", "status"}, {"--Version"},
  };
  for (const auto& arguments : commandLines) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    output.clear();
    errors.clear();
    EXPECT_EQ(run(arguments), 2);
    EXPECT_EQ(errorLine(), kUsageLine);
    EXPECT_TRUE(output.empty());
  }
  EXPECT_TRUE(daemon.requests.empty());
}

TEST_F(ControlCommandsTest, HelpPrintsTheUsageLine) {
  for (const char* word : {"help", "--help"}) {
    output.clear();
    EXPECT_EQ(run({word}), 0) << word;
    EXPECT_EQ(output, std::vector<std::string>{"Usage: tamrinctl status | configure\n"}) << word;
    EXPECT_TRUE(errors.empty()) << word;
  }
  EXPECT_TRUE(daemon.requests.empty());
}

TEST_F(ControlCommandsTest, StatusPrintsTheLineThenTheNewline) {
  daemon.statuses = {DaemonStatus{.blocked = true,
                                  .managedHostsBlockPresent = true,
                                  .managedPacketFilterBlockPresent = true,
                                  .policy = policyFor(kWeekdayMornings)}};
  EXPECT_EQ(run({"status"}), 0);
  EXPECT_EQ(daemon.requests, std::vector<std::string>{"status"});
  ASSERT_EQ(output.size(), 2u);
  EXPECT_EQ(output[0],
            R"({"configuration":{"accessStartMinutes":720,"activeWeekdays":[2,3,4,5,6],)"
            R"("domains":["example.com"],"focusStartMinutes":480},"hasProtectionMismatch":false,)"
            R"("isProtected":true,"nextTransition":"2026-03-02T11:00:00Z",)"
            R"("nextTransitionKind":"access","state":"protected"})");
  EXPECT_EQ(output[1], "\n");
  EXPECT_TRUE(errors.empty());
}

TEST_F(ControlCommandsTest, SilentDaemonFailsWithoutOutput) {
  daemon.silentFromRequest = 0;
  EXPECT_EQ(run({"status"}), 1);
  EXPECT_EQ(errorLine(), "error: Tamrin did not reply within three seconds.\n");
  EXPECT_TRUE(output.empty());
}

TEST_F(ControlCommandsTest, BadConfigureInputFailsBeforeAnyDaemonRequest) {
  const std::string spaces(3 * 1024 * 1024, ' ');
  constexpr std::string_view kWindow =
      R"({"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[2]})";
  std::string sixtyFiveWindows(kWindow);
  for (int i = 1; i < 65; ++i) sixtyFiveWindows += "," + std::string(kWindow);
  std::string thirtyThreeBlocks;
  for (int i = 0; i < 33; ++i) {
    thirtyThreeBlocks += std::string(i ? "," : "") + R"({"name":"b)" + std::to_string(i) +
                         R"(","domains":["a.com"],)" + std::string(kWindow).substr(1);
  }
  struct Case {
    const char* name;
    std::string input;
    std::string errorLine;
  } const cases[] = {
      {"empty input", "", "error: Configure expects one JSON object on standard input.\n"},
      {"not JSON", "domains: example.com",
       "error: Invalid JSON at byte 1: the text is not one well-formed JSON value.\n"},
      {"two objects", R"({} {})",
       "error: Invalid JSON at byte 4: the text is not one well-formed JSON value.\n"},
      {"an array", R"([{"domains":["example.com"]}])",
       "error: Invalid JSON: the configuration must be an object.\n"},
      {"no domains", R"({"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[2]})",
       "error: Invalid JSON: the key \"domains\" is missing.\n"},
      {"no focus start", R"({"domains":["a.com"],"accessStartMinutes":120,"activeWeekdays":[2]})",
       "error: Invalid JSON: the key \"focusStartMinutes\" is missing.\n"},
      {"no access start", R"({"domains":["a.com"],"focusStartMinutes":60,"activeWeekdays":[2]})",
       "error: Invalid JSON: the key \"accessStartMinutes\" is missing.\n"},
      {"no weekdays", R"({"domains":["a.com"],"focusStartMinutes":60,"accessStartMinutes":120})",
       "error: Invalid JSON: the key \"activeWeekdays\" is missing.\n"},
      {"null weekdays",
       R"({"domains":["a.com"],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":null})",
       "error: Invalid JSON: \"activeWeekdays\" must be an array of integers.\n"},
      {"minutes as text",
       R"({"domains":["a.com"],"focusStartMinutes":"60","accessStartMinutes":120,"activeWeekdays":[2]})",
       "error: Invalid JSON: \"focusStartMinutes\" must be an integer.\n"},
      {"fractional minutes",
       R"({"domains":["a.com"],"focusStartMinutes":60,"accessStartMinutes":120.5,"activeWeekdays":[2]})",
       "error: Invalid JSON: \"accessStartMinutes\" must be an integer.\n"},
      {"domain as number",
       R"({"domains":["a.com",7],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[2]})",
       "error: Invalid JSON: \"domains\" must be an array of strings.\n"},
      {"domain that does not normalise",
       R"({"domains":["a.com","localhost"],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[2]})",
       std::string(kInvalidLine)},
      {"no domains at all",
       R"({"domains":[],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[2]})",
       std::string(kInvalidLine)},
      {"equal minutes",
       R"({"domains":["a.com"],"focusStartMinutes":600,"accessStartMinutes":600,"activeWeekdays":[2]})",
       std::string(kInvalidLine)},
      {"minute out of range",
       R"({"domains":["a.com"],"focusStartMinutes":1440,"accessStartMinutes":600,"activeWeekdays":[2]})",
       std::string(kInvalidLine)},
      {"repeated weekday",
       R"({"domains":["a.com"],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[3,2,3]})",
       std::string(kInvalidLine)},
      {"no weekday",
       R"({"domains":["a.com"],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[]})",
       std::string(kInvalidLine)},
      {"weekday 8",
       R"({"domains":["a.com"],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[8]})",
       std::string(kInvalidLine)},
      {"35000 domains, more than a status can report",
       encodeConfigureRequest(testing::numberedDomains(35000)),
       "error: The configuration is too large (35000 domains, 735082 bytes of JSON); Tamrin "
       "accepts at most 10000 domains and 262144 bytes.\n"},
      {"windows not a list", R"({"domains":["a.com"],"windows":{"focusStartMinutes":60}})",
       "error: Invalid JSON: \"windows\" must be an array.\n"},
      {"no windows", R"({"domains":["a.com"],"windows":[]})",
       "error: Invalid JSON: \"windows\" must hold 1 to 64 windows.\n"},
      {"65 windows", R"({"domains":["a.com"],"windows":[)" + sixtyFiveWindows + "]}",
       "error: Invalid JSON: \"windows\" must hold 1 to 64 windows.\n"},
      {"window without weekdays",
       R"({"domains":["a.com"],"windows":[)" + std::string(kWindow) +
           R"(,{"focusStartMinutes":60,"accessStartMinutes":120}]})",
       "error: Invalid JSON: the key \"windows[1].activeWeekdays\" is missing.\n"},
      {"window with a misspelt key",
       R"({"domains":["a.com"],"windows":[{"focusStartMinutes":60,"acessStartMinutes":120,"activeWeekdays":[2]}]})",
       "error: Invalid JSON: \"windows[0]\" has the unknown key \"acessStartMinutes\".\n"},
      {"window that is no object", R"({"domains":["a.com"],"windows":[[60,120]]})",
       "error: Invalid JSON: \"windows[0]\" must be an object.\n"},
      {"both forms",
       R"({"domains":["a.com"],"focusStartMinutes":60,"windows":[)" + std::string(kWindow) + "]}",
       "error: Invalid JSON: a configuration has either \"windows\" or \"focusStartMinutes\", "
       "\"accessStartMinutes\" and \"activeWeekdays\", never both.\n"},
      {"window minute out of range",
       R"({"domains":["a.com"],"windows":[)" + std::string(kWindow) +
           R"(,{"focusStartMinutes":60,"accessStartMinutes":1440,"activeWeekdays":[2]}]})",
       std::string(kInvalidLine)},
      {"windows that leave no free minute",
       R"({"domains":["a.com"],"windows":[{"focusStartMinutes":0,"accessStartMinutes":720,"activeWeekdays":[1,2,3,4,5,6,7]},)"
       R"({"focusStartMinutes":720,"accessStartMinutes":0,"activeWeekdays":[7,6,5,4,3,2,1]}]})",
       "error: " + std::string(kEndlessScheduleMessage) + "\n"},
      {"window weekday repeated",
       R"({"domains":["a.com"],"windows":[{"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[3,2,3]}]})",
       std::string(kInvalidLine)},
      {"blocks beside domains", R"({"domains":["a.com"],"blocks":[]})",
       "error: " + std::string(kMixedFormsMessage) + "\n"},
      {"no blocks", R"({"blocks":[]})",
       "error: Invalid JSON: \"blocks\" must be a list of 1 to 32 blocks.\n"},
      {"33 blocks", R"({"blocks":[)" + thirtyThreeBlocks + "]}",
       "error: Invalid JSON: \"blocks\" must be a list of 1 to 32 blocks.\n"},
      {"a block without a name", R"({"blocks":[)" + std::string(kWindow).insert(1, R"("domains":["a.com"],)") + "]}",
       "error: Invalid JSON: the key \"blocks[0].name\" is missing.\n"},
      {"a block without domains", R"({"blocks":[{"name":"a",)" + std::string(kWindow).substr(1) + "]}",
       "error: Invalid JSON: the key \"domains\" is missing.\n"},
      {"a block with no site", R"({"blocks":[{"name":"a","domains":[],)" + std::string(kWindow).substr(1) + "]}",
       std::string(kInvalidLine)},
      {"a name with a control character", R"({"blocks":[{"name":"a\u0007","domains":["a.com"],)" + std::string(kWindow).substr(1) + "]}",
       "error: Invalid JSON: \"blocks[0].name\" must be 1 to 64 characters without control "
       "characters.\n"},
      {"two names equal once trimmed",
       R"({"blocks":[{"name":"a","domains":["a.com"],)" + std::string(kWindow).substr(1) +
           R"(,{"name":" a ","domains":["b.com"],)" + std::string(kWindow).substr(1) + "]}",
       "error: Invalid JSON: two blocks are named \"a\".\n"},
      {"blocks that leave no free minute together",
       R"({"blocks":[{"name":"a","domains":["a.com"],"focusStartMinutes":0,"accessStartMinutes":720,"activeWeekdays":[1,2,3,4,5,6,7]},)"
       R"({"name":"b","domains":["b.com"],"focusStartMinutes":720,"accessStartMinutes":0,"activeWeekdays":[1,2,3,4,5,6,7]}]})",
       "error: " + std::string(kEndlessScheduleMessage) + "\n"},
      {"several megabytes",
       R"({"domains":["a.com"],"focusStartMinutes":60,"accessStartMinutes":120,"activeWeekdays":[2]})" +
           spaces,
       "error: Configure reads at most 1048576 bytes of standard input.\n"},
  };
  for (const Case& c : cases) {
    errors.clear();
    EXPECT_EQ(run({"configure"}, c.input), 1) << c.name;
    EXPECT_EQ(errorLine(), c.errorLine) << c.name;
  }
  EXPECT_TRUE(output.empty());
  EXPECT_TRUE(daemon.requests.empty());
}

TEST_F(ControlCommandsTest, ConfigureCleansBeforeSending) {
  EXPECT_EQ(run({"configure"}, R"({
      "domains": ["News.org", " https://www.Example.com:8443/path?q=1\n", "news.org/feed",
                  "example.com", "video.example.net"],
      "focusStartMinutes": 1320, "accessStartMinutes": 420,
      "activeWeekdays": [7, 5, 1], "comment": "ignored"})"),
            0);
  ASSERT_EQ(daemon.sent.size(), 1u);
  EXPECT_EQ(daemon.sent[0], (TamrinConfiguration{
                                .domains = {"news.org", "example.com", "video.example.net"},
                                .focusStartMinutes = 1320,
                                .accessStartMinutes = 420,
                                .activeWeekdays = {{1, 5, 7}},
                            }));
}

TEST_F(ControlCommandsTest, ConfigureSendsWindowsInTheirOrder) {
  EXPECT_EQ(run({"configure"}, R"({"domains":["www.Example.com"],"windows":[
      {"focusStartMinutes":780,"accessStartMinutes":1020,"activeWeekdays":[6,2]},
      {"focusStartMinutes":540,"accessStartMinutes":720,"activeWeekdays":[2]},
      {"focusStartMinutes":540,"accessStartMinutes":720,"activeWeekdays":[2]}]})"),
            0);
  ASSERT_EQ(daemon.sent.size(), 1u);
  EXPECT_EQ(daemon.sent[0],
            testing::windows({{780, 1020, {{2, 6}}}, {540, 720, {{2}}}, {540, 720, {{2}}}}));
}

TEST_F(ControlCommandsTest, ConfigureCleansEachNamedBlock) {
  EXPECT_EQ(run({"configure"}, R"({"blocks":[
      {"name":" work ","domains":["www.News.org","news.org"],"focusStartMinutes":540,
       "accessStartMinutes":1020,"activeWeekdays":[6,2,3,4,5]},
      {"name":"evening","domains":["video.example.net","news.org"],"windows":[
       {"focusStartMinutes":1080,"accessStartMinutes":1320,"activeWeekdays":[7,1]}]}]})"),
            0);
  ASSERT_EQ(daemon.sent.size(), 1u);
  EXPECT_EQ(daemon.sent[0],
            testing::namedBlocks(
                {{"work", testing::window(540, 1020, {"news.org"}, {{2, 3, 4, 5, 6}})},
                 {"evening", testing::windows({{1080, 1320, {{1, 7}}}},
                                              {"video.example.net", "news.org"})}}));
}

TEST_F(ControlCommandsTest, ConfigureEnablesFirstAndUpdatesAfterwards) {
  const std::string input =
      R"({"domains":["example.com"],"focusStartMinutes":480,"accessStartMinutes":720,"activeWeekdays":[6,5,4,3,2]})";
  const DaemonStatus enabled{.blocked = true,
                             .managedHostsBlockPresent = true,
                             .managedPacketFilterBlockPresent = true,
                             .policy = policyFor(kWeekdayMornings)};
  daemon.statuses = {DaemonStatus{}, enabled};
  EXPECT_EQ(run({"configure"}, input), 0);
  EXPECT_EQ(daemon.requests, (std::vector<std::string>{"status", "enable", "status"}));
  ASSERT_EQ(output.size(), 2u);
  EXPECT_NE(output[0].find(R"("state":"protected")"), std::string::npos) << output[0];
  EXPECT_EQ(output[1], "\n");

  daemon.requests.clear();
  output.clear();
  EXPECT_EQ(run({"configure"}, input), 0);
  EXPECT_EQ(daemon.requests, (std::vector<std::string>{"status", "update", "status"}));
  EXPECT_EQ(daemon.sent, (std::vector<TamrinConfiguration>{kWeekdayMornings, kWeekdayMornings}));
  EXPECT_EQ(output.size(), 2u);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ControlCommandsTest, UnusableStateIsReplacedByAFirstConfiguration) {
  const std::string input = R"({"domains":["example.com"],"focusStartMinutes":480,)"
                            R"("accessStartMinutes":720,"activeWeekdays":[2]})";
  daemon.unusable =
      "Tamrin can’t safely read its blocking state. Restart the computer and try again.";
  EXPECT_EQ(run({"status"}), 1);
  EXPECT_EQ(errorLine(), "error: " + *daemon.unusable + "\n");
  errors.clear();
  EXPECT_EQ(run({"configure"}, input), 0) << errorLine();
  EXPECT_EQ(daemon.requests, (std::vector<std::string>{"status", "status", "enable", "status"}));
  EXPECT_EQ(output.size(), 2u);
  // A silent daemon is not sent a configuration.
  daemon.unusable = "x";
  daemon.silentFromRequest = daemon.requests.size();
  EXPECT_EQ(run({"configure"}, input), 1);
  EXPECT_EQ(daemon.requests.back(), "status");
}

TEST_F(ControlCommandsTest, DaemonRefusalIsPrintedAndNothingElse) {
  daemon.refusal =
      "Tamrin can’t safely read its blocking state. Restart the computer and try again.";
  EXPECT_EQ(run({"configure"}, R"({"domains":["example.com"],"focusStartMinutes":480,)"
                               R"("accessStartMinutes":720,"activeWeekdays":[2]})"),
            1);
  EXPECT_EQ(errorLine(),
            "error: Tamrin can’t safely read its blocking state. Restart the computer and try "
            "again.\n");
  EXPECT_EQ(daemon.requests, (std::vector<std::string>{"status", "enable"}));
  EXPECT_TRUE(output.empty());
}

TEST_F(ControlCommandsTest, FailureAfterTheChangeWasSentStillFails) {
  daemon.silentFromRequest = 2;
  EXPECT_EQ(run({"configure"}, R"({"domains":["example.com"],"focusStartMinutes":480,)"
                               R"("accessStartMinutes":720,"activeWeekdays":[2]})"),
            1);
  EXPECT_EQ(daemon.requests, (std::vector<std::string>{"status", "enable", "status"}));
  EXPECT_EQ(daemon.sent.size(), 1u);
  EXPECT_EQ(errorLine(), "error: Tamrin did not reply within three seconds.\n");
  EXPECT_TRUE(output.empty());
}

TEST(BoundedInputTest, ReadsUpToTheLimitAndStopsPastIt) {
  std::istringstream empty("");
  EXPECT_EQ(readBoundedInput(empty), "");
  std::istringstream exact(std::string(100, 'x'));
  EXPECT_EQ(readBoundedInput(exact, 100), std::string(100, 'x'));

  std::istringstream large(std::string(5 * kMaximumInputBytes, 'x'));
  EXPECT_THROW(readBoundedInput(large), std::length_error);
  // Refusing never drains the rest of the stream.
  EXPECT_EQ(large.tellg(), static_cast<std::streamoff>(kMaximumInputBytes + 1));
}

TEST(BoundedInputTest, ReadFailureIsAnError) {
  std::istringstream broken("{}");
  broken.setstate(std::ios::badbit);
  EXPECT_THROW(readBoundedInput(broken), std::runtime_error);
}

}  // namespace
}  // namespace tamrin
