#include "daemon/service/daemon_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "core/directories.h"
#include "core/system_error.h"

namespace tamrin {
namespace {

// The pid the holder wrote into the lock file, or 0 while it has not written one yet.
pid_t recordedPid(int fd) {
  char buffer[32] = {};
  const ssize_t count = ::pread(fd, buffer, sizeof buffer - 1, 0);
  if (count <= 0) return 0;
  try {
    return static_cast<pid_t>(std::stol(std::string(buffer, static_cast<size_t>(count))));
  } catch (const std::exception&) {
    return 0;
  }
}

// Opens the lock file, never through a link and never blocking. Whatever else is at its name
// (a FIFO, a directory, a link, a socket) is removed and a regular file made in its place.
int openLockFile(const std::filesystem::path& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd >= 0) {
      struct stat info {};
      if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) return fd;
      ::close(fd);
    } else if (errno != ELOOP && errno != EISDIR && errno != ENXIO && errno != EOPNOTSUPP) {
      throwErrno(errno, "open " + path.string());
    }
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) throw std::system_error(error, "replace " + path.string());
  }
  throwErrno(EEXIST, "open " + path.string());
}

}  // namespace

DaemonAlreadyRunning::DaemonAlreadyRunning(pid_t pid)
    : std::runtime_error(pid > 0
                             ? "Another Tamrin daemon is running (pid " + std::to_string(pid) + ")."
                             : std::string("Another Tamrin daemon is running.")),
      pid_(pid) {}

DaemonLock DaemonLock::acquire(const std::filesystem::path& path) {
  createDirectories(path.parent_path(), 0755);
  DaemonLock lock(openLockFile(path));
  const int fd = lock.fd_;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) throwErrno(errno, "lock " + path.string());
    // The holder writes its pid right after taking the lock: give it a moment to do so.
    pid_t holder = recordedPid(fd);
    for (int attempt = 0; holder == 0 && attempt < 20; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      holder = recordedPid(fd);
    }
    throw DaemonAlreadyRunning(holder);
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
    throwErrno(errno, "write " + path.string());
  }
  return lock;
}

DaemonLock::~DaemonLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace tamrin
