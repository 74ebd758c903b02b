#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <vector>

namespace tamrin {

// Creates `directory` and each missing directory above it with `mode`, as mkdir does: less the
// umask, so never more open than asked. A component that exists must be a directory or a link
// to one; anything else in the way throws (ENOTDIR, or EEXIST for a dangling link). An empty
// path creates nothing. Returns the directories created, outermost first, for a caller that
// sets their mode or owner exactly. Throws std::system_error whose text is `failure`, the
// component that could not be made and the reason ("create /run/tamrin: Permission denied").
std::vector<std::filesystem::path> createDirectories(const std::filesystem::path& directory,
                                                     mode_t mode,
                                                     std::string_view failure = "create ");

}  // namespace tamrin
