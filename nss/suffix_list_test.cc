#include "nss/suffix_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

bool covers(const std::string& listText, const char* name) {
  tamrin_suffix_list list;
  EXPECT_EQ(tamrin_suffix_list_parse(listText.data(), listText.size(), &list), 0);
  char canonical[TAMRIN_NAME_MAX + 1];
  const int length = tamrin_canonical_name(name, std::strlen(name), canonical);
  const bool result = length >= 0 && tamrin_suffix_list_covers(&list, canonical);
  tamrin_suffix_list_free(&list);
  return result;
}

TEST(SuffixListTest, MatchesNamesEqualToOrUnderASuffix) {
  const std::string list =
      "example.com\n  Blocked.TEST.\r\nbad name.org\n*.star.org\nsingle\n"
      "a..b\n-ok-.net\x01\nlast.org";
  const struct {
    const char* name;
    bool covered;
  } cases[] = {
      {"example.com", true},
      {"old.example.com", true},
      {"a.b.c.example.com", true},
      {"EXAMPLE.com.", true},
      {"notexample.com", false},
      {"example.com.evil", false},
      {"com", false},
      {"x.blocked.test", true},
      {"name.org", false},
      {"x.star.org", false},
      {"single", false},
      {"x.single", false},
      {"b", false},
      {"x.last.org", true},
      {"-ok-.net", false},
      {"", false},
      {".example.com", false},
      {"a..example.com", false},
      {"ex ample.com", false},
      {"www.example.com\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(covers(list, c.name), c.covered) << c.name;
  EXPECT_FALSE(covers("", "example.com"));
  EXPECT_FALSE(covers(std::string(300, 'a') + ".com\n", (std::string(300, 'a') + ".com").c_str()));
  const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b');
  EXPECT_TRUE(covers(longest, ("x." + longest).c_str()));
  EXPECT_FALSE(covers(std::string(64, 'a') + ".com", (std::string(64, 'a') + ".com").c_str()));
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(SuffixCacheTest, FollowsTheFileAsItChanges) {
  ScratchDirectory scratch("suffix-cache");
  const std::string path = (scratch.path() / "suffixes").string();
  tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;
  EXPECT_FALSE(tamrin_suffix_cache_covers(&cache, path.c_str(), "a.example.com")) << "missing";
  writeFile(path, "example.com\n");
  EXPECT_TRUE(tamrin_suffix_cache_covers(&cache, path.c_str(), "a.example.com"));
  // Replaced by rename, as the daemon does: a new inode is read even within the same tick.
  writeFile(path + ".new", "other.org\n");
  std::filesystem::rename(path + ".new", path);
  EXPECT_FALSE(tamrin_suffix_cache_covers(&cache, path.c_str(), "a.example.com"));
  EXPECT_TRUE(tamrin_suffix_cache_covers(&cache, path.c_str(), "other.org"));
  writeFile(path, "");
  EXPECT_FALSE(tamrin_suffix_cache_covers(&cache, path.c_str(), "other.org")) << "empty";
  writeFile(path, std::string(TAMRIN_SUFFIX_FILE_MAX, '\n') + "other.org\n");
  EXPECT_FALSE(tamrin_suffix_cache_covers(&cache, path.c_str(), "other.org")) << "oversized";
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_FALSE(tamrin_suffix_cache_covers(&cache, path.c_str(), "other.org")) << "directory";
  tamrin_suffix_list_free(&cache.list);
}

TEST(SuffixCacheTest, ThreadsShareOneCache) {
  ScratchDirectory scratch("suffix-threads");
  const std::string path = (scratch.path() / "suffixes").string();
  writeFile(path, "example.com\n");
  tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;
  std::vector<std::jthread> threads;
  std::atomic<int> wrong = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (!tamrin_suffix_cache_covers(&cache, path.c_str(), "www.example.com")) ++wrong;
        if (tamrin_suffix_cache_covers(&cache, path.c_str(), "example.org")) ++wrong;
      }
    });
  }
  for (int i = 0; i < 50; ++i) {
    writeFile(path + ".new", i % 2 ? "example.com\n" : "example.com\nexample.net\n");
    std::filesystem::rename(path + ".new", path);
  }
  threads.clear();
  EXPECT_EQ(wrong, 0);
  tamrin_suffix_list_free(&cache.list);
}

}  // namespace
}  // namespace tamrin
