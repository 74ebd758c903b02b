#include "daemon/enforcement/fake_packet_filter_runner.h"

#include <sstream>

#include "core/file_io.h"
#include "core/pfctl_wire.h"
#include "core/tamrin_error.h"

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
  if (arguments == pfctlShowInfo()) {
    return std::string(enabled ? kPfctlStatusEnabled : kPfctlStatusDisabled);
  }
  if (arguments == pfctlEnable()) {
    enabled = true;
    return std::string(kPfctlTokenPrefix) + "tamrin-self-test";
  }
  if (arguments == pfctlListRules()) return loadedRulesOverride.value_or(loadedRules());
  // The lists with an operand match when rebuilt from their last word.
  const std::string& last = arguments.empty() ? std::string() : arguments.back();
  if (arguments == pfctlLoadRules(last)) {
    if (rejectsRuleLoads) throw TamrinError::packetFilter("self-test rule load failure");
    rules = readFile(last);
    return "";
  }
  if (arguments == pfctlFlushRules()) {
    rules.clear();
    return "";
  }
  if (!arguments.empty() && arguments[0] == kPfctlReleaseFlag) {
    enabled = false;
    return "";
  }
  if (!arguments.empty() && arguments[0] == kPfctlKillFlag) return "";
  if (arguments == pfctlShowRecord()) return record.empty() ? "" : record + "\n";
  if (arguments == pfctlFlushRecord()) {
    record.clear();
    return "";
  }
  if (arguments == pfctlReplaceRecord(last)) {
    record = readFile(last);
    return "";
  }
  throw TamrinError::packetFilter("unexpected self-test arguments: " + joined(arguments, " "));
}

}  // namespace tamrin
