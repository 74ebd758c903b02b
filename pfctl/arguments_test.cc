#include "pfctl/arguments.h"

#include <gtest/gtest.h>

#include "core/pfctl_wire.h"
#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

using Arguments = std::vector<std::string>;

// The canonical texts of the command's addresses, separated by blanks.
std::string addressTexts(const Command& command) {
  std::string texts;
  for (const IpAddress& address : command.addresses) {
    texts += (texts.empty() ? "" : " ") + address.text();
  }
  return texts;
}

TEST(ParseArguments, AcceptsEachArgumentListOfTheContract) {
  struct Case {
    Arguments arguments;
    Action action;
    std::string operand;
    std::string addresses;  // canonical texts separated by blanks, empty when none
  } cases[] = {
      {{"-s", "info"}, Action::showInfo, "", ""},
      {{"-E"}, Action::enable, "", ""},
      {{"-X", "1234"}, Action::release, "1234", ""},
      {{"-a", "com.apple/app.tamrin", "-f", "/var/lib/tamrin/pf-rules.conf"},
       Action::loadRules,
       "/var/lib/tamrin/pf-rules.conf",
       ""},
      {{"-a", "com.apple/app.tamrin", "-F", "rules"}, Action::flushRules, "", ""},
      {{"-a", "com.apple/app.tamrin", "-sr"}, Action::listRules, "", ""},
      {{"-k", "0.0.0.0/0", "-k", "192.0.2.1"}, Action::killStates, "", "192.0.2.1"},
      {{"-k", "::/0", "-k", "2001:DB8::1"}, Action::killStates, "", "2001:db8::1"},
      {{"-k", "::/0", "-k", "2001:db8::2", "-k", "0.0.0.0/0", "-k", "192.0.2.9", "-k", "::/0", "-k",
        "2001:db8::2"},
       Action::killStates,
       "",
       "2001:db8::2 192.0.2.9 2001:db8::2"},
      {{"-a", "com.apple/app.tamrin", "-t", "record", "-T", "show"}, Action::showRecord, "", ""},
      {{"-a", "com.apple/app.tamrin", "-t", "record", "-T", "replace", "-f", "/run/r"},
       Action::replaceRecord,
       "/run/r",
       ""},
      {{"-a", "com.apple/app.tamrin", "-t", "record", "-T", "flush"}, Action::flushRecord, "", ""},
      {{"-a", "com.apple/app.tamrin", "-t", "names", "-T", "add"}, Action::inspectNames, "", ""},
      {{"-a", "com.apple/app.tamrin", "-t", "names", "-T", "show"}, Action::showNames, "", ""},
      {{"-a", "com.apple/app.tamrin", "-t", "names", "-T", "flush"},
       Action::stopInspectingNames,
       "",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const Command command = parseArguments(c.arguments);
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.operand, c.operand);
    EXPECT_EQ(addressTexts(command), c.addresses);
  }
}

TEST(ParseArguments, AcceptsEveryListTheDaemonBuildsByteForByte) {
  const Arguments addresses = {"192.0.2.1", "2001:db8::1"};
  struct Case {
    Arguments built;
    Arguments wire;  // the bytes the tool has always been given
    Action action;
    std::string operand;
    std::string addresses;
  } cases[] = {
      {pfctlShowInfo(), {"-s", "info"}, Action::showInfo, "", ""},
      {pfctlEnable(), {"-E"}, Action::enable, "", ""},
      {pfctlRelease("4242"), {"-X", "4242"}, Action::release, "4242", ""},
      {pfctlLoadRules("/var/lib/tamrin/pf-rules.conf"),
       {"-a", "com.apple/app.tamrin", "-f", "/var/lib/tamrin/pf-rules.conf"},
       Action::loadRules,
       "/var/lib/tamrin/pf-rules.conf",
       ""},
      {pfctlFlushRules(),
       {"-a", "com.apple/app.tamrin", "-F", "rules"},
       Action::flushRules,
       "",
       ""},
      {pfctlListRules(), {"-a", "com.apple/app.tamrin", "-sr"}, Action::listRules, "", ""},
      {pfctlKillStates(addresses),
       {"-k", "0.0.0.0/0", "-k", "192.0.2.1", "-k", "::/0", "-k", "2001:db8::1"},
       Action::killStates,
       "",
       "192.0.2.1 2001:db8::1"},
      {pfctlKillStates(Arguments{"2001:db8::1"}),
       {"-k", "::/0", "-k", "2001:db8::1"},
       Action::killStates,
       "",
       "2001:db8::1"},
      {pfctlAddAddresses(addresses),
       {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add", "192.0.2.1", "2001:db8::1"},
       Action::addAddresses,
       "",
       "192.0.2.1 2001:db8::1"},
      {pfctlShowRecord(),
       {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "show"},
       Action::showRecord,
       "",
       ""},
      {pfctlReplaceRecord("/var/lib/tamrin/pf-record"),
       {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "replace", "-f",
        "/var/lib/tamrin/pf-record"},
       Action::replaceRecord,
       "/var/lib/tamrin/pf-record",
       ""},
      {pfctlFlushRecord(),
       {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "flush"},
       Action::flushRecord,
       "",
       ""},
      {pfctlInspectNames(),
       {"-a", "com.apple/app.tamrin", "-t", "names", "-T", "add"},
       Action::inspectNames,
       "",
       ""},
      {pfctlStopInspectingNames(),
       {"-a", "com.apple/app.tamrin", "-t", "names", "-T", "flush"},
       Action::stopInspectingNames,
       "",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.wire));
    EXPECT_EQ(c.built, c.wire);
    const Command command = parseArguments(c.built);
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.operand, c.operand);
    EXPECT_EQ(addressTexts(command), c.addresses);
  }
  try {
    parseArguments(Arguments{"-e"});
    ADD_FAILURE() << "accepted";
  } catch (const PfctlError& error) {
    EXPECT_EQ(std::string(error.what()),
              "unsupported arguments \"-e\"; usage: -s info | -E | -X <token> | "
              "-a com.apple/app.tamrin -f <file> | -a com.apple/app.tamrin -F rules | "
              "-a com.apple/app.tamrin -sr | -k 0.0.0.0/0 -k <IPv4 address> | "
              "-k ::/0 -k <IPv6 address> | -a com.apple/app.tamrin -t record -T show | "
              "-a com.apple/app.tamrin -t record -T replace -f <file> | "
              "-a com.apple/app.tamrin -t record -T flush | "
              "-a com.apple/app.tamrin -t names -T add | "
              "-a com.apple/app.tamrin -t names -T show | "
              "-a com.apple/app.tamrin -t names -T flush | "
              "-a com.apple/app.tamrin -t blocked -T add <address>...");
  }
}

TEST(ParseArguments, RefusesEveryOtherList) {
  const Arguments cases[] = {
      {},
      {"-s"},
      {"-s", "info", "-E"},
      {"-s", "rules"},
      {"-e"},
      {"-E", "-E"},
      {"-X"},
      {"-X", ""},
      {"-d"},
      {"-a", "com.apple/other", "-sr"},
      {"-a", "com.apple", "-sr"},
      {"-a", "com.apple/app.tamrin", "-f"},
      {"-a", "com.apple/app.tamrin", "-f", ""},
      {"-a", "com.apple/app.tamrin", "-F", "all"},
      {"-a", "com.apple/app.tamrin", "-s", "r"},
      {"-f", "/tmp/rules", "-a", "com.apple/app.tamrin"},
      {"-k", "0.0.0.0/0", "-k", "2001:db8::1"},  // family of the source and address differ
      {"-k", "::/0", "-k", "192.0.2.1"},
      {"-k", "0.0.0.0/0", "-k", "192.0.2.0/24"},
      {"-k", "0.0.0.0/0", "-k", "example.com"},
      {"-k", "0.0.0.0/0", "-k", "192.0.2.1 "},
      {"-k", "fe80::1%lo", "-k", "::/0"},
      {"-k", "10.0.0.0/8", "-k", "192.0.2.1"},
      {"-k", "192.0.2.1"},
      {"-k", std::string("::/0"), "-k", std::string("::1\0junk", 8)},
      {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add"},
      {"-a", "com.apple/app.tamrin", "-t", "other", "-T", "add", "192.0.2.1"},
      {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "delete", "192.0.2.1"},
      {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add", "192.0.2.1", "example.com"},
      {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add", "192.0.2.0/24"},
      {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add", "fe80::1%lo"},
      {"-k", "0.0.0.0/0", "-k", "192.0.2.1", "-k", "0.0.0.0/0", "-k", "192.0.2.0/24"},
      {"-k", "0.0.0.0/0", "-k", "192.0.2.1", "-k", "0.0.0.0/0", "-k"},
      {"-k", "0.0.0.0/0", "-k", "192.0.2.1", "-s", "info", "-E", "-E"},
      {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "replace", "-f", ""},
      {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "replace"},
      {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "add", "192.0.2.1"},
      {"-a", "com.apple/app.tamrin", "-t", "names", "-T", "add", "192.0.2.1"},
      {"-a", "com.apple/app.tamrin", "-t", "names", "-T", "replace", "-f", "/run/r"},
      {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "show"},
  };
  for (const Arguments& arguments : cases) {
    EXPECT_THROW(parseArguments(arguments), PfctlError) << testing::PrintToString(arguments);
  }
}

TEST(ParseArguments, AddTakesOneToFourThousandNinetySixAddressesOfEitherFamily) {
  Arguments arguments = {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add"};
  arguments.insert(arguments.end(), {"192.0.2.1", "2001:DB8::1"});
  const Command command = parseArguments(arguments);
  EXPECT_EQ(command.action, Action::addAddresses);
  ASSERT_EQ(command.addresses.size(), 2u);
  EXPECT_EQ(command.addresses[1].text(), "2001:db8::1");

  arguments.resize(6);
  for (std::size_t i = 0; i < kMaxAddedAddresses; ++i) {
    arguments.push_back("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  }
  EXPECT_EQ(parseArguments(arguments).addresses.size(), kMaxAddedAddresses);
  arguments.push_back("10.99.0.1");
  EXPECT_THROW(parseArguments(arguments), PfctlError);
}

TEST(ParseArguments, NamesTheRefusedArgumentsAndTheAcceptedForms) {
  try {
    parseArguments(Arguments{"-F", "all"});
    ADD_FAILURE() << "accepted";
  } catch (const PfctlError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("\"-F all\""), std::string::npos) << message;
    EXPECT_NE(message.find("-a com.apple/app.tamrin -sr"), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace tamrin
