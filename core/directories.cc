#include "core/directories.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "core/system_error.h"

namespace tamrin {
namespace {

// The errno that leaves `directory` uncreated after mkdir said EEXIST, or 0 when a directory
// (or a link to one) is there.
int existingDirectoryError(const std::filesystem::path& directory) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0) return EEXIST;  // a dangling link
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

// Makes `directory`, its missing parents first; appends what it made to `created`.
void createMissing(const std::filesystem::path& directory, mode_t mode, std::string_view failure,
                   std::vector<std::filesystem::path>& created) {
  if (::mkdir(directory.c_str(), mode) == 0) {
    created.push_back(directory);
    return;
  }
  int error = errno;
  const std::filesystem::path parent = directory.parent_path();
  if (error == ENOENT && !parent.empty() && parent != directory) {
    createMissing(parent, mode, failure, created);
    if (::mkdir(directory.c_str(), mode) == 0) {
      created.push_back(directory);
      return;
    }
    error = errno;
  }
  if (error == EEXIST) error = existingDirectoryError(directory);
  if (error != 0) throwErrno(error, std::string(failure) + directory.string());
}

}  // namespace

std::vector<std::filesystem::path> createDirectories(const std::filesystem::path& directory,
                                                     mode_t mode, std::string_view failure) {
  std::vector<std::filesystem::path> created;
  if (!directory.empty()) createMissing(directory, mode, failure, created);
  return created;
}

}  // namespace tamrin
