// Runs the built tamrinctl for the cases that need no daemon.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tamrin {
namespace {

struct ProgramRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

std::string contents(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

class TamrinctlProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bundle = std::getenv("TAMRIN_BUNDLE_DIR");
    ASSERT_NE(bundle, nullptr) << "TAMRIN_BUNDLE_DIR is not set; run this test through ctest";
    program_ = std::filesystem::path(bundle) / "bin" / "tamrinctl";
    ASSERT_TRUE(std::filesystem::exists(program_))
        << program_ << " is missing; build the tamrinctl target first";
    scratch_ =
        std::filesystem::temp_directory_path() / ("tamrinctl-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch_);
  }
  void TearDown() override { std::filesystem::remove_all(scratch_); }

  // Runs tamrinctl with `arguments` (plain words) and `input` on standard input.
  ProgramRun run(const std::vector<std::string>& arguments, const std::string& input = "") {
    std::ofstream(scratch_ / "in", std::ios::binary) << input;
    std::ostringstream command;
    command << "'" << program_.string() << "'";
    for (const std::string& argument : arguments) command << " '" << argument << "'";
    command << " <'" << (scratch_ / "in").string() << "' >'" << (scratch_ / "out").string()
            << "' 2>'" << (scratch_ / "err").string() << "'";
    const int status = std::system(command.str().c_str());
    return ProgramRun{.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                      .out = contents(scratch_ / "out"),
                      .err = contents(scratch_ / "err")};
  }

  std::filesystem::path program_;
  std::filesystem::path scratch_;
};

TEST_F(TamrinctlProgramTest, WrongCommandLinesExitTwo) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{}, {"Status"}, {"status", "now"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ProgramRun result = run(arguments);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.err, "error: Usage: tamrinctl status | configure\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(TamrinctlProgramTest, HelpExitsZero) {
  for (const char* word : {"--help", "help"}) {
    const ProgramRun result = run({word});
    EXPECT_EQ(result.exitStatus, 0) << word;
    EXPECT_EQ(result.out, "Usage: tamrinctl status | configure\n") << word;
    EXPECT_EQ(result.err, "") << word;
  }
}

TEST_F(TamrinctlProgramTest, ConfigureRefusesBadInputWithStatusOne) {
  const ProgramRun empty = run({"configure"});
  EXPECT_EQ(empty.exitStatus, 1);
  EXPECT_EQ(empty.err, "error: Configure expects one JSON object on standard input.\n");
  EXPECT_EQ(empty.out, "");

  const ProgramRun invalid =
      run({"configure"}, R"({"domains":["example.com"],)"
                         R"("focusStartMinutes":600,"accessStartMinutes":600,)"
                         R"("activeWeekdays":[2]})");
  EXPECT_EQ(invalid.exitStatus, 1);
  EXPECT_EQ(invalid.err,
            "error: Choose at least one valid day and site, with different start and end times.\n");
  EXPECT_EQ(invalid.out, "");
}

}  // namespace
}  // namespace tamrin
