// Feeds arbitrary bytes to what `tamrinctl configure` does before it sends anything: decode the
// request, clean it, check its size. Each step refuses with its own error or passes on a value
// the daemon accepts: valid, domains canonical and distinct, weekdays sorted, and encoded to
// bytes that decode to the same configuration.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "control/configure_request.h"
#include "control/control_error.h"
#include "core/configuration.h"
#include "core/configuration_limits.h"
#include "core/json_error.h"
#include "core/week_coverage.h"
#include "fuzz/fuzz_check.h"

using tamrin::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tamrin;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  TamrinConfiguration configuration;
  try {
    configuration = cleanedConfiguration(decodeConfigureRequest(bytes));
    requireReportableSize(configuration);
  } catch (const JsonError&) {
    return 0;
  } catch (const ControlError&) {
    return 0;
  } catch (const ConfigurationTooLargeError&) {
    return 0;
  } catch (const EndlessScheduleError&) {
    return 0;
  }
  check(configuration.isValid());
  const std::set<std::string> distinct(configuration.domains.begin(), configuration.domains.end());
  check(distinct.size() == configuration.domains.size());
  for (const std::string& domain : configuration.domains) {
    check(normalizedDomain(domain) == domain);
  }
  check(configuration.activeWeekdays &&
        std::is_sorted(configuration.activeWeekdays->begin(), configuration.activeWeekdays->end()));
  check(decodeConfiguration(encodeConfiguration(configuration)) == configuration);
  return 0;
}
