#include "daemon/ipc/listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <variant>
#include <vector>

#include "core/directories.h"
#include "core/system_error.h"
#include "core/tamrin_error.h"
#include "daemon/ipc/reply_exchange.h"
#include "daemon/ipc/seal.h"

namespace tamrin {
namespace {

using Clock = std::chrono::steady_clock;

// A client that has not taken its reply after three seconds has given up waiting for it.
constexpr std::chrono::seconds kReplySendTimeout{3};
// Accepts per turn of the loop, so a flood of new connections cannot starve the reads and
// sends of those already accepted.
constexpr std::size_t kMaxAcceptsPerPass = 64;
// How long accepting rests after the process ran out of descriptors or memory.
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::string_view kUnknownFailure = "The request failed for an unknown reason.";

// A complete request for an operation of the table, with the argument that operation takes.
struct ServedRequest {
  const ProtocolOperation* operation;
  std::optional<Data> argument;
};

}  // namespace

struct IpcListener::Connection {
  UniqueFd fd;
  Deadline deadline;
  FrameAssembler frame;
  std::optional<PeerCredentials> peer;   // read at accept; absent when unreadable
  std::optional<ServedRequest> request;  // set once the whole request has arrived
  std::size_t bytes = 0;                 // received so far, counted against the request budget
  bool dropped = false;
};

struct IpcListener::Outgoing {
  PendingReply reply;
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

// What one poll() watches, slot by slot:
//   0     the outbox's eventfd: mail from a worker or an admission thread, or stop();
//   1     the listening socket, or -1 (which poll() skips) while no connection may be accepted;
//   then  one slot per incomplete request, for POLLIN, in the order of `connections`;
//   then  one slot per reply still being sent, for POLLOUT, in the order of `replies`.
struct IpcListener::PollSet {
  static constexpr std::size_t kWakeSlot = 0;
  static constexpr std::size_t kListenSlot = 1;
  static constexpr std::size_t kFirstPeerSlot = 2;

  std::vector<pollfd> fds;
  std::vector<std::list<Connection>::iterator> connections;
  std::vector<std::list<Outgoing>::iterator> replies;
};

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
      throwErrno(EEXIST, path.string() + " is not a socket");
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

// One thread owns every descriptor: the listening socket, the connections whose request is
// still arriving and the replies their clients have not taken yet. Threads never touch them;
// they post to the outbox and write its eventfd. No peer can hold the loop: every read and send
// is non-blocking, and each thing the loop waits on has a bound:
// - a request must arrive whole within readTimeout of the accept, and a reply be taken within
//   kReplySendTimeout, or the connection is closed;
// - the bytes of incomplete requests, and of replies not taken, have budgets; past one, the
//   oldest go first;
// - waiting connections are capped: past the cap the oldest incomplete request makes way for a
//   new connection, and when every one is complete the listening socket leaves the poll set
//   and new clients wait in the kernel's backlog;
// - only complete, well-formed requests of the operation table get a worker, at most
//   maxWorkers at once, and executables are hashed on at most maxAdmissionThreads threads.
void IpcListener::serve() {
  if (!listenFd_) throw std::logic_error("IpcListener::serve() before resume()");
  PollSet polls;
  // stop() sets the flag, then writes the eventfd, so even a poll without time-out returns.
  while (!stopRequested_) {
    reapWorkers(workers_, false);
    reapWorkers(admissionThreads_, false);
    takeMail();
    startAdmissions();
    startWorkersForCompleteRequests();
    const int timeout = preparePoll(polls);
    if (::poll(polls.fds.data(), polls.fds.size(), timeout) < 0) {
      // Interrupted, or short of memory: nothing was reported; look again.
      for (pollfd& entry : polls.fds) entry.revents = 0;
    }
    handleReadiness(polls);
  }
  closeEverything();
}

void IpcListener::startWorkersForCompleteRequests() {
  // In accept order, so the longest-waiting request is served first.
  for (auto it = waiting_.begin(); it != waiting_.end() && workers_.size() < options_.maxWorkers;) {
    if (!it->request) {
      ++it;
      continue;
    }
    requestBytes_ -= it->bytes;
    startWorker(std::move(*it));
    it = waiting_.erase(it);
  }
}

int IpcListener::preparePoll(PollSet& polls) {
  const Deadline now = Clock::now();
  const bool acceptPaused = now < acceptPausedUntil_;
  // A new connection fits when there is room, or when an incomplete request can make way.
  const bool anyIncomplete =
      std::any_of(waiting_.begin(), waiting_.end(), [](auto& c) { return !c.request; });
  const bool mayAccept =
      (waiting_.size() + admitting_ < options_.maxWaitingConnections || anyIncomplete) &&
      !acceptPaused;
  polls.fds.clear();
  polls.connections.clear();
  polls.replies.clear();
  polls.fds.push_back({.fd = outbox_->wakeFd.get(), .events = POLLIN, .revents = 0});
  polls.fds.push_back({.fd = mayAccept ? listenFd_.get() : -1, .events = POLLIN, .revents = 0});

  // The poll ends by the earliest moment something is due: a pause on accepting ends, or a
  // read, a send or a queued admission runs out of time.
  std::optional<Deadline> earliest;
  if (acceptPaused) earliest = acceptPausedUntil_;
  const auto sooner = [&](Deadline deadline) {
    earliest = std::min(earliest.value_or(deadline), deadline);
  };
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    if (it->request) continue;  // complete: waits for a worker, not for its peer
    polls.fds.push_back({.fd = it->fd.get(), .events = POLLIN, .revents = 0});
    polls.connections.push_back(it);
    sooner(it->deadline);
  }
  for (auto it = sending_.begin(); it != sending_.end(); ++it) {
    polls.fds.push_back({.fd = it->reply.fd(), .events = POLLOUT, .revents = 0});
    polls.replies.push_back(it);
    sooner(it->deadline);
  }
  for (auto& queued : admissionQueue_) sooner(queued.first.deadline);
  // Nothing due: wait for a descriptor, since every other change (a finished worker or
  // admission, a reply handed over, stop()) writes the eventfd.
  if (!earliest) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*earliest - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

void IpcListener::handleReadiness(const PollSet& polls) {
  // Emptied before the mail is read on the next turn: a wake from now on makes the next poll
  // return at once, so no mail waits for a time-out.
  if (polls.fds[PollSet::kWakeSlot].revents != 0) {
    eventfd_t ignored = 0;
    ::eventfd_read(outbox_->wakeFd.get(), &ignored);
  }
  const Deadline now = Clock::now();
  std::size_t slot = PollSet::kFirstPeerSlot;
  // A read can drop other connections (the request budget pushes out the oldest incomplete
  // ones). Dropped connections are only marked until the end of the turn, so the iterators in
  // `polls` stay valid. A silent peer is kept until its deadline; POLLHUP and POLLERR count as
  // readiness, and the read then finds the end or the error.
  for (auto it : polls.connections) {
    const short revents = polls.fds[slot++].revents;
    if (it->dropped) continue;
    if (!(revents == 0 ? now < it->deadline : readRequest(*it))) drop(*it);
  }
  for (auto it : polls.replies) {
    const short revents = polls.fds[slot++].revents;
    if (revents == 0 ? now < it->deadline : sendReply(*it)) continue;
    replyBytes_ -= it->reply.unsent();
    sending_.erase(it);
  }
  const auto isDropped = [](const Connection& c) { return c.dropped; };
  std::erase_if(waiting_, isDropped);
  // Accepting comes last: a request completed in this turn is no longer incomplete, so it is
  // not the one pushed out to make room, and the dropped ones no longer count against the cap.
  if (polls.fds[PollSet::kListenSlot].revents != 0) acceptConnections();
  std::erase_if(waiting_, isDropped);
}

void IpcListener::closeEverything() {
  waiting_.clear();
  admissionQueue_.clear();
  sending_.clear();
  reapWorkers(workers_, true);
  reapWorkers(admissionThreads_, true);
  // What the joined threads posted meanwhile is taken only to be closed.
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
                          .peer = std::nullopt,
                          .request = std::nullopt};
    connection.peer = options_.authorization.credentials(connection.fd.get());
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
    replyBytes_ += outgoing.reply.unsent();
    sending_.push_back(std::move(outgoing));
  }
  while (replyBytes_ > options_.maxBufferedReplyBytes && !sending_.empty()) {
    replyBytes_ -= sending_.front().reply.unsent();
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
    // Only the table's operations, each with the argument it takes, are served.
    const ProtocolOperation* operation = findProtocolOperation(request.selector);
    if (operation == nullptr || !operation->accepts(request.argument)) return false;
    connection.request = ServedRequest{operation, std::move(request.argument)};
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
  const std::size_t unsent = outgoing.reply.unsent();
  const PendingReply::Progress progress = outgoing.reply.send();
  replyBytes_ -= unsent - outgoing.reply.unsent();
  return progress == PendingReply::Progress::blocked && Clock::now() < outgoing.deadline;
}

void IpcListener::startWorker(Connection connection) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<Outbox> weakOutbox = outbox_;
  // A reply the socket did not take at once goes to the loop, unless the listener is gone.
  auto handOver = [weakOutbox](PendingReply pending) {
    const std::shared_ptr<Outbox> outbox = weakOutbox.lock();
    if (!outbox) return;
    {
      std::lock_guard lock(outbox->mutex);
      outbox->replies.push_back(
          Outgoing{.reply = std::move(pending), .deadline = Clock::now() + kReplySendTimeout});
    }
    outbox->wake();
  };
  auto exchange = std::make_shared<ReplyExchange>(std::move(connection.fd), std::move(handOver));
  std::thread thread([this, exchange, done, peer = std::move(connection.peer),
                       request = std::move(*connection.request)]() mutable {
    const Reply reply = [exchange](std::optional<Data> data, std::optional<std::string> text) {
      exchange->reply(std::move(data), std::move(text));
    };
    try {
      if (options_.authorization.allows(request.operation->operation, peer)) {
        request.operation->dispatch(exported_, request.argument, reply);
      } else {
        reply(std::nullopt, std::string(TamrinError(TamrinError::Kind::unauthorizedChange).what()));
      }
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
