#include "core/hosts_file.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <system_error>

#include "core/file_io.h"
#include "core/regular_file.h"
#include "core/tamrin_error.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using Domains = std::vector<std::string>;

const std::string kLocalhost = "127.0.0.1\tlocalhost\n";
const std::string kExampleBlock =
    "\n# BEGIN TAMRIN BLOCK\n"
    "0.0.0.0\texample.com\n::\texample.com\n0.0.0.0\twww.example.com\n::\twww.example.com\n"
    "# END TAMRIN BLOCK\n";

bool ciRequiresEverything() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// Skips the test with `reason`, or fails it where every test must run.
#define SKIP_OR_FAIL(reason)                      \
  do {                                            \
    if (ciRequiresEverything()) FAIL() << reason; \
    GTEST_SKIP() << reason;                       \
  } while (0)

bool isCorruptBlockError(const std::function<void()>& call) {
  try {
    call();
  } catch (const TamrinError& error) {
    return error.kind() == TamrinError::Kind::corruptHostsBlock;
  }
  return false;
}

TEST(HostsFileText, AddingWritesTheExactBlock) {
  const struct {
    const char* name;
    std::string text;
    Domains domains;
    std::string expected;
  } cases[] = {
      {"text ending in a line feed", kLocalhost, {"example.com"}, kLocalhost + kExampleBlock},
      {"text without final line feed gets one",
       "127.0.0.1 localhost",
       {"example.com"},
       "127.0.0.1 localhost\n" + kExampleBlock},
      {"empty text gets a line feed first", "", {"example.com"}, "\n" + kExampleBlock},
      {"CR LF text already ends in a line feed",
       "a\r\n",
       {},
       "a\r\n" + std::string("\n# BEGIN TAMRIN BLOCK\n\n# END TAMRIN BLOCK\n")},
      {"no domains: no entry lines",
       kLocalhost,
       {},
       kLocalhost + "\n# BEGIN TAMRIN BLOCK\n\n# END TAMRIN BLOCK\n"},
      {"sibling names follow in order",
       "",
       {"x.com"},
       "\n\n# BEGIN TAMRIN BLOCK\n0.0.0.0\tx.com\n::\tx.com\n0.0.0.0\twww.x.com\n::\twww.x.com\n"
       "0.0.0.0\ttwitter.com\n::\ttwitter.com\n0.0.0.0\twww.twitter.com\n::\twww.twitter.com\n"
       "# END TAMRIN BLOCK\n"},
      {"names that would break the file get no entry",
       kLocalhost,
       {"bad name", "# END TAMRIN BLOCK", "a\nb", "\xff.org", "ex\xe2\x80\xa8.org", "example.com"},
       kLocalhost + kExampleBlock},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HostsFile::addingManagedBlock(c.text, c.domains), c.expected) << c.name;
  }
}

// The resolver gives every line's address for a name ("multi on") or the first line's: during
// a block each line of the user's that names a blocked host is hidden, whatever its place.
TEST(HostsFileText, LinesThatNameABlockedHostAreHiddenAndShownAgain) {
  const std::string hide(HostsFile::kHiddenLinePrefix);
  const struct {
    const char* name;
    std::string text;
    std::string hidden;
  } cases[] = {
      {"the site", "10.0.0.1 example.com\n", hide + "10.0.0.1 example.com\n"},
      {"an alias, in capitals, among other lines",
       kLocalhost + "10.0.0.1\tmine  WWW.Example.COM\n::1 ip6-localhost\n",
       kLocalhost + hide + "10.0.0.1\tmine  WWW.Example.COM\n::1 ip6-localhost\n"},
      {"no final line feed, blanks before", " \t10.0.0.1 example.com",
       hide + " \t10.0.0.1 example.com"},
      {"a comment right after the name", "10.0.0.3 www.example.com#x\r\n",
       hide + "10.0.0.3 www.example.com#x\r\n"},
      {"only in a comment, as an address or as part of a name",
       "# 10.0.0.1 example.com\nexample.com 10.0.0.1\n10.0.0.2 example.com.au\n",
       "# 10.0.0.1 example.com\nexample.com 10.0.0.1\n10.0.0.2 example.com.au\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HostsFile::hidingLinesNaming(c.text, {"example.com"}), c.hidden) << c.name;
    EXPECT_EQ(HostsFile::withHiddenLinesShown(c.hidden), c.text) << c.name;
  }
}

TEST(HostsFileText, RemovingCutsTheFirstBlockAndOneLineBreakOnEachSide) {
  const std::string begin = "# BEGIN TAMRIN BLOCK";
  const std::string end = "# END TAMRIN BLOCK";
  const struct {
    const char* name;
    std::string text;
    std::string expected;
  } cases[] = {
      {"no block", kLocalhost, kLocalhost},
      {"empty text", "", ""},
      {"markers compare case-sensitively", "# begin tamrin block\n# End TAMRIN BLOCK\n",
       "# begin tamrin block\n# End TAMRIN BLOCK\n"},
      {"written block", kLocalhost + kExampleBlock, kLocalhost},
      {"written after a text without line feed", "x\n" + kExampleBlock, "x\n"},
      {"written after the empty text", "\n" + kExampleBlock, "\n"},
      {"block in the middle", "a\n" + kExampleBlock + "b\n", "a\nb\n"},
      {"embedded marker keeps the start of its line", "keep " + begin + "\nx\n" + end + "\nz\n",
       "keep z\n"},
      {"blanks around markers stay", "a\n  " + begin + "\n" + end + "  \nb", "a\n    \nb"},
      {"CR LF pairs go whole", "a\r\n" + begin + "\r\n0.0.0.0\tx\r\n" + end + "\r\nb\r\n",
       "ab\r\n"},
      {"only one line break per side", "a\n\n\n" + begin + "\n" + end + "\n\nb", "a\n\n\nb"},
      {"LF CR is two characters", "a\n\r" + begin + end + "\n\rb", "a\n\rb"},
      {"vertical tab and form feed", "a\v" + begin + end + "\fb", "ab"},
      {"lone carriage returns", "a\r" + begin + end + "\rb", "ab"},
      {"next line", "a\xc2\x85" + begin + end + "\xc2\x85" + "b", "ab"},
      {"line and paragraph separators", "a\xe2\x80\xa8" + begin + end + "\xe2\x80\xa9" + "b", "ab"},
      {"markers at both ends of the text", begin + end, ""},
      {"second block stays", kExampleBlock + "mid\n" + kExampleBlock, "mid\n" + kExampleBlock},
      {"begin marker inside the first block", begin + "\n" + begin + "\n" + end + "\n", ""},
      // What a write stopped at any byte leaves at the end: cut back to the text before it.
      {"write stopped in an entry", kLocalhost + "\n" + begin + "\n0.0.0.0\tx\n::\tx\n0.0.0.0\tex",
       kLocalhost},
      {"write stopped in the end marker", kLocalhost + "\n" + begin + "\n0.0.0.0\tx\n# END TA",
       kLocalhost},
      {"write stopped after an empty block's line", kLocalhost + "\n" + begin + "\n\n", kLocalhost},
      {"write stopped after the begin marker", kLocalhost + "\n" + begin, kLocalhost},
      {"write stopped in the begin marker", kLocalhost + "\n# BEG", kLocalhost},
      {"a lone comment sign is the user's", kLocalhost + "\n#", kLocalhost + "\n#"},
      {"a cut begin marker without the empty line is the user's", kLocalhost + "# BEG",
       kLocalhost + "# BEG"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HostsFile::withoutManagedBlock(c.text), c.expected) << c.name;
  }
}

const std::string kCorruptTexts[] = {
    "# END TAMRIN BLOCK\n",
    kLocalhost + "# BEGIN TAMRIN BLOCK\n0.0.0.0\texample.com\n",
    "# END TAMRIN BLOCK\n# BEGIN TAMRIN BLOCK\n",
    "# END TAMRIN BLOCK\n" + kExampleBlock,
    // A begin marker followed by anything our writer never writes is not an interrupted block.
    kLocalhost + "\n# BEGIN TAMRIN BLOCK\n127.0.0.2\tmine\n",
    kLocalhost + "\n# BEGIN TAMRIN BLOCK\n0.0.0.0\tx\n\n",
    kLocalhost + "\n# BEGIN TAMRIN BLOCK\n0.0.0.0\tx y\n",
    // Cut off after a sink line without a name: our writer never writes one.
    kLocalhost + "\n# BEGIN TAMRIN BLOCK\n0.0.0.0\tx\n::\t\n",
    kLocalhost + "\n# BEGIN TAMRIN BLOCK\n0.0.0.0\t\n",
};

TEST(HostsFileText, UnbalancedOrMisorderedMarkersAreCorrupt) {
  for (const std::string& text : kCorruptTexts) {
    EXPECT_TRUE(isCorruptBlockError([&] { HostsFile::withoutManagedBlock(text); }))
        << testing::PrintToString(text);
  }
}

class HostsFileTest : public testing::Test {
 protected:
  void SetUp() override { write(kLocalhost); }

  void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
  std::string contents() const { return readFile(path_); }
  struct stat info() const {
    struct stat result;
    EXPECT_EQ(stat(path_.c_str(), &result), 0);
    return result;
  }
  // Gives the file an old modification time, so that any write shows.
  void age() const {
    const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }
  void expectUntouched(const struct stat& before) const {
    const struct stat after = info();
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    return names;
  }

  ScratchDirectory scratch_{"hosts"};
  const fs::path dir_ = scratch_.path();
  const fs::path path_ = dir_ / "hosts";
};

TEST_F(HostsFileTest, SetBlockedWritesOnlyWhenSomethingChanges) {
  const HostsFile hosts_(path_);
  EXPECT_TRUE(hosts_.setBlocked(true, {"example.com"}));
  EXPECT_EQ(contents(), kLocalhost + kExampleBlock);

  age();
  const struct stat before = info();
  EXPECT_FALSE(hosts_.setBlocked(true, {"example.com"}));
  expectUntouched(before);

  EXPECT_TRUE(hosts_.setBlocked(false, {"ignored.org"}));
  EXPECT_EQ(contents(), kLocalhost);
  age();
  const struct stat unblocked = info();
  EXPECT_FALSE(hosts_.setBlocked(false, {}));
  expectUntouched(unblocked);
  EXPECT_EQ(entries(), std::vector<std::string>{"hosts"});
}

TEST_F(HostsFileTest, ContainsManagedBlockWithAndWithoutDomains) {
  const HostsFile hosts_(path_);
  const Domains d = {"example.com"};
  const Domains other = {"example.org"};
  EXPECT_FALSE(hosts_.containsManagedBlock(std::nullopt));
  ASSERT_TRUE(hosts_.setBlocked(true, d));
  EXPECT_TRUE(hosts_.containsManagedBlock(std::nullopt));
  EXPECT_TRUE(hosts_.containsManagedBlock(d));
  EXPECT_FALSE(hosts_.containsManagedBlock(other));
  ASSERT_TRUE(hosts_.setBlocked(false, d));
  EXPECT_FALSE(hosts_.containsManagedBlock(std::nullopt));
  EXPECT_FALSE(hosts_.containsManagedBlock(d));
  EXPECT_FALSE(hosts_.containsManagedBlock(other));
}

TEST_F(HostsFileTest, HandEditedOrDisplacedBlockIsReplaced) {
  const HostsFile hosts_(path_);
  const Domains d = {"example.com"};
  std::string edited = kLocalhost + kExampleBlock;
  edited.erase(edited.find("::\texample.com\n"), 14);
  const std::string variants[] = {edited, kLocalhost + kExampleBlock + "# user line\n"};
  for (const std::string& text : variants) {
    write(text);
    EXPECT_TRUE(hosts_.containsManagedBlock(std::nullopt));
    EXPECT_FALSE(hosts_.containsManagedBlock(d));
    EXPECT_TRUE(hosts_.setBlocked(true, d));
    EXPECT_TRUE(hosts_.containsManagedBlock(d));
  }
  EXPECT_EQ(contents(), kLocalhost + "# user line\n" + kExampleBlock);
}

// A user line that names a blocked host, before or after the block, is a mismatch: the next
// write hides it, and taking the block away shows it again, byte for byte.
TEST_F(HostsFileTest, UserLinesThatNameABlockedHostAreHiddenDuringTheBlock) {
  const HostsFile hosts_(path_);
  const Domains d = {"example.com"};
  const std::string userLine = "10.0.0.1\twww.example.com\n";
  const std::string hidden = std::string(HostsFile::kHiddenLinePrefix) + userLine;
  for (const std::string& text :
       {kLocalhost + userLine + kExampleBlock, kLocalhost + kExampleBlock + userLine}) {
    write(text);
    EXPECT_TRUE(hosts_.containsManagedBlock(std::nullopt));
    EXPECT_FALSE(hosts_.containsManagedBlock(d));
    EXPECT_TRUE(hosts_.setBlocked(true, d));
    EXPECT_TRUE(hosts_.containsManagedBlock(d));
    EXPECT_FALSE(hosts_.setBlocked(true, d));
  }
  EXPECT_EQ(contents(), kLocalhost + hidden + kExampleBlock);
  EXPECT_TRUE(hosts_.setBlocked(false, d));
  EXPECT_EQ(contents(), kLocalhost + userLine);
  // Hidden lines left without a block (the block removed by hand) still count, and are shown.
  write(kLocalhost + hidden);
  EXPECT_TRUE(hosts_.containsManagedBlock(std::nullopt));
  EXPECT_TRUE(hosts_.setBlocked(false, d));
  EXPECT_EQ(contents(), kLocalhost + userLine);
  EXPECT_FALSE(hosts_.containsManagedBlock(std::nullopt));
}

TEST_F(HostsFileTest, CorruptOrUnreadableFileIsLeftByteForByte) {
  const HostsFile hosts_(path_);
  for (const std::string& text : kCorruptTexts) {
    write(text);
    const struct stat before = info();
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { hosts_.setBlocked(true, {"example.com"}); },
             [&] { hosts_.setBlocked(false, {}); },
             [&] { hosts_.containsManagedBlock(std::nullopt); },
         }) {
      EXPECT_TRUE(isCorruptBlockError(call)) << testing::PrintToString(text);
    }
    EXPECT_EQ(contents(), text);
    expectUntouched(before);
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"hosts"});
}

TEST_F(HostsFileTest, BytesThatAreNotUtf8AreKeptExactly) {
  const HostsFile hosts(path_);
  for (const std::string& user :
       {kLocalhost + "10.0.0.1\tcaf\xe9 # Latin-1\n", std::string("\xff\xfe\x00\x85\xc2\n", 6)}) {
    write(user);
    EXPECT_TRUE(hosts.setBlocked(true, {"example.com"}));
    EXPECT_EQ(contents(), user + kExampleBlock);
    EXPECT_TRUE(hosts.containsManagedBlock(Domains{"example.com"}));
    EXPECT_TRUE(hosts.setBlocked(false, {}));
    EXPECT_EQ(contents(), user);
  }
}

TEST_F(HostsFileTest, OnlyARegularFileOfBoundedSizeIsReadOrWritten) {
  if (geteuid() != 0) SKIP_OR_FAIL("making a device node needs root");
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    mode_t type;
  } cases[] = {
      // A node of our own with the numbers of /dev/zero: replacing or reading it is the fault.
      {"character device",
       [](const fs::path& p) { ASSERT_EQ(mknod(p.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0); },
       S_IFCHR},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }, S_IFIFO},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, S_IFDIR},
      {"larger than the limit",
       [](const fs::path& p) {
         std::ofstream(p) << kLocalhost;
         fs::resize_file(p, kMaximumHostsFileBytes + 1);
       },
       S_IFREG},
  };
  for (const auto& c : cases) {
    const fs::path node = dir_ / "node";
    fs::remove_all(node);
    c.make(node);
    fs::remove(path_);
    fs::create_symlink(node, path_);
    const HostsFile hosts(path_);
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { hosts.setBlocked(true, {"example.com"}); },
             [&] { hosts.containsManagedBlock(std::nullopt); },
         }) {
      try {
        call();
        ADD_FAILURE() << c.name << ": no error";
      } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find(node.filename().string()), std::string::npos)
            << c.name << ": " << error.what();
      }
    }
    struct stat after;
    ASSERT_EQ(lstat(node.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & S_IFMT, c.type) << c.name;
    if (c.type == S_IFREG) {
      EXPECT_EQ(after.st_size, off_t(kMaximumHostsFileBytes + 1)) << c.name;
    }
    EXPECT_TRUE(fs::is_symlink(path_)) << c.name;
  }
}

TEST_F(HostsFileTest, MissingFileIsAnErrorAndNotCreated) {
  const HostsFile missing(dir_ / "absent");
  try {
    missing.setBlocked(true, {"example.com"});
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_FALSE(fs::exists(dir_ / "absent"));
  fs::create_symlink("absent", dir_ / "dangling");
  for (const HostsFile& none : {missing, HostsFile(dir_ / "dangling")}) {
    EXPECT_FALSE(none.containsManagedBlock(std::nullopt)) << "no file holds no block";
    EXPECT_FALSE(none.containsManagedBlock(std::vector<std::string>{"example.com"}));
  }
}

TEST_F(HostsFileTest, SymbolicLinkStaysALinkToTheEditedFile) {
  fs::create_directory(dir_ / "etc");
  fs::create_symlink("../hosts", dir_ / "etc" / "hosts");
  const HostsFile linked(dir_ / "etc" / "hosts");
  EXPECT_TRUE(linked.setBlocked(true, {"example.com"}));
  EXPECT_TRUE(fs::is_symlink(dir_ / "etc" / "hosts"));
  EXPECT_EQ(fs::read_symlink(dir_ / "etc" / "hosts"), "../hosts");
  EXPECT_EQ(contents(), kLocalhost + kExampleBlock);
  EXPECT_TRUE(linked.containsManagedBlock(Domains{"example.com"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "etc"), fs::directory_iterator()), 1);
}

TEST_F(HostsFileTest, WriteKeepsModeOwnerAndGroup) {
  if (geteuid() != 0) SKIP_OR_FAIL("giving a file another owner needs root");
  ASSERT_EQ(chown(path_.c_str(), 4321, 8765), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0604), 0);
  EXPECT_TRUE(HostsFile(path_).setBlocked(true, {"example.com"}));
  const struct stat after = info();
  EXPECT_EQ(after.st_uid, 4321u);
  EXPECT_EQ(after.st_gid, 8765u);
  EXPECT_EQ(after.st_mode & 07777, 0604u);
  EXPECT_EQ(contents(), kLocalhost + kExampleBlock);
}

// Runs `body` in a forked child inside a private mount namespace, so its mounts vanish with
// it. Returns the child's failure text ("" on success), or nullopt when no namespace can be
// made.
std::optional<std::string> inPrivateMountNamespace(const std::function<std::string()>& body) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
      _exit(77);
    }
    std::string failure;
    try {
      failure = body();
    } catch (const std::exception& error) {
      failure = std::string("unexpected exception: ") + error.what();
    }
    (void)!::write(pipeFds[1], failure.data(), failure.size());
    _exit(failure.empty() ? 0 : 1);
  }
  close(pipeFds[1]);
  std::string failure;
  char buffer[512];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) failure.append(buffer, n);
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && failure.empty())) return "child died";
  return failure;
}

std::string mountOrDescribe(const char* source, const fs::path& target, const char* type,
                            unsigned long flags, const char* data = nullptr) {
  if (mount(source, target.c_str(), type, flags, data) == 0) return "";
  return "mount on " + target.string() + ": " + std::strerror(errno);
}

TEST_F(HostsFileTest, WriteIntoReadOnlyDirectoryFailsAndKeepsTheFile) {
  const auto failure = inPrivateMountNamespace([&]() -> std::string {
    if (auto e = mountOrDescribe(dir_.c_str(), dir_, nullptr, MS_BIND); !e.empty()) return e;
    if (auto e = mountOrDescribe(nullptr, dir_, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY);
        !e.empty()) {
      return e;
    }
    try {
      HostsFile(path_).setBlocked(true, {"example.com"});
      return "write into a read-only directory reported success";
    } catch (const std::system_error& error) {
      if (error.code() != std::errc::read_only_file_system) return error.what();
    }
    return readFile(path_) == kLocalhost ? "" : "file changed";
  });
  if (!failure) SKIP_OR_FAIL("needs a private mount namespace (root, unshare)");
  EXPECT_EQ(*failure, "");
  EXPECT_EQ(contents(), kLocalhost);
  EXPECT_EQ(entries(), std::vector<std::string>{"hosts"});
}

TEST_F(HostsFileTest, BindMountedFileIsRewrittenInPlace) {
  const fs::path bound = dir_ / "bound";
  std::ofstream(bound) << kLocalhost;
  ASSERT_EQ(chmod(bound.c_str(), 0640), 0);
  const auto failure = inPrivateMountNamespace([&]() -> std::string {
    if (auto e = mountOrDescribe(bound.c_str(), path_, nullptr, MS_BIND); !e.empty()) return e;
    if (!HostsFile(path_).setBlocked(true, {"example.com"})) return "no write reported";
    if (readFile(path_) != kLocalhost + kExampleBlock) return "mounted file not rewritten";
    return "";
  });
  if (!failure) SKIP_OR_FAIL("needs a private mount namespace (root, unshare)");
  EXPECT_EQ(*failure, "");
  // The text went into the mounted file's own inode, not over the mount point.
  EXPECT_EQ(readFile(bound), kLocalhost + kExampleBlock);
  EXPECT_EQ(contents(), kLocalhost);
  struct stat boundInfo;
  ASSERT_EQ(stat(bound.c_str(), &boundInfo), 0);
  EXPECT_EQ(boundInfo.st_mode & 07777, 0640u);
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(HostsFileTest, FailedInPlaceRewriteWritesTheOldTextBack) {
  const fs::path small = dir_ / "small";
  fs::create_directory(small);
  Domains many;
  for (int i = 0; i < 400; ++i) many.push_back("site" + std::to_string(i) + ".example.com");
  const auto failure = inPrivateMountNamespace([&]() -> std::string {
    // One page of room: the old text fits, the new one does not.
    if (auto e = mountOrDescribe("tmpfs", small, "tmpfs", 0, "size=4k"); !e.empty()) return e;
    const fs::path bound = small / "hosts";
    { std::ofstream(bound) << kLocalhost; }
    if (auto e = mountOrDescribe(bound.c_str(), path_, nullptr, MS_BIND); !e.empty()) return e;
    try {
      HostsFile(path_).setBlocked(true, many);
      return "write beyond the file system's room reported success";
    } catch (const std::system_error& error) {
      if (error.code() != std::errc::no_space_on_device) return error.what();
    }
    return readFile(path_) == kLocalhost ? "" : "old text not restored";
  });
  if (!failure) SKIP_OR_FAIL("needs a private mount namespace (root, unshare)");
  EXPECT_EQ(*failure, "");
}

TEST_F(HostsFileTest, InPlaceRewriteKilledAtAnyMomentKeepsTheUserText) {
  const std::string user = kLocalhost + "10.0.0.1\tcaf\xe9 # Latin-1\n";
  const fs::path bound = dir_ / "bound";
  // Blocks of some 200 KB on a tmpfs (no slow sync around them), so kills often land in a write.
  Domains first, second;
  for (int i = 0; i < 2000; ++i) first.push_back("first" + std::to_string(i) + ".example.com");
  for (int i = 0; i < 1500; ++i) second.push_back("second" + std::to_string(i) + ".example.org");
  const auto failure = inPrivateMountNamespace([&]() -> std::string {
    if (auto e = mountOrDescribe("tmpfs", dir_, "tmpfs", 0); !e.empty()) return e;
    std::ofstream(bound, std::ios::binary) << user;
    std::ofstream(path_) << "mount point\n";
    if (auto e = mountOrDescribe(bound.c_str(), path_, nullptr, MS_BIND); !e.empty()) return e;
    const HostsFile hosts(path_);
    const std::string whole[] = {user, HostsFile::addingManagedBlock(user, first),
                                 HostsFile::addingManagedBlock(user, second)};
    int interrupted = 0;
    for (int round = 0; round < 40; ++round) {
      const pid_t writer = fork();
      if (writer == 0) {
        for (int i = 0;; ++i) hosts.setBlocked(i % 3 != 0, i % 3 == 1 ? first : second);
      }
      // Aim at a write: kill as soon as the file has a size that no whole text has, or after
      // a while.
      for (int poll = 0; poll < 200000; ++poll) {
        struct stat now;
        if (::stat(path_.c_str(), &now) != 0) break;
        const auto size = static_cast<size_t>(now.st_size);
        if (size != whole[0].size() && size != whole[1].size() && size != whole[2].size() &&
            poll > round * 50) {
          break;
        }
      }
      kill(writer, SIGKILL);
      waitpid(writer, nullptr, 0);
      const std::string text = readFile(path_);
      if (!text.starts_with(user)) return "round " + std::to_string(round) + ": user text lost";
      if (std::find(std::begin(whole), std::end(whole), text) == std::end(whole)) ++interrupted;
      // The user's part never changes, so a write stopped anywhere leaves a prefix of the text
      // it was writing.
      if (std::none_of(std::begin(whole), std::end(whole),
                       [&](const std::string& w) { return w.starts_with(text); })) {
        return "round " + std::to_string(round) + ": not a prefix of a whole text";
      }
      try {
        if (HostsFile::withoutManagedBlock(text) != user) {
          return "round " + std::to_string(round) + ": the left block is not recognised";
        }
      } catch (const TamrinError&) {
        return "round " + std::to_string(round) + ": the left block reads as corrupt";
      }
    }
    std::cout << interrupted << " of 40 kills interrupted a write" << std::endl;
    hosts.setBlocked(true, first);  // the next pass completes the block
    return readFile(path_) == whole[1] ? "" : "the next pass did not complete the block";
  });
  if (!failure) SKIP_OR_FAIL("needs a private mount namespace (root, unshare)");
  EXPECT_EQ(*failure, "");
}

}  // namespace
}  // namespace tamrin
