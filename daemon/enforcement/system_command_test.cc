#include "daemon/enforcement/system_command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/tamrin_error.h"

#include "tests/support/daemon_signals.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

class SystemCommandTest : public ::testing::Test {
 protected:
  ScratchDirectory scratch_{"system-command"};
  const fs::path dir_ = scratch_.path();

  // An executable shell script with `body`; its path.
  std::string script(const std::string& body, const std::string& name = "tool") const {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }
};

std::string shell(const std::string& command) {
  return runSystemCommand("/bin/sh", {"-c", command});
}

TEST_F(SystemCommandTest, SuccessReturnsTheMergedOutputTrimmed) {
  struct Case {
    const char* command;
    std::string output;
  };
  const Case cases[] = {
      {"printf '  only errors \\n' >&2", "only errors"},
      {"echo one; echo two >&2; echo three", "one\ntwo\nthree"},
      {"true", ""},
      {"printf '\\342\\200\\250\\302\\240 x y\\t\\343\\200\\200\\r\\n'", "x y"},
      {"printf '\\377ok'", "\xEF\xBF\xBDok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(shell(c.command), c.output);
  }
}

TEST_F(SystemCommandTest, ArgumentsArePassedWithoutAShell) {
  EXPECT_EQ(runSystemCommand("/usr/bin/printf", {"%s|", "a b", "$HOME", "*", ""}), "a b|$HOME|*||");
}

TEST_F(SystemCommandTest, FailureDetails) {
  struct Case {
    const char* body;
    std::string detail;  // "@" stands for the script's path
  };
  const Case cases[] = {
      {"printf '  word\\n'; exit 1", "word"},
      {"exit 3", "@ exited 3"},
      {"printf ' \\n\\t\\r\\n'; exit 3", "@ exited 3"},
      {"echo partial; exit 255", "partial"},
      {"kill -KILL $$", "@ killed by signal 9"},
      {"echo last words >&2; kill -TERM $$", "last words"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const std::string path = script(c.body);
    std::string detail = c.detail;
    if (detail.starts_with("@")) detail.replace(0, 1, path);
    try {
      runSystemCommand(path, {});
      ADD_FAILURE() << "no error";
    } catch (const TamrinError& error) {
      EXPECT_EQ(error.kind(), TamrinError::Kind::packetFilter);
      EXPECT_EQ(error.detail(), detail);
      EXPECT_EQ(error.what(), "The packet filter failed: " + detail);
    }
  }
}

TEST_F(SystemCommandTest, ACommandThatDoesNotFinishIsKilledAtTheTimeLimit) {
  // The second case exits at once but leaves a process holding the output open.
  for (const char* body : {"sleep 30", "sleep 30 & echo started"}) {
    SCOPED_TRACE(body);
    const std::string path = script(body);
    try {
      runSystemCommand(path, {}, std::chrono::milliseconds(300));
      ADD_FAILURE() << "no error";
    } catch (const TamrinError& error) {
      EXPECT_EQ(error.detail(), path + " did not finish within 300 milliseconds");
    }
  }
}

TEST_F(SystemCommandTest, LaunchFailuresAreSystemErrors) {
  const std::string notExecutable = script("true", "plain");
  fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
  struct Case {
    std::string path;
    std::errc code;
  };
  const Case cases[] = {
      {(dir_ / "missing").string(), std::errc::no_such_file_or_directory},
      {notExecutable, std::errc::permission_denied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      runSystemCommand(c.path, {"-s", "info"});
      ADD_FAILURE() << "no error";
    } catch (const TamrinError& error) {
      ADD_FAILURE() << "a TamrinError: " << error.what();
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), c.code) << error.what();
    }
  }
}

TEST_F(SystemCommandTest, LargeOutputOnBothStreamsIsReadCompletely) {
  // 2 MiB on standard output and 1 MiB on standard error, far more than a pipe holds.
  const std::string output =
      shell("yes abcdefg | head -c 2097152; yes xyz | head -c 1048576 >&2; echo end");
  EXPECT_EQ(output.size(), 2097152u + 1048576u + 3u);
  EXPECT_TRUE(output.ends_with("xyz\nend")) << output.substr(output.size() - 20);
}

TEST_F(SystemCommandTest, ChildGetsNoOtherDescriptorsAndDefaultSignals) {
  const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 3);
  const std::string probe = "/proc/self/fd/" + std::to_string(leaked);
  EXPECT_EQ(shell("if [ -e " + probe + " ]; then echo open; else echo closed; fi"), "closed");
  ::close(leaked);

  // A daemon that ignores SIGPIPE and blocks SIGTERM must not hand either on.
  const testing::DaemonSignals daemonSignals;
  std::string pipeline;
  try {
    pipeline = shell("yes | head -c 4");
  } catch (const std::exception& error) {
    pipeline = error.what();
  }
  const std::string terminated = script("kill -TERM $$; echo survived");
  EXPECT_THROW(
      {
        try {
          runSystemCommand(terminated, {});
        } catch (const TamrinError& error) {
          EXPECT_EQ(error.detail(), terminated + " killed by signal 15");
          throw;
        }
      },
      TamrinError);
  EXPECT_EQ(pipeline, "y\ny");  // `yes` died of SIGPIPE quietly instead of reporting EPIPE
}

}  // namespace
}  // namespace tamrin
