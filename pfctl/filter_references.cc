#include "pfctl/filter_references.h"

#include <algorithm>

#include "pfctl/pfctl_error.h"

namespace tamrin {

std::string takeReference(TokenStore& store, FilterSwitch& filter) {
  const TokenStore::Lock lock = store.lock();
  const std::vector<std::string> before = store.load();
  std::vector<std::string> tokens = filter.isEnabled() ? before : std::vector<std::string>{};
  const std::string token = newToken(tokens);
  tokens.push_back(token);
  // Recorded first, so an enabled filter never lacks the reference that keeps it on.
  store.save(tokens);
  try {
    filter.switchOn();
  } catch (...) {
    try {
      store.save(before);
    } catch (...) {
      // The switch's failure is the one to report.
    }
    throw;
  }
  return token;
}

void releaseReference(TokenStore& store, FilterSwitch& filter, const std::string& token) {
  const TokenStore::Lock lock = store.lock();
  std::vector<std::string> tokens = store.load();
  const auto found = std::find(tokens.begin(), tokens.end(), token);
  if (found == tokens.end()) throw PfctlError("no reference with token " + token);
  tokens.erase(found);
  // Switched off before the last token is forgotten: a failure leaves the token valid.
  if (tokens.empty()) filter.switchOff();
  store.save(tokens);
}

}  // namespace tamrin
