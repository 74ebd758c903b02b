#include "pfctl/arguments.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "core/pfctl_wire.h"
#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

// Placeholders in an argument form; every other word must appear as it stands.
constexpr std::string_view kToken = "<token>";
constexpr std::string_view kFile = "<file>";
constexpr std::string_view kIpv4 = "<IPv4 address>";
constexpr std::string_view kIpv6 = "<IPv6 address>";

// One "-k" pair of pfctlKillStates, with a placeholder for the address.
PfctlArguments killForm(std::string_view every, std::string_view address) {
  return {std::string(kPfctlKillFlag), std::string(every), std::string(kPfctlKillFlag),
          std::string(address)};
}

struct Form {
  Action action;
  PfctlArguments words;
};

// Every list the daemon builds, with placeholders for what varies.
const std::array<Form, 14>& forms() {
  static const std::array<Form, 14> kForms = {{
      {Action::showInfo, pfctlShowInfo()},
      {Action::enable, pfctlEnable()},
      {Action::release, pfctlRelease(kToken)},
      {Action::loadRules, pfctlLoadRules(kFile)},
      {Action::flushRules, pfctlFlushRules()},
      {Action::listRules, pfctlListRules()},
      {Action::killStates, killForm(kPfctlEveryIpv4, kIpv4)},
      {Action::killStates, killForm(kPfctlEveryIpv6, kIpv6)},
      {Action::showRecord, pfctlShowRecord()},
      {Action::replaceRecord, pfctlReplaceRecord(kFile)},
      {Action::flushRecord, pfctlFlushRecord()},
      {Action::inspectNames, pfctlInspectNames()},
      {Action::showNames, pfctlShowNames()},
      {Action::stopInspectingNames, pfctlStopInspectingNames()},
  }};
  return kForms;
}

// The fixed words in front of the addresses of "-T add".
const PfctlArguments& addPrefix() {
  static const PfctlArguments kAddPrefix = pfctlAddAddresses({});
  return kAddPrefix;
}

// Fills `command` from `arguments` when they are "-T add" with 1 to kMaxAddedAddresses
// addresses of either family.
bool matchesAdd(std::span<const std::string> arguments, Command& command) {
  const PfctlArguments& prefix = addPrefix();
  if (arguments.size() <= prefix.size() || arguments.size() > prefix.size() + kMaxAddedAddresses) {
    return false;
  }
  if (!std::equal(prefix.begin(), prefix.end(), arguments.begin())) return false;
  command = Command{.action = Action::addAddresses, .operand = {}, .addresses = {}};
  for (const std::string& argument : arguments.subspan(prefix.size())) {
    auto address = IpAddress::parse(argument, AF_INET);
    if (!address) address = IpAddress::parse(argument, AF_INET6);
    if (!address) return false;
    command.addresses.push_back(*address);
  }
  return true;
}

// Fills `command` from `arguments` when they fit `form`.
bool matches(const Form& form, std::span<const std::string> arguments, Command& command) {
  if (arguments.size() != form.words.size()) return false;
  command = Command{.action = form.action, .operand = {}, .addresses = {}};
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::string& word = form.words[i];
    if (word == kToken || word == kFile) {
      if (argument.empty()) return false;
      command.operand = argument;
    } else if (word == kIpv4 || word == kIpv6) {
      const auto address = IpAddress::parse(argument, word == kIpv4 ? AF_INET : AF_INET6);
      if (!address) return false;
      command.addresses.push_back(*address);
    } else if (argument != word) {
      return false;
    }
  }
  return true;
}

std::string joined(std::span<const std::string> arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    if (!text.empty()) text += ' ';
    text += argument;
  }
  return text;
}

// One line naming every accepted argument list.
std::string usageText() {
  std::string text;
  for (const Form& form : forms()) {
    if (!text.empty()) text += " | ";
    for (size_t i = 0; i < form.words.size(); ++i) {
      if (i > 0) text += ' ';
      text += form.words[i];
    }
  }
  text += " |";
  for (const std::string& word : addPrefix()) text.append(" ").append(word);
  return text + " <address>...";
}

}  // namespace

Command parseArguments(std::span<const std::string> arguments) {
  Command command{};
  if (matchesAdd(arguments, command)) return command;
  for (const Form& form : forms()) {
    if (matches(form, arguments, command)) return command;
  }
  // Several "-k" pairs: each group of four words must be one of the killStates forms.
  constexpr std::size_t kPair = 4;
  if (arguments.size() > kPair && arguments.size() % kPair == 0) {
    Command kills{.action = Action::killStates, .operand = {}, .addresses = {}};
    kills.addresses.reserve(arguments.size() / kPair);
    for (std::size_t i = 0; i < arguments.size(); i += kPair) {
      const auto group = arguments.subspan(i, kPair);
      const bool fits = std::any_of(forms().begin(), forms().end(), [&](const Form& form) {
        return form.action == Action::killStates && matches(form, group, command);
      });
      if (!fits) break;
      kills.addresses.push_back(command.addresses.front());
      if (i + kPair == arguments.size()) return kills;
    }
  }
  throw PfctlError("unsupported arguments \"" + joined(arguments) + "\"; usage: " + usageText());
}

}  // namespace tamrin
