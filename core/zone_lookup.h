#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "core/time_zone.h"

namespace tamrin {

// Finding one zone of the system's zone database by its name, reading that zone's file alone.
// Names mean what they mean to date::locate_zone and date::current_zone over the OS database
// (the walk of the whole directory tree those make is what this avoids).

// The database's directory: /usr/share/zoneinfo/uclibc where it exists, else
// /usr/share/zoneinfo. Found once. Throws std::runtime_error when neither is a directory.
const std::filesystem::path& zoneDirectory();

// The zone file `name` names under `directory` when the database lists it: a relative path
// whose components are not empty, hidden, "posix..." or one of the database's own data files
// ("right", "Factory", "zone.tab", ...), naming something other than a directory. A link's own
// name ("US/Eastern") is kept as the zone's name. Throws std::runtime_error
// ("<name> not found in timezone database") for any other name, and for a file that is not a
// zone file.
TimeZone loadZone(const std::filesystem::path& directory, std::string_view name);

// loadZone over zoneDirectory(), each name read once and kept for the life of the process:
// the same zone for the same name. Safe from any thread.
const TimeZone* locateZone(std::string_view name);

// Where the system names its zone, in the order they are asked.
struct SystemZoneFiles {
  // A symbolic link into the database; the name follows its last "zoneinfo/" (of the fully
  // resolved path, or of the link's own text when that resolves to "posixrules").
  std::filesystem::path localtime = "/etc/localtime";
  // A symbolic link whose text, after the database's directory and '/', is the name.
  std::filesystem::path tzLink = "/etc/TZ";
  // Files whose first line, when not empty, is the name.
  std::filesystem::path timezone = "/etc/timezone";
  std::filesystem::path zoneinfoFile = "/var/db/zoneinfo";
  // A file with a line ZONE="<name>".
  std::filesystem::path sysconfigClock = "/etc/sysconfig/clock";
};

// The name of the system's zone from the first of `files` that gives one, read each call.
// Throws std::exception when none does or a link cannot be read.
std::string systemZoneName(const SystemZoneFiles& files = {});

}  // namespace tamrin
