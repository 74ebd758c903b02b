#include "core/poll_thread.h"

#include "core/system_error.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tamrin {
namespace {

// poll()'s timeout: whole milliseconds, rounded up so that a wait never ends early (poll
// measures it on the monotonic clock, so no setting of the wall clock stretches it).
int pollTimeout(PollThread::Wait wait) {
  if (!wait) return -1;
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(*wait).count();
  return static_cast<int>(std::clamp<std::int64_t>(milliseconds, 0, INT_MAX));
}

}  // namespace

PollThread::PollThread() : core_(std::make_shared<Core>()) {
  core_->wakeFd = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!core_->wakeFd) throwErrno("cannot create an event descriptor");
}

PollThread::~PollThread() {
  if (!thread_.joinable()) return;
  stop();
  if (onOwnThread()) {
    thread_.detach();  // destroyed by a callback: the loop ends when that returns
  } else {
    thread_.join();
  }
}

void PollThread::requireOwner(const char* what) const {
  const std::thread::id owner = core_->owner.load();
  if (owner != std::thread::id() && owner != std::this_thread::get_id()) {
    throw std::logic_error(std::string(what) + " called off the poll thread");
  }
}

void PollThread::watch(int fd, short events, Handler handler) {
  requireOwner("PollThread::watch");
  unwatch(fd);
  core_->watched.push_back({.fd = fd,
                            .events = events,
                            .handler = std::make_shared<const Handler>(std::move(handler)),
                            .serial = ++core_->nextSerial});
}

void PollThread::unwatch(int fd) {
  requireOwner("PollThread::unwatch");
  std::erase_if(core_->watched, [fd](const Watched& watched) { return watched.fd == fd; });
}

void PollThread::start(Callbacks callbacks) {
  // Held here too: once launched, a callback may destroy this object, and the thread its core.
  const std::shared_ptr<Core> core = core_;
  core->callbacks = std::move(callbacks);
  thread_ = std::thread([core] { core->run(); });
  core->owner = thread_.get_id();
  core->launched = true;
  core->launched.notify_one();
}

void PollThread::start() { start(Callbacks()); }

void PollThread::wake() const { ::eventfd_write(core_->wakeFd.get(), 1); }

void PollThread::stop() {
  core_->stopped = true;
  wake();
}

void PollThread::Core::run() {
  launched.wait(false);
  std::vector<pollfd> polled;
  std::vector<std::uint64_t> serials;  // of the descriptor polled in the same slot
  while (!stopped) {
    const Wait wait = callbacks.beforeWait ? callbacks.beforeWait() : std::nullopt;
    if (stopped) return;
    polled.assign(1, {.fd = wakeFd.get(), .events = POLLIN, .revents = 0});
    serials.assign(1, 0);
    for (const Watched& entry : watched) {
      polled.push_back({.fd = entry.fd, .events = entry.events, .revents = 0});
      serials.push_back(entry.serial);
    }
    if (::poll(polled.data(), polled.size(), pollTimeout(wait)) < 0) {
      const int error = errno;
      if (error == EINTR) continue;  // a signal: just begin the round again
      if (callbacks.failed) callbacks.failed(error);
      return;
    }
    if (polled[0].revents != 0) {
      eventfd_t ignored = 0;
      ::eventfd_read(wakeFd.get(), &ignored);
    }
    runHandlers(polled, serials);
  }
}

void PollThread::Core::runHandlers(const std::vector<pollfd>& polled,
                                   const std::vector<std::uint64_t>& serials) {
  for (std::size_t slot = 1; slot < polled.size() && !stopped; ++slot) {
    if (polled[slot].revents == 0) continue;
    // Looked up again each time: an earlier handler may have unwatched it.
    const auto found = std::ranges::find(watched, serials[slot], &Watched::serial);
    if (found == watched.end()) continue;
    const std::shared_ptr<const Handler> handler = found->handler;
    (*handler)(polled[slot].revents);
  }
}

}  // namespace tamrin
