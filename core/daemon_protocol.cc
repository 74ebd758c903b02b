#include "core/daemon_protocol.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace tamrin {
namespace {

constexpr std::array kOperations = {
    ProtocolOperation{DaemonOperation::getStatus, kGetStatusSelector, false,
                      [](TamrinDaemonProtocol& exported, const std::optional<Data>&, Reply reply) {
                        exported.getStatus(std::move(reply));
                      }},
    ProtocolOperation{DaemonOperation::enableBlocking, kEnableBlockingSelector, true,
                      [](TamrinDaemonProtocol& exported, const std::optional<Data>& argument,
                         Reply reply) { exported.enableBlocking(*argument, std::move(reply)); }},
    ProtocolOperation{
        DaemonOperation::updateConfiguration, kUpdateConfigurationSelector, true,
        [](TamrinDaemonProtocol& exported, const std::optional<Data>& argument, Reply reply) {
          exported.updateConfiguration(*argument, std::move(reply));
        }},
    ProtocolOperation{DaemonOperation::prepareForRemoval, kPrepareForRemovalSelector, false,
                      [](TamrinDaemonProtocol& exported, const std::optional<Data>&, Reply reply) {
                        exported.prepareForRemoval(std::move(reply));
                      }},
};

// protocolOperation() indexes the table by the enumerator.
constexpr bool inEnumeratorOrder() {
  for (std::size_t i = 0; i < kOperations.size(); ++i) {
    if (static_cast<std::size_t>(kOperations[i].operation) != i) return false;
  }
  return true;
}
static_assert(inEnumeratorOrder());

}  // namespace

std::span<const ProtocolOperation> protocolOperations() { return kOperations; }

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
