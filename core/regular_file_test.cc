#include "core/regular_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// The errno readRegularFile fails with, or 0 when it returns the file's whole content.
int readError(const fs::path& path, size_t cap) {
  try {
    const RegularFileContents contents = readRegularFile(path, cap);
    EXPECT_EQ(contents.bytes, readFile(path)) << path;
    return 0;
  } catch (const std::system_error& error) {
    EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
    return error.code().value();
  }
}

TEST(RegularFileTest, TheCapHoldsForTheSizeAndForWhatIsRead) {
  ScratchDirectory scratch{"regular-file"};
  const fs::path file = scratch.path() / "file";
  writeFileAtomically(file, std::string(100, 'x'), 0644);
  writeFileAtomically(scratch.path() / "empty", "", 0644);
  // /proc files report a size of 0: only the bytes read can show that they are too long.
  const std::string status = readFile("/proc/self/status");
  ASSERT_GT(status.size(), 100u);
  const struct {
    const char* name;
    fs::path path;
    size_t cap;
    int error;
  } cases[] = {
      {"exactly the cap", file, 100, 0},
      {"one byte over the cap", file, 99, EFBIG},
      {"an empty file under a cap of 0", scratch.path() / "empty", 0, 0},
      {"a device", "/dev/null", 1000, EINVAL},
      {"a size of 0 but more read than the cap", "/proc/self/status", 100, EFBIG},
      {"a directory", scratch.path(), 1000, EISDIR},
      {"missing", scratch.path() / "missing", 1000, ENOENT},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readError(c.path, c.cap), c.error) << c.name;
  }
}

}  // namespace
}  // namespace tamrin
