#include "daemon/resolve/system_resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/blocked_hostnames.h"
#include "core/tamrin_error.h"
#include "core/unicode_text.h"
#include "daemon/resolve/address_list.h"

namespace tamrin {
namespace {

using Clock = std::chrono::steady_clock;

// Lookup threads alive in the process, those still finishing an abandoned lookup included,
// and how many there may be.
std::atomic<std::size_t> liveLookupThreads{0};
constexpr std::size_t kMaxLiveLookupThreads = 4 * kMaxConcurrentLookups;

// One host name's outcome: its addresses, or what its lookup threw.
struct LookupResult {
  std::vector<std::string> addresses;
  std::exception_ptr failure;
};

// The lookups of one resolution, shared with the threads that run them: a thread still inside
// a lookup when the caller stops waiting finishes it alone and then takes no further name.
struct SharedLookups {
  SharedLookups(std::vector<std::string> names, HostLookup lookupFunction, std::size_t threads)
      : hostnames(std::move(names)),
        lookup(std::move(lookupFunction)),
        results(hostnames.size()),
        left(threads) {}

  // Takes names until none is left or the caller stopped waiting.
  void work() {
    for (;;) {
      std::size_t index;
      {
        std::lock_guard guard(mutex);
        if (abandoned || next == hostnames.size()) return;
        index = next++;
      }
      LookupResult result;
      try {
        result.addresses = lookup(hostnames[index]);
      } catch (...) {
        result.failure = std::current_exception();
      }
      {
        std::lock_guard guard(mutex);
        if (abandoned) return;  // the results were handed over without this one
        results[index] = std::move(result);
        ++finished;
      }
      changed.notify_all();
    }
  }

  const std::vector<std::string> hostnames;
  const HostLookup lookup;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<LookupResult>> results;  // guarded by mutex
  std::size_t next = 0;                              // guarded by mutex
  std::size_t finished = 0;                          // guarded by mutex
  std::vector<bool> left;                            // per thread, guarded by mutex
  bool abandoned = false;                            // guarded by mutex
};

// Looks up `hostnames` on up to `workers` threads of their own; each result lands at its name's
// index, so the outcome is the same for every number of workers. Names without a result by
// `deadline` are left out.
std::vector<std::optional<LookupResult>> lookUpAll(const std::vector<std::string>& hostnames,
                                                   const HostLookup& lookup, std::size_t workers,
                                                   std::optional<Clock::time_point> deadline) {
  const std::size_t wanted = std::min({workers, hostnames.size(), kMaxLiveLookupThreads});
  auto shared = std::make_shared<SharedLookups>(hostnames, lookup, wanted);
  std::vector<std::thread> threads;
  while (threads.size() < wanted) {
    if (liveLookupThreads.fetch_add(1) >= kMaxLiveLookupThreads) {
      --liveLookupThreads;
      break;  // abandoned lookups still hold the threads: fewer threads only make it slower
    }
    try {
      threads.emplace_back([shared, index = threads.size()] {
        shared->work();
        --liveLookupThreads;
        {
          std::lock_guard guard(shared->mutex);
          shared->left[index] = true;
        }
        shared->changed.notify_all();
      });
    } catch (const std::system_error&) {
      --liveLookupThreads;
      break;
    }
  }
  if (threads.empty()) {
    // No thread at all: without a deadline one name after another here; with one, nothing
    // (a lookup on this thread could not be left at the deadline).
    if (!deadline) shared->work();
    return std::move(shared->results);
  }
  std::vector<bool> left;
  {
    std::unique_lock guard(shared->mutex);
    const auto allDone = [&] { return shared->finished == hostnames.size(); };
    if (deadline) {
      shared->changed.wait_until(guard, *deadline, allDone);
    } else {
      shared->changed.wait(guard, allDone);
    }
    // Once every name is done, no thread has a lookup left to wait for.
    if (allDone()) {
      shared->changed.wait(guard, [&] {
        return std::count(shared->left.begin(), shared->left.begin() + threads.size(), true) ==
               static_cast<std::ptrdiff_t>(threads.size());
      });
    }
    shared->abandoned = true;
    left.assign(shared->left.begin(), shared->left.begin() + threads.size());
  }
  for (std::size_t i = 0; i < threads.size(); ++i) {
    if (left[i]) {
      threads[i].join();
    } else {
      threads[i].detach();  // still inside a lookup: it finishes alone and takes no other name
    }
  }
  return std::move(shared->results);
}

}  // namespace

std::vector<std::string> systemHostLookup(const std::string& hostname) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = 0;
  hints.ai_protocol = 0;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* list = nullptr;
  if (::getaddrinfo(hostname.c_str(), nullptr, &hints, &list) != 0) return {};
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);

  std::vector<std::string> addresses;
  for (const addrinfo* record = list; record != nullptr; record = record->ai_next) {
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(record->ai_addr, record->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
      continue;
    }
    addresses.push_back(decodeUtf8Lossy(text));
  }
  return addresses;
}

std::vector<std::string> resolvedAddresses(const std::vector<std::string>& domains) {
  return resolvedAddresses(domains, systemHostLookup, kMaxConcurrentLookups, kSystemLookupLimit);
}

std::vector<std::string> resolvedAddresses(const std::vector<std::string>& domains,
                                           const HostLookup& lookup,
                                           std::size_t maxConcurrentLookups,
                                           std::optional<std::chrono::milliseconds> limit) {
  const auto deadline =
      limit ? std::optional(Clock::now() + *limit) : std::optional<Clock::time_point>();
  const std::vector<std::string> hostnames = blockedHostnames(domains);
  std::vector<HostAnswer> answers;
  if (!hostnames.empty()) {
    auto results =
        lookUpAll(hostnames, lookup, std::max<std::size_t>(maxConcurrentLookups, 1), deadline);
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (!results[i]) continue;  // not answered in time
      if (results[i]->failure) std::rethrow_exception(results[i]->failure);
      answers.push_back({.hostname = hostnames[i],
                         .addresses = std::move(results[i]->addresses),
                         .ttl = std::nullopt});
    }
  }
  std::vector<std::string> addresses =
      mergedAddresses({}, usableAddresses(answers), addressCap(hostnames.size()));
  if (addresses.empty()) throw TamrinError(TamrinError::Kind::domainResolution);
  return addresses;
}

}  // namespace tamrin
