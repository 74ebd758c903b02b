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
    // Several lines: removal takes tamrin off each of them (none here).
    if (std::string_view(text).starts_with("hosts: files\nhosts")) {
      EXPECT_EQ(withoutTamrin(text), text);
      continue;
    }
    EXPECT_THROW(withoutTamrin(text), NsswitchError) << text;
    EXPECT_THROW(withTamrinFirstOnEveryHostsLine(text), NsswitchError) << text;
  }
  EXPECT_THROW(withTamrinFirst("hosts: # nothing\n"), NsswitchError);
  // glibc reads no source after an action where a source should stand.
  EXPECT_THROW(withTamrinFirst("hosts: [NOTFOUND=return] files\n"), NsswitchError);
  EXPECT_THROW(withTamrinFirstOnEveryHostsLine("hosts: # nothing\nhosts:\n"), NsswitchError);
}

// Whatever a hosts: line holds, no other line changes; repeated tamrin sources at its end
// once merged the next line into it.
TEST(NsswitchHostsTest, OnlyTheHostsLineChanges) {
  const struct {
    const char* name;
    std::string hosts;
    std::string added;
    std::string removed;
  } cases[] = {
      {"tamrin twice at the end", "hosts: files tamrin tamrin\n", "hosts: tamrin files\n",
       "hosts: files\n"},
      {"only tamrin, twice", "hosts: tamrin tamrin\n", "hosts: tamrin\n", "hosts: \n"},
      {"tamrin with actions between", "hosts: files tamrin [NOTFOUND=return] tamrin # c\n",
       "hosts: tamrin files # c\n", "hosts: files # c\n"},
      {"only tamrin, with an action", "hosts: tamrin [NOTFOUND=return]\n", "hosts: tamrin\n",
       "hosts: \n"},
      {"tamrin twice, trailing blanks", "hosts:\tdns tamrin\ttamrin \r\n",
       "hosts:\ttamrin dns \r\n", "hosts:\tdns \r\n"},
  };
  const std::string after = "networks: files\n# end";
  for (const auto& c : cases) {
    const std::string text = std::string(kOther) + c.hosts + after;
    EXPECT_EQ(withTamrinFirst(text), std::string(kOther) + c.added + after) << c.name;
    EXPECT_EQ(withTamrinFirstOnEveryHostsLine(text), std::string(kOther) + c.added + after)
        << c.name;
    EXPECT_EQ(withoutTamrin(text), std::string(kOther) + c.removed + after) << c.name;
  }
}

// glibc takes the last hosts: line (and knows it without a colon too): tamrin goes first on
// every line that lists a source, and removal takes it off all of them.
TEST(NsswitchHostsTest, SeveralHostsLinesEachGetTamrinFirst) {
  const struct {
    const char* name;
    std::string before;
    TamrinSource place;
    std::string added;
  } cases[] = {
      {"a second line appended", "hosts: tamrin files dns\nhosts: files dns\n",
       TamrinSource::misplaced, "hosts: tamrin files dns\nhosts: tamrin files dns\n"},
      {"a second line without a colon", "hosts: tamrin files\n  hosts  dns files",
       TamrinSource::misplaced, "hosts: tamrin files\n  hosts  tamrin dns files"},
      {"vertical tab before, colons after", "hosts: files\n\vhosts:: dns\n", TamrinSource::absent,
       "hosts: tamrin files\n\vhosts:: tamrin dns\n"},
      {"a line without sources stays", "hosts: files\nhosts:\nnetworks: files\n",
       TamrinSource::absent, "hosts: tamrin files\nhosts:\nnetworks: files\n"},
      {"every line first already", "hosts: tamrin dns\nhosts: tamrin files\n", TamrinSource::first,
       "hosts: tamrin dns\nhosts: tamrin files\n"},
      {"not a hosts line: hosts at the very end", "hosts: files\nhosts", TamrinSource::absent,
       "hosts: tamrin files\nhosts"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tamrinSourceOnHostsLine(c.before), c.place) << c.name;
    const std::string added = withTamrinFirstOnEveryHostsLine(c.before);
    EXPECT_EQ(added, c.added) << c.name;
    EXPECT_EQ(tamrinSourceOnHostsLine(added), TamrinSource::first) << c.name;
    EXPECT_EQ(tamrinSourceOnHostsLine(withoutTamrin(added)), TamrinSource::absent) << c.name;
    if (c.place == TamrinSource::absent) {
      EXPECT_EQ(withoutTamrin(added), c.before) << c.name;
    }
  }
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
