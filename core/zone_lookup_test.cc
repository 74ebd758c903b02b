#include "core/zone_lookup.h"

#include <date/tz.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// The name date::locate_zone gives a zone over the whole database, or nothing when it finds none.
std::optional<std::string> formerLookup(std::string_view name) {
  try {
    return date::locate_zone(name)->name();
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

std::optional<std::string> lookup(std::string_view name) {
  try {
    return locateZone(name)->name();
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

TEST(ZoneLookupTest, NamesMeanWhatTheyMeantOverTheWholeDatabase) {
  using namespace std::string_view_literals;
  const std::string_view names[] = {
      "Europe/Berlin",
      "US/Eastern",
      "UTC",
      "Etc/GMT+5",
      "GMT0",
      "localtime",
      "Not/AZone",
      "",
      "Europe",
      "Europe/",
      "/Europe/Berlin",
      "Europe//Berlin",
      "./UTC",
      "Etc/../UTC",
      "../zoneinfo/UTC",
      "posixrules",
      "posix/Europe/Berlin",
      "right/UTC",
      "zone.tab",
      "Factory",
      "europe/berlin",
      "UTC ",
      "UTC\0x"sv,
      "tzdata.zi",
      "Etc/UTC/",
  };
  for (const std::string_view name : names) {
    EXPECT_EQ(lookup(name), formerLookup(name)) << "name: " << name;
  }
  EXPECT_EQ(locateZone("Europe/Berlin"), locateZone("Europe/Berlin"));  // read once, kept
}

TEST(ZoneLookupTest, NoOtherFileOfTheDirectoryIsAZone) {
  std::set<std::string> listed;
  for (const date::time_zone& zone : date::get_tzdb().zones) listed.insert(zone.name());
  int others = 0;
  for (const auto& entry : fs::recursive_directory_iterator(zoneDirectory())) {
    const std::string name = fs::relative(entry.path(), zoneDirectory()).string();
    if (entry.is_directory() || listed.contains(name)) continue;
    EXPECT_THROW(loadZone(zoneDirectory(), name), std::runtime_error) << name;
    ++others;
  }
  EXPECT_GT(others, 5);  // zone.tab, tzdata.zi, right/..., posixrules, ...
}

class SystemZoneTest : public ::testing::Test {
 protected:
  SystemZoneTest()
      : files{.localtime = scratch.path() / "localtime",
              .tzLink = scratch.path() / "TZ",
              .timezone = scratch.path() / "timezone",
              .zoneinfoFile = scratch.path() / "zoneinfo-name",
              .sysconfigClock = scratch.path() / "clock"} {}

  void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  ScratchDirectory scratch{"system-zone"};
  SystemZoneFiles files;
};

TEST_F(SystemZoneTest, LocaltimeLinkNamesTheZoneItResolvesTo) {
  fs::create_symlink(zoneDirectory() / "Europe/Berlin", files.localtime);
  write(files.timezone, "Asia/Tokyo\n");  // not asked: the link decides
  EXPECT_EQ(systemZoneName(files), "Europe/Berlin");

  fs::remove(files.localtime);
  fs::create_symlink(zoneDirectory() / "US/Eastern", files.localtime);
  EXPECT_EQ(systemZoneName(files), "America/New_York");  // the link's target, fully resolved

  // Resolving to a "posixrules" file: the link's own text names the zone.
  write(scratch.path() / "b/zoneinfo/posixrules", "TZif");
  fs::create_directories(scratch.path() / "a/zoneinfo/Europe");
  fs::create_symlink(scratch.path() / "b/zoneinfo/posixrules",
                     scratch.path() / "a/zoneinfo/Europe/Paris");
  fs::remove(files.localtime);
  fs::create_symlink(scratch.path() / "a/zoneinfo/Europe/Paris", files.localtime);
  EXPECT_EQ(systemZoneName(files), "Europe/Paris");

  // A dangling link, or one outside any "zoneinfo" directory, gives no zone at all.
  fs::remove(files.localtime);
  fs::create_symlink(scratch.path() / "missing", files.localtime);
  EXPECT_ANY_THROW(systemZoneName(files));
  write(scratch.path() / "elsewhere/Berlin", "TZif");
  fs::remove(files.localtime);
  fs::create_symlink(scratch.path() / "elsewhere/Berlin", files.localtime);
  EXPECT_ANY_THROW(systemZoneName(files));
}

TEST_F(SystemZoneTest, WithoutALocaltimeLinkTheOtherFilesAreAskedInTurn) {
  write(files.localtime, "TZif");  // a copy, not a link: passed over
  write(files.sysconfigClock, "# clock\nUTC=true\nZONE=\"America/Chicago\"\n");
  EXPECT_EQ(systemZoneName(files), "America/Chicago");
  write(files.zoneinfoFile, "Asia/Seoul\nsecond line\n");
  EXPECT_EQ(systemZoneName(files), "Asia/Seoul");
  write(files.timezone, "\nEurope/Oslo\n");  // an empty first line says nothing
  EXPECT_EQ(systemZoneName(files), "Asia/Seoul");
  write(files.timezone, "Europe/Lisbon\n");
  EXPECT_EQ(systemZoneName(files), "Europe/Lisbon");
  fs::create_symlink(zoneDirectory() / "Asia/Tokyo", files.tzLink);
  EXPECT_EQ(systemZoneName(files), "Asia/Tokyo");
}

TEST_F(SystemZoneTest, NoneOfTheFilesGivesNoZone) {
  EXPECT_THROW(systemZoneName(files), std::runtime_error);
  write(files.sysconfigClock, "ZONE=\"America/Chicago\n");  // no closing quote
  EXPECT_ANY_THROW(systemZoneName(files));
}

TEST(ZoneLookupTest, TheSystemZoneIsTheOneTheWholeDatabaseFinds) {
  std::optional<std::string> former;
  try {
    former = date::current_zone()->name();
  } catch (const std::exception&) {
  }
  std::optional<std::string> now;
  try {
    now = locateZone(systemZoneName())->name();
  } catch (const std::exception&) {
  }
  EXPECT_EQ(now, former);
}

}  // namespace
}  // namespace tamrin
