#pragma once

#include <sys/types.h>

#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/configuration.h"
#include "core/daemon_protocol.h"
#include "core/daemon_status.h"
#include "core/ipc_socket.h"

namespace tamrin {

// A failed call whose reply (or its absence) is the daemon's answer. what() is the exact text:
// the daemon's own text for `remote`, a fixed sentence otherwise.
class TamrinClientError : public std::exception {
 public:
  enum class Kind { remote, emptyReply, timeout };

  static TamrinClientError remote(std::string text) {
    return TamrinClientError(Kind::remote, std::move(text));
  }
  static TamrinClientError emptyReply() {
    return TamrinClientError(Kind::emptyReply, "Tamrin returned an empty reply.");
  }
  static TamrinClientError timeout() {
    return TamrinClientError(Kind::timeout, "Tamrin did not reply within three seconds.");
  }

  Kind kind() const { return kind_; }
  const std::string& errorDescription() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  TamrinClientError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

// The connection failed before a reply arrived. what() is one line saying which case happened.
class DaemonConnectionError : public std::runtime_error {
 public:
  enum class Kind {
    notRunning,         // no socket, nobody listening, or an endpoint not owned as required
    refused,            // closed by the daemon before it read the request
    closedBeforeReply,  // closed after the request was read, without a reply
    malformedReply,     // the reply broke the wire format
  };

  DaemonConnectionError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct DaemonClientOptions {
  std::filesystem::path socketPath{kDaemonSocketPath};
  // The user that must own the socket file and its directory and run the daemon.
  uid_t expectedOwner = 0;
};

// The daemon's four operations. Each call opens a fresh connection, sends one request, waits
// at most three seconds (monotonic clock, counted from the moment the request starts on its
// way) and closes the connection. Holds no state between calls.
class DaemonClient {
 public:
  explicit DaemonClient(DaemonClientOptions options = {}) : options_(std::move(options)) {}

  // Throws TamrinClientError::emptyReply when the reply carries neither data nor text, and the
  // decoder's JsonError for data that is not a status.
  DaemonStatus status() const;
  void enableBlocking(const TamrinConfiguration& configuration) const;
  void updateConfiguration(const TamrinConfiguration& configuration) const;
  void prepareForRemoval() const;

  // One request for `operation`, framed from its row of the operation table: returns the
  // reply's data (present or not) when the reply has no text. Throws std::invalid_argument
  // when `argument` is present and the operation takes none, or the other way round, before
  // connecting; TamrinClientError (remote, timeout), DaemonConnectionError, and
  // std::system_error when no socket can be created.
  std::optional<Data> call(DaemonOperation operation, std::optional<Data> argument) const;

 private:
  DaemonClientOptions options_;
};

}  // namespace tamrin
