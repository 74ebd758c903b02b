#include "core/system_error.h"

#include <cerrno>

#include <gtest/gtest.h>
#include <system_error>
#include <utility>

#include "core/unique_fd.h"

namespace tamrin {
namespace {

// What `raise` threw: its code and text.
std::pair<std::error_code, std::string> thrown(void (*raise)()) {
  try {
    raise();
  } catch (const std::system_error& error) {
    return {error.code(), error.what()};
  }
  return {};
}

TEST(ThrowErrno, TextIsWhatThenTheReasonAndTheCodeIsTheErrno) {
  EXPECT_EQ(thrown([] { throwErrno(ENOENT, "read /x"); }),
            std::pair(std::make_error_code(std::errc::no_such_file_or_directory),
                      std::string("read /x: No such file or directory")));
  EXPECT_EQ(thrown([] {
              errno = EACCES;
              throwErrno("open /y");
            }),
            std::pair(std::make_error_code(std::errc::permission_denied),
                      std::string("open /y: Permission denied")));
}

TEST(UniqueFd, ClosesOnceAndReportsAFailedClose) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  UniqueFd read(ends[0]);
  UniqueFd write(ends[1]);
  UniqueFd moved(std::move(write));
  EXPECT_FALSE(write);
  EXPECT_EQ(moved.close(), 0);
  EXPECT_FALSE(moved);
  EXPECT_EQ(moved.close(), 0);  // nothing held: nothing to close
  char byte;
  EXPECT_EQ(::read(read.get(), &byte, 1), 0) << "the write end is closed";

  const int spare = ::dup(read.get());
  ASSERT_GE(spare, 0);
  ASSERT_EQ(::close(spare), 0);
  EXPECT_EQ(UniqueFd(spare).close(), EBADF);  // no longer open
}

}  // namespace
}  // namespace tamrin
