#pragma once

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>

namespace tamrin {

// Where the serving daemon holds its lock.
inline constexpr const char* kDaemonLockPath = "/run/tamrin/daemon.lock";

// Another daemon holds the lock; what() is the one line to print, with its pid.
class DaemonAlreadyRunning : public std::runtime_error {
 public:
  explicit DaemonAlreadyRunning(pid_t pid);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// An exclusive flock on a lock file that says which process holds it, kept until the value
// is destroyed (or the process ends, however it ends: a dead holder never blocks the next).
// Only one daemon at a time serves the socket, the hosts file and the packet filter.
class DaemonLock {
 public:
  // Creates the lock file's directory (0755) and the file (0644) when missing, or in place of
  // anything at its name that is not a regular file (which is never opened), takes the lock
  // without waiting and writes this process's pid into the file. Throws DaemonAlreadyRunning
  // when another open of the file holds it, std::system_error naming the path on other errors.
  static DaemonLock acquire(const std::filesystem::path& path);

  DaemonLock(DaemonLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DaemonLock& operator=(DaemonLock&&) = delete;
  DaemonLock(const DaemonLock&) = delete;
  ~DaemonLock();

 private:
  explicit DaemonLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace tamrin
