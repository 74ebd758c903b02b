#include "daemon/service/managed_configuration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "control/configure_request.h"
#include "core/configuration_limits.h"
#include "core/unique_fd.h"

namespace tamrin {
namespace {

// Reading a file that is no longer the one looked at, or that grew meanwhile, is a problem
// like any other: the caller keeps the last good configuration.
struct Unusable {
  std::string reason;
};

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void requireSafe(const ManagedConfigurationFile& file, const struct stat& info) {
  if (S_ISLNK(info.st_mode)) throw Unusable{"is a symbolic link"};
  if (S_ISDIR(info.st_mode)) throw Unusable{"is a directory"};
  if (!S_ISREG(info.st_mode)) throw Unusable{"is not a regular file"};
  if (info.st_uid != file.owner) throw Unusable{"is not owned by root"};
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw Unusable{"is writable by its group or by others"};
  }
  if (static_cast<unsigned long long>(info.st_size) > kMaxConfigurationBytes) {
    throw Unusable{"is larger than " + std::to_string(kMaxConfigurationBytes) + " bytes"};
  }
}

std::string readSafely(const ManagedConfigurationFile& file, const struct stat& looked) {
  // Looked at first, so that a FIFO or a device is never opened; opened without following a
  // link and without blocking, and the descriptor checked again.
  const UniqueFd fd(
      ::open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) throw Unusable{std::string("cannot be read: ") + std::strerror(errno)};
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    throw Unusable{std::string("cannot be read: ") + std::strerror(errno)};
  }
  if (!sameFile(info, looked)) throw Unusable{"changed while it was read"};
  requireSafe(file, info);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      throw Unusable{std::string("cannot be read: ") + std::strerror(errno)};
    }
    if (count == 0) break;
    // The cap holds for what is read, not only for the size it had.
    if (bytes.size() + static_cast<size_t>(count) > kMaxConfigurationBytes) {
      throw Unusable{"is larger than " + std::to_string(kMaxConfigurationBytes) + " bytes"};
    }
    bytes.append(buffer, static_cast<size_t>(count));
  }
  return bytes;
}

}  // namespace

ManagedConfigurationReading readManagedConfiguration(const ManagedConfigurationFile& file) {
  ManagedConfigurationReading reading;
  struct stat looked {};
  if (::lstat(file.path.c_str(), &looked) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return reading;
    reading.present = true;
    reading.problem = file.path.string() + " cannot be looked at: " + std::strerror(errno);
    return reading;
  }
  reading.present = true;
  try {
    requireSafe(file, looked);
    const std::string bytes = readSafely(file, looked);
    TamrinConfiguration configuration = cleanedConfiguration(decodeConfigureRequest(bytes));
    requireReportableSize(configuration);
    reading.configuration = std::move(configuration);
  } catch (const Unusable& unusable) {
    reading.problem = file.path.string() + " " + unusable.reason + ".";
  } catch (const std::exception& error) {
    reading.problem = file.path.string() + " is not a valid configuration: " + error.what();
  }
  return reading;
}

bool managedConfigurationPresent(const ManagedConfigurationFile& file) {
  struct stat looked {};
  return ::lstat(file.path.c_str(), &looked) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

std::string managedConfigurationRefusal(const ManagedConfigurationFile& file) {
  return "Tamrin\u2019s schedule is managed in " + file.path.string() + "; change it there.";
}

}  // namespace tamrin
