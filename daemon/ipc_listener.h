#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/daemon_protocol.h"
#include "core/ipc_frame.h"
#include "core/ipc_socket.h"
#include "daemon/peer_admission.h"

namespace tamrin {

struct IpcListenerOptions {
  std::filesystem::path socketPath{kDaemonSocketPath};
  // The whole request must arrive within this time after the connection was accepted.
  std::chrono::milliseconds readTimeout{10000};
  // Connections whose request is being handled, each on its own thread.
  std::size_t maxWorkers = 32;
  // Accepted connections whose request is still arriving or waits for a worker. When full, the
  // longest-waiting incomplete request is dropped for a new connection; when every one is
  // complete, new connections wait in the listen backlog.
  std::size_t maxWaitingConnections = 256;
};

// Serves TamrinDaemonProtocol on a Unix stream socket: one request and one reply per
// connection. Requests are read by the accept loop itself, which never calls the exported
// object, so a silent client costs no worker thread and never touches the service's lock; only
// complete, well-formed requests get a worker. Malformed frames, unknown selectors and time-outs
// close the connection without a reply.
class IpcListener {
 public:
  // Nothing is bound until resume(). `exported` must outlive the listener.
  explicit IpcListener(TamrinDaemonProtocol& exported, IpcListenerOptions options = {});
  // Stops serving (see stop()) and removes the socket file that resume() created.
  ~IpcListener();
  IpcListener(const IpcListener&) = delete;
  IpcListener& operator=(const IpcListener&) = delete;

  // From now on only peers whose executable's digest is in `requirement` (`sha256 in { ... }`)
  // are admitted; the others are closed before a byte of their request is read. Without a
  // requirement every peer is admitted. Call before serving. Throws std::invalid_argument.
  void setConnectionCodeSigningRequirement(std::string_view requirement);

  // Creates the socket's directory (0755) when missing, replaces a stale socket file, binds the
  // socket (0666) and listens. Throws std::system_error; refuses to replace a non-socket file.
  void resume();

  // Runs the accept loop on the calling thread until stop(); then closes every waiting
  // connection and joins the workers. Requires resume().
  void serve();
  // Runs serve() on a thread of the listener's own.
  void serveInBackground();
  // Makes serve() return; joins the background thread, if any. Callable from any thread but a
  // worker, and more than once.
  void stop();

  const std::filesystem::path& socketPath() const { return options_.socketPath; }

 private:
  struct Connection;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void acceptConnections(std::list<Connection>& waiting);
  // Reads what has arrived; false when the connection must be closed.
  bool readRequest(Connection& connection);
  void startWorker(Connection connection);
  void reapWorkers(bool all);
  void wake();

  TamrinDaemonProtocol& exported_;
  const IpcListenerOptions options_;
  std::unique_ptr<PeerAdmission> admission_;  // set before serving, then read by the loop only
  UniqueFd listenFd_;
  UniqueFd wakeFd_;
  std::optional<std::pair<dev_t, ino_t>> boundSocket_;
  std::atomic<bool> stopRequested_{false};
  std::list<Worker> workers_;     // touched by the loop thread only
  Deadline acceptPausedUntil_{};  // touched by the loop thread only
  std::mutex backgroundMutex_;
  std::thread background_;  // guarded by backgroundMutex_
};

}  // namespace tamrin
