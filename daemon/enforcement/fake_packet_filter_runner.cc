#include "daemon/enforcement/fake_packet_filter_runner.h"

#include <algorithm>

#include <sstream>

#include "core/file_io.h"
#include "core/tamrin_error.h"
#include "daemon/enforcement/packet_filter.h"

namespace tamrin {
namespace {

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  if (const auto position = text.find(from); position != std::string::npos) {
    text.replace(position, from.size(), to);
  }
  return text;
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string result;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result += separator;
    result += parts[i];
  }
  return result;
}

}  // namespace

std::string FakePacketFilterRunner::loadedRules() const {
  std::vector<std::string> lines;
  std::istringstream input(rules);
  for (std::string line; std::getline(input, line);) {
    if (line.empty()) continue;
    for (const char* protocol : {"tcp", "udp"}) {
      for (const char* port : {"80", "443"}) {
        lines.push_back(
            replaced(replaced(line, "proto { tcp udp }", std::string("proto ") + protocol),
                     "port { 80 443 }", std::string("port = ") + port));
      }
    }
  }
  return joined(lines, "\n") + extraLoadedRule;
}

std::string FakePacketFilterRunner::run(const std::vector<std::string>& arguments) {
  const std::string anchor(kPacketFilterAnchor);
  using Arguments = std::vector<std::string>;
  if (arguments == Arguments{"-s", "info"}) {
    return enabled ? "Status: Enabled" : "Status: Disabled";
  }
  if (arguments == Arguments{"-E"}) {
    enabled = true;
    return "Token : tamrin-self-test";
  }
  if (arguments == Arguments{"-a", anchor, "-sr"}) {
    return loadedRulesOverride.value_or(loadedRules());
  }
  if (arguments.size() == 4 && arguments[0] == "-a" && arguments[1] == anchor &&
      arguments[2] == "-f") {
    if (rejectsRuleLoads) throw TamrinError::packetFilter("self-test rule load failure");
    rules = readFile(arguments[3]);
    return "";
  }
  if (arguments == Arguments{"-a", anchor, "-F", "rules"}) {
    rules.clear();
    return "";
  }
  if (!arguments.empty() && arguments[0] == "-X") {
    enabled = false;
    return "";
  }
  if (!arguments.empty() && arguments[0] == "-k") return "";
  const Arguments recordPrefix = {"-a", anchor, "-t", "record", "-T"};
  if (arguments.size() > recordPrefix.size() &&
      std::equal(recordPrefix.begin(), recordPrefix.end(), arguments.begin())) {
    const Arguments action(arguments.begin() + 5, arguments.end());
    if (action == Arguments{"show"}) return record.empty() ? "" : record + "\n";
    if (action == Arguments{"flush"}) {
      record.clear();
      return "";
    }
    if (action.size() == 3 && action[0] == "replace" && action[1] == "-f") {
      record = readFile(action[2]);
      return "";
    }
  }
  throw TamrinError::packetFilter("unexpected self-test arguments: " + joined(arguments, " "));
}

}  // namespace tamrin
