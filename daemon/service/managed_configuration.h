#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/configuration.h"

namespace tamrin {

// The file through which configuration management sets the schedule: while it exists, it is
// the one source of the configuration and `configure` requests are refused.
struct ManagedConfigurationFile {
  std::filesystem::path path;
  // The one owner whose file is used (root on a real system).
  uid_t owner = 0;
};

// What the file holds at one look.
struct ManagedConfigurationReading {
  // Something (of any kind) is at the path.
  bool present = false;
  // The configuration, cleaned and checked as `configure` does, when the file is usable.
  std::optional<TamrinConfiguration> configuration;
  // One line saying why a present file cannot be used.
  std::optional<std::string> problem;
};

// Reads `file` when it is a regular file, not a symbolic link, owned by its owner, writable by
// no group or others, and of at most kMaxConfigurationBytes; a FIFO, device or directory is
// never opened. Holds the JSON `configure` reads. Never throws.
ManagedConfigurationReading readManagedConfiguration(const ManagedConfigurationFile& file);

// Whether anything is at the path (a path that cannot be looked at counts as present).
bool managedConfigurationPresent(const ManagedConfigurationFile& file);

// The one line a `configure` request gets while the file exists.
std::string managedConfigurationRefusal(const ManagedConfigurationFile& file);

}  // namespace tamrin
