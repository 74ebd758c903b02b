#include "nss/suffix_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nss/suffix_list.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

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
  std::filesystem::remove(path);
  writeFile(path + ".target", "other.org\n");
  std::filesystem::create_symlink(path + ".target", path);
  EXPECT_FALSE(tamrin_suffix_cache_covers(&cache, path.c_str(), "other.org")) << "link";
  tamrin_suffix_cache_clear(&cache);
}

// A FIFO at the list path is never opened (an open could wait for a writer for good): the
// lookup answers at once, and inotify saw no open of it.
TEST(SuffixCacheTest, NeverOpensAFifo) {
  ScratchDirectory scratch("suffix-fifo");
  const std::string path = (scratch.path() / "suffixes").string();
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_OPEN), 0);
  tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;
  auto lookup = std::async(std::launch::async, [&] {
    return tamrin_suffix_cache_covers(&cache, path.c_str(), "example.com");
  });
  if (lookup.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    close(open(path.c_str(), O_WRONLY | O_NONBLOCK));  // lets a waiting open go on
    FAIL() << "the lookup waited on the FIFO";
  }
  EXPECT_EQ(lookup.get(), 0);
  char events[256];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the FIFO was opened";
  close(watch);
}

// A read that ends early (a file cut short while it is read) covers nothing and is not kept:
// the next lookup reads the file again.
bool cutShort = false;
ssize_t readCutShort(int fd, void* buffer, size_t size) {
  if (!cutShort) return read(fd, buffer, size);
  static bool ended = false;
  if ((ended = !ended)) return read(fd, buffer, std::min<size_t>(size, 4));
  cutShort = false;
  return 0;
}

TEST(SuffixCacheTest, AShortReadIsNotCached) {
  ScratchDirectory scratch("suffix-short");
  const std::string path = (scratch.path() / "suffixes").string();
  writeFile(path, "example.org\nexample.com\n");
  tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;
  cache.read = readCutShort;
  cutShort = true;
  EXPECT_FALSE(tamrin_suffix_cache_covers(&cache, path.c_str(), "example.com"));
  EXPECT_FALSE(cutShort) << "the cut read was not used";
  EXPECT_TRUE(tamrin_suffix_cache_covers(&cache, path.c_str(), "example.com"));
  EXPECT_TRUE(tamrin_suffix_cache_covers(&cache, path.c_str(), "example.org"));
  tamrin_suffix_cache_clear(&cache);
}

TEST(SuffixCacheTest, ThreadsShareOneCache) {
  ScratchDirectory scratch("suffix-threads");
  const std::string path = (scratch.path() / "suffixes").string();
  writeFile(path, "example.com\n");
  tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;
  std::vector<std::jthread> threads;
  std::atomic<int> wrong = 0;
  std::atomic<bool> replacing = true;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000 || replacing; ++i) {
        if (!tamrin_suffix_cache_covers(&cache, path.c_str(), "www.example.com")) ++wrong;
        if (tamrin_suffix_cache_covers(&cache, path.c_str(), "example.org")) ++wrong;
      }
    });
  }
  // Lists replaced while lookups run are freed under them only after the last reader (the
  // sanitizer builds check it).
  for (int i = 0; i < 300; ++i) {
    writeFile(path + ".new", i % 2 ? "example.com\n" : "example.com\nexample.net\n");
    std::filesystem::rename(path + ".new", path);
  }
  replacing = false;
  threads.clear();
  EXPECT_EQ(wrong, 0);
  tamrin_suffix_cache_clear(&cache);
}

// A replaced list is kept while any lookup runs and freed after the last one, also in a child
// forked while another thread of the parent was in a lookup.
std::mutex gateLock;
std::condition_variable gateChanged;
bool holdNextRead = false, holding = false;
ssize_t readThroughGate(int fd, void* buffer, size_t size) {
  std::unique_lock lock(gateLock);
  if (holdNextRead) {
    holdNextRead = false;
    holding = true;
    gateChanged.notify_all();
    gateChanged.wait(lock, [] { return !holding; });
  }
  return read(fd, buffer, size);
}

TEST(SuffixCacheTest, FreesReplacedListsOnceNoLookupRuns) {
  ScratchDirectory scratch("suffix-retired");
  const std::string path = (scratch.path() / "suffixes").string();
  const auto replace = [&](const std::string& text) {
    writeFile(path + ".new", text);
    std::filesystem::rename(path + ".new", path);
  };
  tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;
  cache.read = readThroughGate;
  replace("example.com\n");
  ASSERT_TRUE(tamrin_suffix_cache_covers(&cache, path.c_str(), "example.com"));
  replace("example.org\n");
  holdNextRead = true;
  std::jthread held(
      [&] { EXPECT_TRUE(tamrin_suffix_cache_covers(&cache, path.c_str(), "example.org")); });
  {
    std::unique_lock lock(gateLock);
    gateChanged.wait(lock, [] { return holding; });
  }
  replace("example.net\n");
  EXPECT_TRUE(tamrin_suffix_cache_covers(&cache, path.c_str(), "example.net"));
  EXPECT_NE(cache.retired, nullptr) << "freed while a lookup runs";
  const pid_t child = fork();
  if (child == 0) {
    tamrin_suffix_cache_after_fork(&cache);
    replace("example.edu\n");
    _exit(tamrin_suffix_cache_covers(&cache, path.c_str(), "example.edu") && !cache.retired ? 0
                                                                                            : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "the child kept what it replaced";
  {
    std::lock_guard lock(gateLock);
    holding = false;
  }
  gateChanged.notify_all();
  held.join();
  EXPECT_EQ(cache.retired, nullptr);
  tamrin_suffix_cache_clear(&cache);
}

}  // namespace
}  // namespace tamrin
