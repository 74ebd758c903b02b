#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tamrin {

// The reference tokens on the filter's enabled state, one per line in a file (0600) that is
// replaced atomically. Its directory is created with mode 0755 when missing.
class TokenStore {
 public:
  explicit TokenStore(std::filesystem::path path) : path_(std::move(path)) {}

  // An exclusive lock on the store (a lock file beside it), released on destruction.
  class Lock {
   public:
    explicit Lock(int fd) : fd_(fd) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();

   private:
    int fd_;
  };

  // Waits for the lock. Throws std::system_error.
  [[nodiscard]] Lock lock() const;
  // The recorded tokens in order; none when the file does not exist. Throws std::system_error.
  std::vector<std::string> load() const;
  // Replaces the recorded tokens. Throws std::system_error.
  void save(const std::vector<std::string>& tokens) const;

  const std::filesystem::path& path() const { return path_; }

 private:
  void createDirectory() const;

  std::filesystem::path path_;
};

// A random token (decimal digits) that is not among `taken`.
std::string newToken(const std::vector<std::string>& taken);

}  // namespace tamrin
