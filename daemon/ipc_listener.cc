#include "daemon/ipc_listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <vector>

#include "daemon/client_requirement.h"

namespace tamrin {
namespace {

using Clock = std::chrono::steady_clock;

// Replies are sent while the service may hold its lock; a client that has not taken its reply
// after three seconds has given up waiting for it anyway.
constexpr std::chrono::seconds kReplySendTimeout{3};
constexpr std::size_t kMaxAcceptsPerPass = 64;
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::string_view kUnknownFailure = "The request failed for an unknown reason.";

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Only the four selectors, each with the argument it takes, are served.
bool isServable(const IpcRequest& request) {
  if (request.selector == kGetStatusSelector || request.selector == kPrepareForRemovalSelector) {
    return !request.argument.has_value();
  }
  if (request.selector == kEnableBlockingSelector ||
      request.selector == kUpdateConfigurationSelector) {
    return request.argument.has_value();
  }
  return false;
}

void dispatch(TamrinDaemonProtocol& exported, const IpcRequest& request, const Reply& reply) {
  if (request.selector == kGetStatusSelector) {
    exported.getStatus(reply);
  } else if (request.selector == kEnableBlockingSelector) {
    exported.enableBlocking(*request.argument, reply);
  } else if (request.selector == kUpdateConfigurationSelector) {
    exported.updateConfiguration(*request.argument, reply);
  } else {
    exported.prepareForRemoval(reply);
  }
}

// The answering side of one connection: the first reply is sent and the connection closed;
// later replies are dropped. A reply too large for a frame becomes a failure text, so the
// client is told instead of left with a frame it must refuse. A client that has gone away
// costs nothing but a failed send.
class Exchange {
 public:
  explicit Exchange(UniqueFd fd) : fd_(std::move(fd)) {}

  void reply(std::optional<Data> data, std::optional<std::string> text) noexcept {
    if (replied_.exchange(true)) return;
    try {
      std::string frame;
      try {
        frame = encodeReplyFrame(IpcReply{std::move(data), std::move(text)});
      } catch (const IpcFrameError& error) {
        frame = encodeReplyFrame(IpcReply{std::nullopt, std::string(error.what())});
      }
      sendAll(fd_.get(), frame, Clock::now() + kReplySendTimeout);
    } catch (...) {
      // Nothing can be sent: the client sees the connection close without a reply.
    }
    fd_.reset();
  }

 private:
  UniqueFd fd_;
  std::atomic<bool> replied_{false};
};

}  // namespace

struct IpcListener::Connection {
  UniqueFd fd;
  Deadline deadline;
  FrameAssembler frame;
  std::optional<IpcRequest> request;  // set once the whole request has arrived
};

IpcListener::IpcListener(TamrinDaemonProtocol& exported, IpcListenerOptions options)
    : exported_(exported), options_(std::move(options)) {}

IpcListener::~IpcListener() {
  stop();
  reapWorkers(true);
  if (!boundSocket_) return;
  struct stat info {};
  if (::lstat(options_.socketPath.c_str(), &info) == 0 &&
      std::pair(info.st_dev, info.st_ino) == *boundSocket_) {
    ::unlink(options_.socketPath.c_str());
  }
}

void IpcListener::setConnectionCodeSigningRequirement(std::string_view requirement) {
  admission_ = std::make_unique<PeerAdmission>(requirementDigests(requirement));
}

void IpcListener::resume() {
  const std::filesystem::path& path = options_.socketPath;
  const std::filesystem::path directory = path.parent_path();
  if (!directory.empty() && ::mkdir(directory.c_str(), 0755) == 0) {
    if (::chmod(directory.c_str(), 0755) != 0) throwErrno(directory.string());
  } else if (!directory.empty() && errno != EEXIST) {
    throwErrno(directory.string());
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      throw std::system_error(EEXIST, std::generic_category(), path.string() + " is not a socket");
    }
    if (::unlink(path.c_str()) != 0) throwErrno(path.string());
  }

  const sockaddr_un address = unixSocketAddress(path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) throwErrno("socket");
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throwErrno(path.string());
  }
  if (::lstat(path.c_str(), &info) != 0) throwErrno(path.string());
  boundSocket_ = std::pair(info.st_dev, info.st_ino);
  if (::chmod(path.c_str(), 0666) != 0) throwErrno(path.string());
  if (::listen(fd.get(), SOMAXCONN) != 0) throwErrno("listen");

  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) throwErrno("eventfd");
  listenFd_ = std::move(fd);
  wakeFd_ = std::move(wake);
}

void IpcListener::serve() {
  if (!listenFd_) throw std::logic_error("IpcListener::serve() before resume()");
  std::list<Connection> waiting;  // in accept order
  std::vector<pollfd> polled;
  std::vector<std::list<Connection>::iterator> polledConnections;

  while (!stopRequested_) {
    reapWorkers(false);
    for (auto it = waiting.begin(); it != waiting.end() && workers_.size() < options_.maxWorkers;) {
      if (!it->request) {
        ++it;
        continue;
      }
      startWorker(std::move(*it));
      it = waiting.erase(it);
    }

    const bool anyIncomplete =
        std::any_of(waiting.begin(), waiting.end(), [](auto& c) { return !c.request; });
    const bool mayAccept = (waiting.size() < options_.maxWaitingConnections || anyIncomplete) &&
                           Clock::now() >= acceptPausedUntil_;
    polled.clear();
    polledConnections.clear();
    polled.push_back({.fd = wakeFd_.get(), .events = POLLIN, .revents = 0});
    polled.push_back({.fd = mayAccept ? listenFd_.get() : -1, .events = POLLIN, .revents = 0});
    std::optional<Deadline> earliest;
    if (!mayAccept && Clock::now() < acceptPausedUntil_) earliest = acceptPausedUntil_;
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
      if (it->request) continue;
      polled.push_back({.fd = it->fd.get(), .events = POLLIN, .revents = 0});
      polledConnections.push_back(it);
      earliest = std::min(earliest.value_or(it->deadline), it->deadline);
    }
    int timeout = -1;
    if (earliest) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*earliest - Clock::now());
      timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
    }
    if (::poll(polled.data(), polled.size(), timeout) < 0) {
      for (pollfd& entry : polled) entry.revents = 0;  // interrupted: just look again
    }

    if (polled[0].revents != 0) {
      eventfd_t ignored = 0;
      ::eventfd_read(wakeFd_.get(), &ignored);
    }
    const Deadline now = Clock::now();
    for (std::size_t i = 0; i < polledConnections.size(); ++i) {
      auto it = polledConnections[i];
      const bool keep = polled[i + 2].revents == 0 ? now < it->deadline : readRequest(*it);
      if (!keep) waiting.erase(it);
    }
    if (polled[1].revents != 0) acceptConnections(waiting);
  }

  waiting.clear();
  reapWorkers(true);
}

void IpcListener::acceptConnections(std::list<Connection>& waiting) {
  for (std::size_t accepted = 0; accepted < kMaxAcceptsPerPass; ++accepted) {
    if (waiting.size() >= options_.maxWaitingConnections) {
      auto oldest =
          std::find_if(waiting.begin(), waiting.end(), [](auto& c) { return !c.request; });
      if (oldest == waiting.end()) return;
      waiting.erase(oldest);
    }
    UniqueFd fd(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
      // Out of descriptors or memory: the backlog keeps the connection; try again shortly
      // instead of spinning on a listener that stays readable.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        acceptPausedUntil_ = Clock::now() + kAcceptPause;
      }
      return;
    }
    if (admission_ && !admission_->admits(fd.get())) continue;
    Connection connection{.fd = std::move(fd),
                          .deadline = Clock::now() + options_.readTimeout,
                          .frame = {},
                          .request = std::nullopt};
    if (readRequest(connection)) waiting.push_back(std::move(connection));
  }
}

bool IpcListener::readRequest(Connection& connection) {
  std::array<char, 64 * 1024> buffer;
  while (!connection.frame.complete()) {
    const std::size_t wanted = std::min(buffer.size(), connection.frame.bytesWanted());
    const ssize_t count = ::recv(connection.fd.get(), buffer.data(), wanted, MSG_DONTWAIT);
    if (count == 0) return false;
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? Clock::now() < connection.deadline : false;
    }
    try {
      connection.frame.append(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    } catch (const IpcFrameError&) {
      return false;
    }
  }
  try {
    IpcRequest request = decodeRequestBody(connection.frame.body());
    if (!isServable(request)) return false;
    connection.request = std::move(request);
    connection.frame = FrameAssembler();
    return true;
  } catch (const IpcFrameError&) {
    return false;
  }
}

void IpcListener::startWorker(Connection connection) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto exchange = std::make_shared<Exchange>(std::move(connection.fd));
  std::thread thread([this, exchange, done, request = std::move(*connection.request)]() mutable {
    const Reply reply = [exchange](std::optional<Data> data, std::optional<std::string> text) {
      exchange->reply(std::move(data), std::move(text));
    };
    try {
      dispatch(exported_, request, reply);
    } catch (const std::exception& error) {
      reply(std::nullopt, std::string(error.what()));
    } catch (...) {
      reply(std::nullopt, std::string(kUnknownFailure));
    }
    exchange.reset();
    done->store(true);
    wake();
  });
  workers_.push_back(Worker{std::move(thread), std::move(done)});
}

void IpcListener::reapWorkers(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (all || it->done->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void IpcListener::wake() {
  if (wakeFd_) ::eventfd_write(wakeFd_.get(), 1);
}

void IpcListener::serveInBackground() {
  std::lock_guard lock(backgroundMutex_);
  if (background_.joinable()) throw std::logic_error("IpcListener is already serving");
  if (!listenFd_) throw std::logic_error("IpcListener::serveInBackground() before resume()");
  stopRequested_ = false;
  background_ = std::thread([this] { serve(); });
}

void IpcListener::stop() {
  stopRequested_ = true;
  wake();
  std::lock_guard lock(backgroundMutex_);
  if (background_.joinable()) background_.join();
}

}  // namespace tamrin
