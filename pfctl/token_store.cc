#include "pfctl/token_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "core/directories.h"
#include "core/file_io.h"
#include "core/system_error.h"

namespace tamrin {

TokenStore::Lock::~Lock() { ::close(fd_); }

TokenStore::Lock TokenStore::lock() const {
  createDirectory();
  const std::filesystem::path lockPath = path_.string() + ".lock";
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throwErrno("open " + lockPath.string());
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      throwErrno(error, "lock " + lockPath.string());
    }
  }
  return Lock(fd);
}

std::vector<std::string> TokenStore::load() const {
  std::string text;
  try {
    text = readFile(path_);
  } catch (const std::system_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return {};
    throw;
  }
  std::vector<std::string> tokens;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) tokens.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return tokens;
}

void TokenStore::save(const std::vector<std::string>& tokens) const {
  createDirectory();
  std::string text;
  for (const std::string& token : tokens) text.append(token).append("\n");
  writeFileAtomically(path_, text, 0600);
}

void TokenStore::createDirectory() const { createDirectories(path_.parent_path(), 0755); }

std::string newToken(const std::vector<std::string>& taken) {
  for (;;) {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
      throwErrno("getrandom");
    }
    const std::string token = std::to_string(value);
    if (value != 0 && std::find(taken.begin(), taken.end(), token) == taken.end()) return token;
  }
}

}  // namespace tamrin
