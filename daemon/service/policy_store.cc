#include "daemon/service/policy_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/file_io.h"
#include "core/regular_file.h"

namespace tamrin {
namespace {

// Creates `directory` and its missing parents; directories created here get 0700 exactly.
void createPrivateDirectories(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> missing;
  for (auto path = directory; !path.empty() && !std::filesystem::exists(path);
       path = path.parent_path()) {
    missing.push_back(path);
    if (path == path.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(),
                              "Could not create the directory " + it->string());
    }
    if (::chmod(it->c_str(), 0700) != 0) {
      throw std::system_error(errno, std::generic_category(),
                              "Could not set the permissions of " + it->string());
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
