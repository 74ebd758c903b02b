#include "daemon/ipc/listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <system_error>
#include <variant>
#include <vector>

#include "core/directories.h"
#include "core/system_error.h"
#include "daemon/ipc/seal.h"

namespace tamrin {
namespace {

using Clock = std::chrono::steady_clock;

// A client that has not taken its reply after three seconds has given up waiting for it.
constexpr std::chrono::seconds kReplySendTimeout{3};
constexpr std::size_t kMaxAcceptsPerPass = 64;
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::string_view kUnknownFailure = "The request failed for an unknown reason.";

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

}  // namespace

struct IpcListener::Connection {
  UniqueFd fd;
  Deadline deadline;
  FrameAssembler frame;
  std::optional<IpcRequest> request;  // set once the whole request has arrived
  std::size_t bytes = 0;              // received so far, counted against the request budget
  bool dropped = false;
};

struct IpcListener::Outgoing {
  UniqueFd fd;
  std::string frame;
  std::size_t sent = 0;
  Deadline deadline;
};

// What the threads hand to the loop, and the eventfd that wakes it.
struct IpcListener::Outbox {
  UniqueFd wakeFd;
  std::mutex mutex;
  std::vector<std::pair<Connection, bool>> admissions;  // guarded by mutex
  std::vector<Outgoing> replies;                        // guarded by mutex

  void wake() const { ::eventfd_write(wakeFd.get(), 1); }
};

namespace {

// The answering side of one connection: the first reply is taken and the rest dropped. A reply
// too large for a frame becomes a failure text, so the client is told instead of left with a
// frame it must refuse. What the socket does not take at once is handed to the accept loop, so
// the worker, and whatever lock its caller holds, never waits for a client.
class Exchange {
 public:
  Exchange(UniqueFd fd, std::function<void(UniqueFd, std::string, std::size_t)> handOver)
      : fd_(std::move(fd)), handOver_(std::move(handOver)) {}

  void reply(std::optional<Data> data, std::optional<std::string> text) noexcept {
    if (replied_.exchange(true)) return;
    try {
      std::string frame;
      try {
        frame = encodeReplyFrame(IpcReply{std::move(data), std::move(text)});
      } catch (const IpcFrameError& error) {
        frame = encodeReplyFrame(IpcReply{std::nullopt, std::string(error.what())});
      }
      std::size_t sent = 0;
      while (sent < frame.size()) {
        const ssize_t count = ::send(fd_.get(), frame.data() + sent, frame.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count >= 0) {
          sent += static_cast<std::size_t>(count);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
          handOver_(std::move(fd_), std::move(frame), sent);
          return;
        } else if (errno != EINTR) {
          break;
        }
      }
    } catch (...) {
      // Nothing can be sent: the client sees the connection close without a reply.
    }
    fd_.reset();
  }

 private:
  UniqueFd fd_;
  std::function<void(UniqueFd, std::string, std::size_t)> handOver_;
  std::atomic<bool> replied_{false};
};

}  // namespace

IpcListener::IpcListener(TamrinDaemonProtocol& exported, IpcListenerOptions options)
    : exported_(exported), options_(std::move(options)) {}

IpcListener::~IpcListener() {
  stop();
  reapWorkers(workers_, true);
  reapWorkers(admissionThreads_, true);
  if (!boundSocket_) return;
  struct stat info {};
  if (::lstat(options_.socketPath.c_str(), &info) == 0 &&
      std::pair(info.st_dev, info.st_ino) == *boundSocket_) {
    ::unlink(options_.socketPath.c_str());
  }
}

void IpcListener::setConnectionCodeSigningRequirement(
    std::string_view requirement, std::optional<std::set<std::uint64_t>> sealedSizes) {
  admission_ =
      std::make_unique<PeerAdmission>(requirementDigests(requirement), std::move(sealedSizes));
}

void IpcListener::resume() {
  const std::filesystem::path& path = options_.socketPath;
  const std::filesystem::path directory = path.parent_path();
  if (!createDirectories(directory, 0755, "").empty() && ::chmod(directory.c_str(), 0755) != 0) {
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

  auto outbox = std::make_shared<Outbox>();
  outbox->wakeFd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!outbox->wakeFd) throwErrno("eventfd");
  listenFd_ = std::move(fd);
  outbox_ = std::move(outbox);
}

void IpcListener::serve() {
  if (!listenFd_) throw std::logic_error("IpcListener::serve() before resume()");
  std::vector<pollfd> polled;
  std::vector<std::list<Connection>::iterator> polledConnections;
  std::vector<std::list<Outgoing>::iterator> polledReplies;

  while (!stopRequested_) {
    reapWorkers(workers_, false);
    reapWorkers(admissionThreads_, false);
    takeMail();
    startAdmissions();
    for (auto it = waiting_.begin();
         it != waiting_.end() && workers_.size() < options_.maxWorkers;) {
      if (!it->request) {
        ++it;
        continue;
      }
      requestBytes_ -= it->bytes;
      startWorker(std::move(*it));
      it = waiting_.erase(it);
    }

    const bool anyIncomplete =
        std::any_of(waiting_.begin(), waiting_.end(), [](auto& c) { return !c.request; });
    const bool mayAccept =
        (waiting_.size() + admitting_ < options_.maxWaitingConnections || anyIncomplete) &&
        Clock::now() >= acceptPausedUntil_;
    polled.clear();
    polledConnections.clear();
    polledReplies.clear();
    polled.push_back({.fd = outbox_->wakeFd.get(), .events = POLLIN, .revents = 0});
    polled.push_back({.fd = mayAccept ? listenFd_.get() : -1, .events = POLLIN, .revents = 0});
    std::optional<Deadline> earliest;
    if (!mayAccept && Clock::now() < acceptPausedUntil_) earliest = acceptPausedUntil_;
    const auto sooner = [&](Deadline deadline) {
      earliest = std::min(earliest.value_or(deadline), deadline);
    };
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (it->request) continue;
      polled.push_back({.fd = it->fd.get(), .events = POLLIN, .revents = 0});
      polledConnections.push_back(it);
      sooner(it->deadline);
    }
    for (auto it = sending_.begin(); it != sending_.end(); ++it) {
      polled.push_back({.fd = it->fd.get(), .events = POLLOUT, .revents = 0});
      polledReplies.push_back(it);
      sooner(it->deadline);
    }
    for (auto& queued : admissionQueue_) sooner(queued.first.deadline);
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
      ::eventfd_read(outbox_->wakeFd.get(), &ignored);
    }
    const Deadline now = Clock::now();
    std::size_t slot = 2;
    for (auto it : polledConnections) {
      const short revents = polled[slot++].revents;
      if (it->dropped) continue;
      if (!(revents == 0 ? now < it->deadline : readRequest(*it))) drop(*it);
    }
    for (auto it : polledReplies) {
      const short revents = polled[slot++].revents;
      if (revents == 0 ? now < it->deadline : sendReply(*it)) continue;
      replyBytes_ -= it->frame.size() - it->sent;
      sending_.erase(it);
    }
    const auto isDropped = [](const Connection& c) { return c.dropped; };
    std::erase_if(waiting_, isDropped);
    if (polled[1].revents != 0) acceptConnections();
    std::erase_if(waiting_, isDropped);
  }

  waiting_.clear();
  admissionQueue_.clear();
  sending_.clear();
  reapWorkers(workers_, true);
  reapWorkers(admissionThreads_, true);
  takeMail();
  waiting_.clear();
  sending_.clear();
  requestBytes_ = replyBytes_ = admitting_ = 0;
}

void IpcListener::acceptConnections() {
  for (std::size_t accepted = 0; accepted < kMaxAcceptsPerPass; ++accepted) {
    if (waiting_.size() + admitting_ >= options_.maxWaitingConnections) {
      auto oldest = std::find_if(waiting_.begin(), waiting_.end(),
                                 [](auto& c) { return !c.request && !c.dropped; });
      if (oldest == waiting_.end()) return;
      drop(*oldest);
      waiting_.erase(oldest);
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
    Connection connection{.fd = std::move(fd),
                          .deadline = Clock::now() + options_.readTimeout,
                          .frame = {},
                          .request = std::nullopt};
    if (admission_) {
      std::variant<bool, PeerAdmission::Pending> step = admission_->begin(connection.fd.get());
      if (auto* pending = std::get_if<PeerAdmission::Pending>(&step)) {
        admissionQueue_.emplace_back(std::move(connection), std::move(*pending));
        ++admitting_;
        continue;
      }
      if (!std::get<bool>(step)) continue;
    }
    waiting_.push_back(std::move(connection));
    if (!readRequest(waiting_.back())) drop(waiting_.back());
  }
}

void IpcListener::startAdmissions() {
  const Deadline now = Clock::now();
  for (auto it = admissionQueue_.begin(); it != admissionQueue_.end();) {
    if (now < it->first.deadline) {
      ++it;
    } else {
      it = admissionQueue_.erase(it);
      --admitting_;
    }
  }
  while (!admissionQueue_.empty() && admissionThreads_.size() < options_.maxAdmissionThreads) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread(
        [this, outbox = outbox_, done, queued = std::move(admissionQueue_.front())]() mutable {
          const bool admitted = admission_->finish(std::move(queued.second));
          {
            std::lock_guard lock(outbox->mutex);
            outbox->admissions.emplace_back(std::move(queued.first), admitted);
          }
          done->store(true);
          outbox->wake();
        });
    admissionQueue_.pop_front();
    admissionThreads_.push_back(Worker{std::move(thread), std::move(done)});
  }
}

void IpcListener::takeMail() {
  std::vector<std::pair<Connection, bool>> admissions;
  std::vector<Outgoing> replies;
  {
    std::lock_guard lock(outbox_->mutex);
    admissions.swap(outbox_->admissions);
    replies.swap(outbox_->replies);
  }
  for (auto& [connection, admitted] : admissions) {
    --admitting_;
    if (!admitted) continue;
    waiting_.push_back(std::move(connection));
    if (!readRequest(waiting_.back())) drop(waiting_.back());
  }
  for (Outgoing& outgoing : replies) {
    replyBytes_ += outgoing.frame.size() - outgoing.sent;
    sending_.push_back(std::move(outgoing));
  }
  while (replyBytes_ > options_.maxBufferedReplyBytes && !sending_.empty()) {
    replyBytes_ -= sending_.front().frame.size() - sending_.front().sent;
    sending_.pop_front();
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
    connection.bytes += static_cast<std::size_t>(count);
    requestBytes_ += static_cast<std::size_t>(count);
    try {
      connection.frame.append(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    } catch (const IpcFrameError&) {
      return false;
    }
    makeRoomForRequests();
    if (connection.dropped) return false;
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

void IpcListener::makeRoomForRequests() {
  for (auto it = waiting_.begin();
       requestBytes_ > options_.maxBufferedRequestBytes && it != waiting_.end(); ++it) {
    if (!it->request && !it->dropped) drop(*it);
  }
}

void IpcListener::drop(Connection& connection) {
  if (connection.dropped) return;
  connection.dropped = true;
  requestBytes_ -= connection.bytes;
  connection.bytes = 0;
  connection.fd.reset();
}

bool IpcListener::sendReply(Outgoing& outgoing) {
  while (outgoing.sent < outgoing.frame.size()) {
    const ssize_t count =
        ::send(outgoing.fd.get(), outgoing.frame.data() + outgoing.sent,
               outgoing.frame.size() - outgoing.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count >= 0) {
      outgoing.sent += static_cast<std::size_t>(count);
      replyBytes_ -= static_cast<std::size_t>(count);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return Clock::now() < outgoing.deadline;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return false;
}

void IpcListener::startWorker(Connection connection) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<Outbox> weakOutbox = outbox_;
  auto handOver = [weakOutbox](UniqueFd fd, std::string frame, std::size_t sent) {
    const std::shared_ptr<Outbox> outbox = weakOutbox.lock();
    if (!outbox) return;
    {
      std::lock_guard lock(outbox->mutex);
      outbox->replies.push_back(Outgoing{.fd = std::move(fd),
                                         .frame = std::move(frame),
                                         .sent = sent,
                                         .deadline = Clock::now() + kReplySendTimeout});
    }
    outbox->wake();
  };
  auto exchange = std::make_shared<Exchange>(std::move(connection.fd), std::move(handOver));
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

void IpcListener::reapWorkers(std::list<Worker>& threads, bool all) {
  for (auto it = threads.begin(); it != threads.end();) {
    if (all || it->done->load()) {
      it->thread.join();
      it = threads.erase(it);
    } else {
      ++it;
    }
  }
}

void IpcListener::wake() {
  if (outbox_) outbox_->wake();
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
