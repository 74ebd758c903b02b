#pragma once

#include <string>

#include "pfctl/token_store.h"

namespace tamrin {

// The switch that turns the packet filter on and off.
class FilterSwitch {
 public:
  virtual ~FilterSwitch() = default;
  virtual bool isEnabled() = 0;
  virtual void switchOn() = 0;
  virtual void switchOff() = 0;
};

// Switches the filter on and records a new reference token, which it returns. A filter found
// switched off voids the references recorded before (as switching it off by other means
// would), so a holder that lost its token cannot keep the filter on for ever. When the filter
// cannot be switched on, the store is left as it was. Holds the store's lock throughout.
std::string takeReference(TokenStore& store, FilterSwitch& filter);

// Forgets `token`; when no reference is left, switches the filter off. Throws PfctlError for
// a token the store does not hold, and then changes nothing. Holds the store's lock throughout.
void releaseReference(TokenStore& store, FilterSwitch& filter, const std::string& token);

}  // namespace tamrin
