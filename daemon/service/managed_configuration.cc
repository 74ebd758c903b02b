#include "daemon/service/managed_configuration.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include "control/configure_request.h"
#include "core/configuration_limits.h"
#include "core/regular_file.h"

namespace tamrin {
namespace {

// Reading a file that is no longer the one looked at, or that grew meanwhile, is a problem
// like any other: the caller keeps the last good configuration.
struct Unusable {
  std::string reason;
};

Unusable tooLarge() {
  return Unusable{"is larger than " + std::to_string(kMaxConfigurationBytes) + " bytes"};
}

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
  if (static_cast<unsigned long long>(info.st_size) > kMaxConfigurationBytes) throw tooLarge();
}

// Looked at first, so that a FIFO or a device is never opened; then read as a regular file
// of bounded size, whose descriptor must still be the file looked at.
std::string readSafely(const ManagedConfigurationFile& file, const struct stat& looked) {
  RegularFileContents read;
  try {
    read = readRegularFile(file.path, kMaxConfigurationBytes);
  } catch (const std::system_error& error) {
    if (error.code() == std::errc::file_too_large) throw tooLarge();
    throw Unusable{"cannot be read: " + std::generic_category().message(error.code().value())};
  }
  if (!sameFile(read.info, looked)) throw Unusable{"changed while it was read"};
  requireSafe(file, read.info);
  return std::move(read.bytes);
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
