#include "core/zone_lookup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "core/file_io.h"
#include "core/system_error.h"

namespace tamrin {
namespace {

// Entries of the database's directories that name no zone of it.
constexpr std::array<std::string_view, 10> kNotZones = {
    "Factory",  "iso3166.tab",  "right",     "+VERSION",    "version",
    "zone.tab", "zone1970.tab", "tzdata.zi", "leapseconds", "leap-seconds.list"};

std::runtime_error notFound(std::string_view name) {
  return std::runtime_error(std::string(name) + " not found in timezone database");
}

// Whether the walk of the database's directory could list `name`, judged by its text alone.
bool isListedName(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part.front() == '.' || part.starts_with("posix")) return false;
    for (const std::string_view excluded : kNotZones) {
      if (part == excluded) return false;
    }
    start = end + 1;
  }
  return true;
}

bool isDirectory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool isNonEmptyLink(const std::filesystem::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && info.st_size > 0;
}

std::string linkText(const std::filesystem::path& path) {
  char text[PATH_MAX + 1] = {};
  if (::readlink(path.c_str(), text, sizeof text - 1) <= 0) {
    throwErrno("readlink() failed");
  }
  return text;
}

// What follows the last "zoneinfo" of `path` and the '/' after it.
std::string nameAfterZoneinfo(std::string path) {
  std::size_t at = path.rfind("zoneinfo");
  if (at == std::string::npos) {
    throw std::runtime_error("current_zone() failed to find \"zoneinfo\" in " + path);
  }
  at = path.find('/', at);
  path.erase(0, at + 1);  // nothing when no '/' follows
  return path;
}

std::optional<std::string> firstLine(const std::filesystem::path& path) {
  std::ifstream file(path);
  if (!file.is_open()) return std::nullopt;
  std::string line;
  std::getline(file, line);
  if (line.empty()) return std::nullopt;
  return line;
}

}  // namespace

const std::filesystem::path& zoneDirectory() {
  static const std::filesystem::path directory = [] {
    for (const char* candidate : {"/usr/share/zoneinfo/uclibc", "/usr/share/zoneinfo"}) {
      if (isDirectory(candidate)) return std::filesystem::path(candidate);
    }
    throw std::runtime_error("no zone database in /usr/share/zoneinfo");
  }();
  return directory;
}

TimeZone loadZone(const std::filesystem::path& directory, std::string_view name) {
  if (!isListedName(name)) throw notFound(name);
  std::string bytes;
  try {
    bytes = readFile(directory / name);
  } catch (const std::system_error& error) {
    const int code = error.code().value();
    if (code == ENOENT || code == ENOTDIR || code == EISDIR || code == ELOOP) throw notFound(name);
    throw;
  }
  return TimeZone::parse(std::string(name), bytes);
}

const TimeZone* locateZone(std::string_view name) {
  // Never destroyed: a calendar may still be read while the process exits.
  static auto* const lock = new std::mutex;
  static auto* const zones = new std::map<std::string, std::unique_ptr<TimeZone>, std::less<>>;
  const std::lock_guard hold(*lock);
  if (const auto found = zones->find(name); found != zones->end()) return found->second.get();
  auto zone = std::make_unique<TimeZone>(loadZone(zoneDirectory(), name));
  return zones->emplace(std::string(name), std::move(zone)).first->second.get();
}

std::string systemZoneName(const SystemZoneFiles& files) {
  if (isNonEmptyLink(files.localtime)) {
    char resolved[PATH_MAX + 1] = {};
    if (::realpath(files.localtime.c_str(), resolved) == nullptr) {
      throwErrno("realpath() failed");
    }
    std::string name = nameAfterZoneinfo(resolved);
    // "posixrules" is itself a link to some zone: the link's own text names the system's.
    if (name == "posixrules") name = nameAfterZoneinfo(linkText(files.localtime));
    return name;
  }
  if (isNonEmptyLink(files.tzLink)) {
    std::string name = linkText(files.tzLink);
    const std::string& directory = zoneDirectory().native();
    if (const std::size_t at = name.find(directory); at != std::string::npos) {
      name.erase(0, directory.size() + 1 + at);
    }
    return name;
  }
  for (const auto& path : {files.timezone, files.zoneinfoFile}) {
    if (auto name = firstLine(path)) return *name;
  }
  std::ifstream clock(files.sysconfigClock);
  std::string line;
  while (clock) {
    std::getline(clock, line);
    if (const std::size_t at = line.find("ZONE=\""); at != std::string::npos) {
      // As date::current_zone reads the line (throws std::out_of_range without a closing '"').
      line.erase(at, at + 6);
      line.erase(line.rfind('"'));
      return line;
    }
  }
  throw std::runtime_error("Could not get current timezone");
}

}  // namespace tamrin
