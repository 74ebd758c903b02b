#include "daemon/service/policy_store.h"

#include <sys/stat.h>

#include <stdexcept>
#include <system_error>

#include "core/directories.h"
#include "core/file_io.h"
#include "core/regular_file.h"
#include "core/system_error.h"

namespace tamrin {
namespace {

// Creates `directory` and its missing parents; directories created here get 0700 exactly.
void createPrivateDirectories(const std::filesystem::path& directory) {
  for (const auto& made : createDirectories(directory, 0700, "Could not create the directory ")) {
    if (::chmod(made.c_str(), 0700) != 0) {
      throwErrno("Could not set the permissions of " + made.string());
    }
  }
}

}  // namespace

PolicyStore::PolicyStore(std::filesystem::path url) : url_(std::move(url)) {
  // A missing file is the normal state before blocking was first enabled. Anything else that
  // is there (a directory, a dangling link), or a path that cannot even be looked at, must be
  // read like a file, and fails: an unreadable state never passes for "not enabled".
  std::error_code error;
  const auto status = std::filesystem::symlink_status(url_, error);
  if (status.type() == std::filesystem::file_type::not_found) return;  // any other error: none
  try {
    // Not blocking on a FIFO, never reading a device, at most kMaximumPolicyFileBytes.
    TamrinPolicy loaded = decodePolicy(readRegularFile(url_, kMaximumPolicyFileBytes).bytes);
    if (!loaded.configuration.isValid() ||
        (loaded.pendingConfiguration && !loaded.pendingConfiguration->isValid())) {
      loadFailed_ = true;
      return;
    }
    policy_ = std::move(loaded);
  } catch (const std::exception&) {
    loadFailed_ = true;
  }
}

void PolicyStore::write(const TamrinPolicy& policy) const {
  const std::string encoded = encodePolicy(policy);
  // Never stored beyond what a load reads back.
  if (encoded.size() > kMaximumPolicyFileBytes) {
    throw std::length_error("The policy would be too large to be read again.");
  }
  createPrivateDirectories(url_.parent_path());
  writeFileAtomically(url_, encoded, 0600);
}

void PolicyStore::persist(const TamrinPolicy& policy) {
  write(policy);
  policy_ = policy;
  loadFailed_ = false;
  needsSave_ = false;
}

void PolicyStore::keep(TamrinPolicy policy) {
  policy_ = std::move(policy);
  needsSave_ = true;
}

void PolicyStore::save() {
  if (!needsSave_ || !policy_) return;
  try {
    write(*policy_);
    needsSave_ = false;
  } catch (const std::exception&) {
    // Still in force and still unsaved: the next save tries again.
  }
}

void PolicyStore::remove() {
  std::filesystem::remove(url_);
  policy_.reset();
  loadFailed_ = false;
  needsSave_ = false;
}

}  // namespace tamrin
