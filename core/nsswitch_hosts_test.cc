#include "core/nsswitch_hosts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

constexpr std::string_view kOther = "# comment: hosts: x\npasswd:  files\n";

TEST(NsswitchHostsTest, AddsOnceAndRemovesByteForByte) {
  const struct {
    const char* name;
    std::string before;
    TamrinSource place;
    std::string added;
  } cases[] = {
      {"debian default", "hosts:          files dns\n", TamrinSource::absent,
       "hosts:          tamrin files dns\n"},
      {"actions and a comment", "hosts: files [NOTFOUND=return] dns # local\n",
       TamrinSource::absent, "hosts: tamrin files [NOTFOUND=return] dns # local\n"},
      {"indented, tab, no final line feed", "  hosts\t: files", TamrinSource::absent,
       "  hosts\t: tamrin files"},
      {"already first", "hosts: tamrin files dns\n", TamrinSource::first,
       "hosts: tamrin files dns\n"},
      {"only source", "hosts: tamrin\n", TamrinSource::first, "hosts: tamrin\n"},
      {"moved behind files", "hosts: files tamrin dns\n", TamrinSource::misplaced,
       "hosts: tamrin files dns\n"},
      {"last", "hosts: files dns tamrin\n", TamrinSource::misplaced, "hosts: tamrin files dns\n"},
      {"given an action", "hosts: tamrin [NOTFOUND=return] files\n", TamrinSource::misplaced,
       "hosts: tamrin files\n"},
      {"twice", "hosts: tamrin files tamrin\n", TamrinSource::misplaced, "hosts: tamrin files\n"},
      {"lookalike source", "hosts: tamrin2 files\n", TamrinSource::absent,
       "hosts: tamrin tamrin2 files\n"},
  };
  for (const auto& c : cases) {
    const std::string before = std::string(kOther) + c.before;
    EXPECT_EQ(tamrinSourceOnHostsLine(before), c.place) << c.name;
    const std::string added = withTamrinFirst(before);
    EXPECT_EQ(added, std::string(kOther) + c.added) << c.name;
    EXPECT_EQ(withTamrinFirst(added), added) << c.name << ": added once";
    EXPECT_EQ(tamrinSourceOnHostsLine(added), TamrinSource::first) << c.name;
    if (c.place == TamrinSource::absent) {
      EXPECT_EQ(withoutTamrin(added), before) << c.name << ": removal restores every byte";
    }
    EXPECT_EQ(tamrinSourceOnHostsLine(withoutTamrin(added)), TamrinSource::absent) << c.name;
  }
}

TEST(NsswitchHostsTest, RefusesWhatItCannotEditSafely) {
  for (const char* text :
       {"passwd: files\n", "#hosts: files\n", "hosts: files\nhosts: dns\n", "hostsx: files\n"}) {
    EXPECT_THROW(withTamrinFirst(text), NsswitchError) << text;
    EXPECT_THROW(withoutTamrin(text), NsswitchError) << text;
  }
  EXPECT_THROW(withTamrinFirst("hosts: # nothing\n"), NsswitchError);
}

TEST(NsswitchHostsTest, EditsTheTargetOfALinkKeepingItsMode) {
  ScratchDirectory scratch("nsswitch");
  const auto target = scratch.path() / "nsswitch.target";
  const auto link = scratch.path() / "nsswitch.conf";
  std::ofstream(target) << "hosts: files dns\n";
  std::filesystem::permissions(target, std::filesystem::perms(0640));
  std::filesystem::create_symlink(target, link);
  EXPECT_TRUE(editNsswitchFile(link, withTamrinFirst));
  EXPECT_FALSE(editNsswitchFile(link, withTamrinFirst));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  std::stringstream content;
  content << std::ifstream(target).rdbuf();
  EXPECT_EQ(content.str(), "hosts: tamrin files dns\n");
  EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0640));
  EXPECT_THROW(editNsswitchFile(scratch.path(), withTamrinFirst), NsswitchError);
}

}  // namespace
}  // namespace tamrin
