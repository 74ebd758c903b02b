#include "daemon/resolve/direct_resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <deque>
#include <mutex>

namespace tamrin {
namespace {

using Clock = std::chrono::steady_clock;

void initialiseLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

// The lookups of one resolution on one channel, at most `maxConcurrent` names at a time.
class Lookups {
 public:
  Lookups(ares_channel channel, const std::vector<std::string>& hostnames,
          std::size_t maxConcurrent)
      : channel_(channel), hostnames_(hostnames), maxConcurrent_(maxConcurrent) {}

  // Starts names until `maxConcurrent` are running or none is left. Called only from the event
  // loop, never from a completion: c-ares may complete a lookup inside ares_getaddrinfo, and
  // starting the next one there would nest one call per name.
  void startMore() {
    while (!stopped_ && running_ < maxConcurrent_ && next_ < hostnames_.size()) {
      const std::size_t index = next_++;
      ++running_;
      ares_addrinfo_hints hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_flags = ARES_AI_NOSORT;
      pending_.push_back({this, index});
      ares_getaddrinfo(channel_, hostnames_[index].c_str(), nullptr, &hints, &Lookups::done,
                       &pending_.back());
    }
  }

  bool finished() const { return running_ == 0 && (stopped_ || next_ >= hostnames_.size()); }

  // No more names start; the running ones are cancelled (their callbacks still run).
  void stop() {
    stopped_ = true;
    complete_ = false;
    ares_cancel(channel_);
  }

  DirectResolution result() {
    return {.answers = std::move(answers_), .complete = complete_ && next_ >= hostnames_.size()};
  }

 private:
  struct Tag {
    Lookups* lookups;
    std::size_t index;
  };

  static void done(void* argument, int status, int, ares_addrinfo* result) {
    const Tag tag = *static_cast<Tag*>(argument);
    tag.lookups->record(tag.index, status, result);
    if (result != nullptr) ares_freeaddrinfo(result);
    --tag.lookups->running_;
  }

  void record(std::size_t index, int status, const ares_addrinfo* result) {
    if (status == ARES_ENOTFOUND || status == ARES_ENODATA) return;  // a definite "none"
    if (status != ARES_SUCCESS || result == nullptr) {
      complete_ = false;
      return;
    }
    HostAnswer answer{.hostname = hostnames_[index], .addresses = {}, .ttl = std::nullopt};
    const auto seeTtl = [&](int ttl) {
      const auto value = static_cast<std::uint32_t>(std::max(ttl, 0));
      if (!answer.ttl || value < *answer.ttl) answer.ttl = value;
    };
    for (const ares_addrinfo_cname* cname = result->cnames; cname; cname = cname->next) {
      seeTtl(cname->ttl);
    }
    for (const ares_addrinfo_node* node = result->nodes; node; node = node->ai_next) {
      char text[INET6_ADDRSTRLEN] = {};
      const void* bytes = nullptr;
      if (node->ai_family == AF_INET && node->ai_addrlen >= sizeof(sockaddr_in)) {
        bytes = &reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr;
      } else if (node->ai_family == AF_INET6 && node->ai_addrlen >= sizeof(sockaddr_in6)) {
        bytes = &reinterpret_cast<const sockaddr_in6*>(node->ai_addr)->sin6_addr;
      }
      if (bytes == nullptr || inet_ntop(node->ai_family, bytes, text, sizeof text) == nullptr) {
        continue;
      }
      seeTtl(node->ai_ttl);
      answer.addresses.emplace_back(text);
    }
    answers_.push_back(std::move(answer));
  }

  ares_channel channel_;
  const std::vector<std::string>& hostnames_;
  const std::size_t maxConcurrent_;
  std::deque<Tag> pending_;  // stable addresses for the callbacks' arguments
  std::vector<HostAnswer> answers_;
  std::size_t next_ = 0;
  std::size_t running_ = 0;
  bool stopped_ = false;
  bool complete_ = true;
};

// Waits for the channel's sockets or its next time-out, at most until `deadline`, and lets
// c-ares process what happened.
void processOnce(ares_channel channel, Clock::time_point deadline) {
  ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
  const int mask = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
  std::vector<pollfd> fds;
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    short events = 0;
    if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
    if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
    if (events != 0) fds.push_back({sockets[i], events, 0});
  }
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  timeval maximum{
      .tv_sec = static_cast<time_t>(std::max<long long>(left.count(), 0) / 1000000),
      .tv_usec = static_cast<suseconds_t>(std::max<long long>(left.count(), 0) % 1000000)};
  timeval wait{};
  const timeval* chosen = ares_timeout(channel, &maximum, &wait);
  const int waitMs = static_cast<int>(chosen->tv_sec * 1000 + (chosen->tv_usec + 999) / 1000);
  const int ready = ::poll(fds.data(), fds.size(), waitMs);
  if (ready <= 0) {
    ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs
    return;
  }
  for (const pollfd& fd : fds) {
    const bool readable = (fd.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    const bool writable = (fd.revents & POLLOUT) != 0;
    if (!readable && !writable) continue;
    ares_process_fd(channel, readable ? fd.fd : ARES_SOCKET_BAD,
                    writable ? fd.fd : ARES_SOCKET_BAD);
  }
}

}  // namespace

std::filesystem::path directResolverConfiguration(const std::filesystem::path& runDirectory) {
  const std::filesystem::path resolved = runDirectory / "systemd/resolve/resolv.conf";
  std::error_code error;
  if (std::filesystem::exists(resolved, error)) return resolved;
  return "/etc/resolv.conf";
}

DirectResolution resolveDirectly(const std::vector<std::string>& hostnames,
                                 const DnsResolverOptions& options) {
  const Clock::time_point deadline = Clock::now() + options.limit;
  if (hostnames.empty()) return {.answers = {}, .complete = true};
  initialiseLibrary();

  std::string resolvConf = options.resolvConf.string();
  char lookups[] = "b";  // DNS only, never the hosts file
  ares_options settings{};
  settings.flags = ARES_FLAG_NOSEARCH;
  settings.tries = 2;
  settings.timeout = static_cast<int>(std::clamp<long long>(options.tryTimeout.count(), 1, 2000));
  settings.lookups = lookups;
  settings.resolvconf_path = resolvConf.data();
  const int mask = ARES_OPT_FLAGS | ARES_OPT_TRIES | ARES_OPT_TIMEOUTMS | ARES_OPT_LOOKUPS |
                   (options.servers ? 0 : ARES_OPT_RESOLVCONF);
  ares_channel channel = nullptr;
  if (ares_init_options(&channel, &settings, mask) != ARES_SUCCESS) return {};
  if (options.servers && ares_set_servers_ports_csv(channel, options.servers->c_str()) != 0) {
    ares_destroy(channel);
    return {};
  }

  Lookups lookupsOfNames(channel, hostnames, std::max<std::size_t>(options.maxConcurrentNames, 1));
  lookupsOfNames.startMore();
  while (!lookupsOfNames.finished()) {
    if (Clock::now() >= deadline) {
      lookupsOfNames.stop();
      break;
    }
    processOnce(channel, deadline);
    lookupsOfNames.startMore();
  }
  DirectResolution result = lookupsOfNames.result();
  ares_destroy(channel);
  return result;
}

}  // namespace tamrin
