#pragma once

#include <filesystem>
#include <optional>

#include "core/policy.h"

namespace tamrin {

// The policy in force and the file that keeps it across restarts. Owns no lock: its holder
// (DaemonService, under its one mutex) serialises every call.
class PolicyStore {
 public:
  // Loads `url`: a missing file is no policy; an unreadable, undecodable or invalid one (or
  // one with an invalid staged configuration) is a load failure. Never throws.
  explicit PolicyStore(std::filesystem::path url);

  const std::optional<TamrinPolicy>& policy() const { return policy_; }
  // The file could not be used: every request but a first configuration or a removal fails.
  bool loadFailed() const { return loadFailed_; }
  // A policy is in force that the file does not hold yet.
  bool needsSave() const { return needsSave_; }

  // Writes `policy` atomically (directories 0700 when created, file 0600) and makes it the
  // policy in force, replacing an unusable one. Throws the file system's error, or
  // std::length_error for a policy larger than a load reads back, leaving the state unchanged.
  void persist(const TamrinPolicy& policy);
  // Makes `policy` the one in force at once and leaves its writing to save().
  void keep(TamrinPolicy policy);
  // Writes the policy kept since the last write, if any. A failed write leaves it in force and
  // kept for the next save. Never throws.
  void save();
  // Removes the file (a missing one is no failure) and forgets the policy and a load failure.
  // Throws the file system's error, leaving the state unchanged.
  void remove();

 private:
  // Writes `policy` to the file; throws as persist() does.
  void write(const TamrinPolicy& policy) const;

  const std::filesystem::path url_;
  std::optional<TamrinPolicy> policy_;
  bool loadFailed_ = false;
  bool needsSave_ = false;
};

}  // namespace tamrin
