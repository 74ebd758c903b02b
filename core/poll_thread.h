#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "core/ipc_socket.h"

namespace tamrin {

// One thread that waits on a set of descriptors and runs the handler of each one that is
// ready: the loop every watcher of the daemon needs, written once with its stop and wake
// descriptor (an eventfd), its EINTR handling and its end. Each round of the thread runs
// `beforeWait`, then waits (poll) until a descriptor is ready, wake() is called or the wait
// `beforeWait` returned has passed, then runs the handlers of the ready descriptors in the
// order they were watched. Callbacks run on the thread, one at a time, and must not throw.
class PollThread {
 public:
  // Runs with the poll events the descriptor reported (POLLIN, POLLERR, POLLHUP, ...).
  using Handler = std::function<void(short revents)>;
  // How long the next wait may last at most; nullopt: until a descriptor or a wake.
  using Wait = std::optional<std::chrono::nanoseconds>;

  struct Callbacks {
    // Each round, before the wait (first when the thread starts, then after every round's
    // handlers, so that work the handlers only noted is done once per round). Returns the
    // longest wait; zero runs the next round at once.
    std::function<Wait()> beforeWait = nullptr;
    // The wait itself failed (poll's errno, never EINTR); the thread ends after this.
    std::function<void(int error)> failed = nullptr;
  };

  // Throws std::system_error when the kernel refuses the eventfd.
  PollThread();
  // Stops the thread and waits for it. Destroyed from its own thread (from a callback), it
  // lets the thread end once that callback returns, running no other callback; whatever the
  // callbacks hold lives until then.
  ~PollThread();
  PollThread(const PollThread&) = delete;
  PollThread& operator=(const PollThread&) = delete;

  // Runs `handler` whenever `fd` reports one of `events`; watching it again replaces both.
  // Before start() or on the thread only. The descriptor stays the caller's.
  void watch(int fd, short events, Handler handler);
  // No handler runs for `fd` from now on, also not in the current round. Before start() or on
  // the thread only.
  void unwatch(int fd);
  // Starts the thread (with no callbacks: handlers only). Called at most once.
  void start(Callbacks callbacks);
  void start();

  // Makes the thread begin a new round (beforeWait, wait) soon. Safe from any thread, also
  // before start().
  void wake() const;
  // Ends the thread after the callback running now, if any; no further callback starts.
  // Safe from any thread, the thread's own callbacks included. Does not wait for the end.
  void stop();

 private:
  struct Watched {
    int fd;
    short events;
    std::shared_ptr<const Handler> handler;  // shared: a handler may unwatch itself
    std::uint64_t serial;                    // tells a re-watched descriptor from the old one
  };
  struct Core {
    UniqueFd wakeFd;
    std::atomic<bool> stopped{false};
    // Set by start() once the thread object is stored: no callback runs before, so one may
    // destroy the PollThread (and with it the std::thread) safely.
    std::atomic<bool> launched{false};
    std::atomic<std::thread::id> owner;  // the thread's id once started
    Callbacks callbacks;
    std::vector<Watched> watched;  // the thread's own once started
    std::uint64_t nextSerial = 0;

    void run();
    void runHandlers(const std::vector<pollfd>& polled, const std::vector<std::uint64_t>& serials);
  };

  bool onOwnThread() const { return core_->owner.load() == std::this_thread::get_id(); }
  // The list of watched descriptors belongs to the thread once it runs (it reads it unlocked):
  // throws std::logic_error when another thread would change it.
  void requireOwner(const char* what) const;

  // Shared with the thread, so that it can outlive an object destroyed from a callback.
  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace tamrin
