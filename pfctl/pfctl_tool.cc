#include "pfctl/pfctl_tool.h"

#include <array>
#include <exception>
#include <functional>
#include <optional>
#include <ostream>

#include "core/file_io.h"
#include "core/pfctl_wire.h"
#include "pfctl/arguments.h"
#include "pfctl/conntrack.h"
#include "pfctl/filter_references.h"
#include "pfctl/nftables_anchor.h"
#include "pfctl/pfctl_error.h"
#include "pfctl/record_set.h"
#include "pfctl/rule_listing.h"
#include "pfctl/rule_text.h"

namespace tamrin {
namespace {

// The kernel interfaces, opened on first use.
class Kernel {
 public:
  NftablesAnchor& anchor() {
    if (!nftables_) nftables_.emplace();
    if (!anchor_) anchor_.emplace(*nftables_);
    return *anchor_;
  }

 private:
  std::optional<LibNftables> nftables_;
  std::optional<NftablesAnchor> anchor_;
};

using Handler = std::function<void(const Command&, Kernel&, std::ostream& out)>;

struct Tool {
  Action action;
  Handler run;
};

const std::array<Tool, 14> kTools = {{
    {Action::showInfo,
     [](const Command&, Kernel& kernel, std::ostream& out) {
       out << (kernel.anchor().isEnabled() ? kPfctlStatusEnabled : kPfctlStatusDisabled) << "\n";
     }},
    {Action::enable,
     [](const Command&, Kernel& kernel, std::ostream& out) {
       TokenStore store{std::string(kTokenStorePath)};
       const std::string token = takeReference(store, kernel.anchor());
       out << kPfctlTokenPrefix << token << "\n";
     }},
    {Action::release,
     [](const Command& command, Kernel& kernel, std::ostream&) {
       TokenStore store{std::string(kTokenStorePath)};
       releaseReference(store, kernel.anchor(), command.operand);
     }},
    {Action::loadRules,
     [](const Command& command, Kernel& kernel, std::ostream&) {
       const std::string text = readFile(command.operand);
       RuleSet rules;
       try {
         rules = parseRuleText(text);
       } catch (const PfctlError& error) {
         throw PfctlError(command.operand + ": " + error.what());
       }
       kernel.anchor().replaceRules(rules);
     }},
    {Action::flushRules,
     [](const Command&, Kernel& kernel, std::ostream&) { kernel.anchor().flushRules(); }},
    {Action::listRules,
     [](const Command&, Kernel& kernel, std::ostream& out) {
       out << formatRuleListing(kernel.anchor().contents());
     }},
    {Action::killStates,
     [](const Command& command, Kernel&, std::ostream&) { killStatesTowards(command.addresses); }},
    {Action::addAddresses, [](const Command& command, Kernel& kernel,
                              std::ostream&) { kernel.anchor().addAddresses(command.addresses); }},
    {Action::showRecord,
     [](const Command&, Kernel& kernel, std::ostream& out) {
       const std::string text = kernel.anchor().record();
       if (!text.empty()) out << text << "\n";
     }},
    {Action::replaceRecord,
     [](const Command& command, Kernel& kernel, std::ostream&) {
       kernel.anchor().replaceRecord(readRecordFile(command.operand));
     }},
    {Action::flushRecord,
     [](const Command&, Kernel& kernel, std::ostream&) { kernel.anchor().flushRecord(); }},
    {Action::inspectNames,
     [](const Command&, Kernel& kernel, std::ostream&) { kernel.anchor().inspectNames(true); }},
    {Action::showNames,
     [](const Command&, Kernel& kernel, std::ostream& out) {
       if (kernel.anchor().namesInspected()) out << kPfctlNamesInspected << "\n";
     }},
    {Action::stopInspectingNames,
     [](const Command&, Kernel& kernel, std::ostream&) { kernel.anchor().inspectNames(false); }},
}};

// `text` on one line: line breaks and other control characters become blanks.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return text;
}

}  // namespace

int runPfctl(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  try {
    const Command command = parseArguments(arguments);
    Kernel kernel;
    for (const Tool& tool : kTools) {
      if (tool.action == command.action) tool.run(command, kernel, out);
    }
    out.flush();
    return 0;
  } catch (const std::exception& error) {
    err << "tamrin-pfctl: " << oneLine(error.what()) << std::endl;
    return 1;
  }
}

}  // namespace tamrin
