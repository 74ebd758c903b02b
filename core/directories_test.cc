#include "core/directories.h"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <sstream>
#include <system_error>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// Sets the umask for the lifetime of the value.
struct Umask {
  explicit Umask(mode_t mask) : previous(::umask(mask)) {}
  ~Umask() { ::umask(previous); }
  mode_t previous;
};

// What stands below the root before the call.
enum class There { nothing, parent0711, both, linkToDirectory, file, danglingLink };

void prepare(There there, const fs::path& root) {
  switch (there) {
    case There::nothing:
      return;
    case There::parent0711:
      ASSERT_EQ(::mkdir((root / "a").c_str(), 0711), 0);
      return;
    case There::both:
      fs::create_directories(root / "a/b");
      return;
    case There::linkToDirectory:
      fs::create_directory(root / "real");
      fs::create_directory_symlink(root / "real", root / "link");
      return;
    case There::file:
      writeFileAtomically(root / "f", "", 0600);
      return;
    case There::danglingLink:
      fs::create_directory_symlink(root / "gone", root / "link");
      return;
  }
}

TEST(CreateDirectories, MakesWhatIsMissingAndNothingElse) {
  struct Case {
    const char* name;
    There there;
    const char* path;  // below the root
    mode_t mode;
    mode_t umask;
    const char* created;  // below the root, outermost first, separated by blanks
    mode_t createdMode;
    const char* failure;  // the failing component and the reason; "" when it succeeds
  } cases[] = {
      {"every component missing", There::nothing, "a/b/c", 0700, 022, "a a/b a/b/c", 0700, ""},
      {"the umask applies", There::nothing, "a/b", 0755, 077, "a a/b", 0700, ""},
      {"the mode is not widened", There::nothing, "a", 0755, 022, "a", 0755, ""},
      {"an existing parent is kept", There::parent0711, "a/b", 0700, 022, "a/b", 0700, ""},
      {"nothing missing", There::both, "a/b", 0700, 022, "", 0, ""},
      {"a link to a directory above", There::linkToDirectory, "link/b", 0700, 022, "link/b", 0700,
       ""},
      {"a link to a directory", There::linkToDirectory, "link", 0700, 022, "", 0, ""},
      {"a file in the way", There::file, "f", 0700, 022, "", 0, "f: Not a directory"},
      {"a file above", There::file, "f/b", 0700, 022, "", 0, "f/b: Not a directory"},
      {"a dangling link", There::danglingLink, "link", 0700, 022, "", 0, "link: File exists"},
      {"a dangling link above", There::danglingLink, "link/b", 0700, 022, "", 0,
       "link: File exists"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDirectory scratch("directories");
    const fs::path& root = scratch.path();
    prepare(c.there, root);
    const Umask mask(c.umask);
    std::vector<fs::path> expected;
    std::istringstream names(c.created);
    for (std::string name; names >> name;) expected.push_back(root / name);
    try {
      EXPECT_EQ(createDirectories(root / c.path, c.mode), expected);
      EXPECT_EQ(std::string(c.failure), "") << "created";
      EXPECT_TRUE(fs::is_directory(root / c.path));
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.what(), "create " + root.string() + "/" + c.failure);
    }
    for (const fs::path& made : expected) EXPECT_EQ(modeOf(made), c.createdMode) << made;
  }
}

TEST(CreateDirectories, LeavesWhatIsThereAsItIsAndNamesFailuresAsAsked) {
  ScratchDirectory scratch("directories");
  const fs::path root = scratch.path();
  prepare(There::parent0711, root);
  fs::create_directory_symlink(root / "a", root / "link");
  createDirectories(root / "link/b", 0700);
  EXPECT_EQ(modeOf(root / "a"), 0711u);
  EXPECT_TRUE(fs::is_symlink(root / "link"));
  EXPECT_TRUE(createDirectories("", 0700).empty());

  prepare(There::file, root);
  try {
    createDirectories(root / "f", 0700, "Could not create ");
    ADD_FAILURE() << "created";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::not_a_directory);
    EXPECT_EQ(std::string(error.what()),
              "Could not create " + (root / "f").string() + ": Not a directory");
  }
}

}  // namespace
}  // namespace tamrin
