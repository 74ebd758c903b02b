#include "core/daemon_protocol.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace tamrin {
namespace {

// Every operation, in the order of DaemonOperation.
constexpr std::array kOperations = {
    ProtocolOperation{
        .operation = DaemonOperation::getStatus,
        .selector = kGetStatusSelector,
        .takesArgument = false,
        .dispatch = [](TamrinDaemonProtocol& exported, const std::optional<Data>&,
                       Reply reply) { exported.getStatus(std::move(reply)); },
    },
    ProtocolOperation{
        .operation = DaemonOperation::enableBlocking,
        .selector = kEnableBlockingSelector,
        .takesArgument = true,
        .dispatch = [](TamrinDaemonProtocol& exported, const std::optional<Data>& argument,
                       Reply reply) { exported.enableBlocking(*argument, std::move(reply)); },
    },
    ProtocolOperation{
        .operation = DaemonOperation::updateConfiguration,
        .selector = kUpdateConfigurationSelector,
        .takesArgument = true,
        .dispatch = [](TamrinDaemonProtocol& exported, const std::optional<Data>& argument,
                       Reply reply) { exported.updateConfiguration(*argument, std::move(reply)); },
    },
    ProtocolOperation{
        .operation = DaemonOperation::prepareForRemoval,
        .selector = kPrepareForRemovalSelector,
        .takesArgument = false,
        .dispatch = [](TamrinDaemonProtocol& exported, const std::optional<Data>&,
                       Reply reply) { exported.prepareForRemoval(std::move(reply)); },
    },
};

// protocolOperation() indexes the table by the enumerator, and findProtocolOperation() needs
// every selector to name one row.
constexpr bool wellFormed() {
  for (std::size_t i = 0; i < kOperations.size(); ++i) {
    if (static_cast<std::size_t>(kOperations[i].operation) != i) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (kOperations[j].selector == kOperations[i].selector) return false;
    }
  }
  return true;
}
static_assert(wellFormed());

}  // namespace

const ProtocolOperation& protocolOperation(DaemonOperation operation) {
  return kOperations.at(static_cast<std::size_t>(operation));
}

const ProtocolOperation* findProtocolOperation(std::string_view selector) {
  const auto found =
      std::find_if(kOperations.begin(), kOperations.end(),
                   [&](const ProtocolOperation& row) { return row.selector == selector; });
  return found == kOperations.end() ? nullptr : &*found;
}

}  // namespace tamrin
