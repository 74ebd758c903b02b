#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "core/daemon_protocol.h"
#include "core/ipc_frame.h"
#include "core/ipc_socket.h"
#include "daemon/ipc/peer_admission.h"
#include "daemon/ipc/peer_authorization.h"

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
  // Bytes held for requests that are still arriving or wait for a worker, all connections
  // together. Past it the oldest incomplete requests are dropped.
  std::size_t maxBufferedRequestBytes = 16 * 1024 * 1024;
  // Bytes of replies that their clients have not taken yet, all together. Past it the oldest
  // are dropped. A reply not taken within three seconds is dropped too.
  std::size_t maxBufferedReplyBytes = 64 * 1024 * 1024;
  // Threads hashing the executables of new peers at once; the accept loop itself never reads an
  // executable.
  std::size_t maxAdmissionThreads = 4;
  // Who may call which operation, by the credentials the kernel gives for each connection. A
  // request it does not allow gets the unauthorizedChange error as its reply, and the exported
  // object never hears of it.
  PeerAuthorization authorization{};
};

// Serves TamrinDaemonProtocol on a Unix stream socket: one request and one reply per
// connection. Requests are read and replies sent by the accept loop itself, which never calls
// the exported object, so a client that is silent or does not read its reply costs no worker
// thread and never touches the service's lock; only complete, well-formed requests get a
// worker, and a peer whose executable must be hashed is admitted on a thread of its own.
// Malformed frames, requests the operation table does not serve (an unknown selector, an
// argument where none is taken or none where one is) and time-outs close the connection
// without a reply. An admitted peer's request is then authorized on its worker, where the
// accounts database may be slow without holding up the loop.
class IpcListener {
 public:
  // Nothing is bound until resume(). `exported` must outlive the listener.
  explicit IpcListener(TamrinDaemonProtocol& exported, IpcListenerOptions options = {});
  // Stops serving (see stop()) and removes the socket file that resume() created.
  ~IpcListener();
  IpcListener(const IpcListener&) = delete;
  IpcListener& operator=(const IpcListener&) = delete;

  // From now on only peers whose executable's digest is in `requirement` (`sha256 in { ... }`)
  // are admitted; the others are closed before a byte of their request is read. With
  // `sealedSizes`, an executable of any other size is refused without being read. Without a
  // requirement every peer is admitted. Call before serving. Throws std::invalid_argument.
  void setConnectionCodeSigningRequirement(
      std::string_view requirement,
      std::optional<std::set<std::uint64_t>> sealedSizes = std::nullopt);

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
  struct Outgoing;
  struct Outbox;
  struct PollSet;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // One turn of serve(): settle what the threads reported, wait, then act on what is ready.
  void startWorkersForCompleteRequests();
  // Fills `polls` with what the loop waits for and returns the poll time-out in milliseconds.
  int preparePoll(PollSet& polls);
  void handleReadiness(const PollSet& polls);
  // After the loop: closes every connection and joins every thread.
  void closeEverything();

  void acceptConnections();
  // Reads what has arrived; false when the connection must be closed.
  bool readRequest(Connection& connection);
  // Drops the oldest incomplete requests until the buffered request bytes fit the budget.
  void makeRoomForRequests();
  void drop(Connection& connection);
  void takeMail();
  void startAdmissions();
  // Sends what the client takes; false once the reply is sent or cannot be.
  bool sendReply(Outgoing& outgoing);
  void startWorker(Connection connection);
  void reapWorkers(std::list<Worker>& threads, bool all);
  void wake();

  TamrinDaemonProtocol& exported_;
  const IpcListenerOptions options_;
  std::unique_ptr<PeerAdmission> admission_;  // set before serving, then only read
  UniqueFd listenFd_;
  std::shared_ptr<Outbox> outbox_;  // created by resume(), shared with the threads
  std::optional<std::pair<dev_t, ino_t>> boundSocket_;
  std::atomic<bool> stopRequested_{false};
  // Touched by the loop thread only.
  std::list<Worker> workers_;
  std::list<Worker> admissionThreads_;
  std::list<Connection> waiting_;  // admitted, in accept order
  std::list<std::pair<Connection, PeerAdmission::Pending>> admissionQueue_;
  std::size_t admitting_ = 0;  // queued or on an admission thread
  std::list<Outgoing> sending_;
  std::size_t requestBytes_ = 0;
  std::size_t replyBytes_ = 0;
  Deadline acceptPausedUntil_{};
  std::mutex backgroundMutex_;
  std::thread background_;  // guarded by backgroundMutex_
};

}  // namespace tamrin
