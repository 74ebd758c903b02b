#include "daemon/ipc/seal.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "daemon/ipc/file_digest.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

const std::string kBundleMessage = "Tamrin could not locate its application bundle.";

std::string codeSigningMessage(int status) {
  return "Tamrin could not establish its client requirement (Security error " +
         std::to_string(status) + ").";
}

class ClientRequirementTest : public ::testing::Test {
 protected:
  fs::path write(const fs::path& relative, const std::string& contents) {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }

  // A bundle with two sealed programs; returns the daemon's path inside it.
  fs::path sealedBundle(const fs::path& bundle) {
    write(bundle / "bin/TamrinDaemon", "daemon program");
    write(bundle / "libexec/tamrin-pfctl", "packet filter program");
    write(bundle / kSealPath,
          sealLine(bundle, "bin/TamrinDaemon") + sealLine(bundle, "libexec/tamrin-pfctl"));
    return root_ / bundle / "bin/TamrinDaemon";
  }

  std::string sealLine(const fs::path& bundle, const std::string& path) {
    return "sha256 " + sha256OfFile(root_ / bundle / path) + " " + path + "\n";
  }

  // The message that deriving the requirement from `executable` fails with; empty on success.
  static std::string failure(const fs::path& executable) {
    try {
      clientCodeSigningRequirement(executable);
      return "";
    } catch (const DaemonStartupError& error) {
      return error.what();
    }
  }

  ScratchDirectory scratch_{"requirement"};
  const fs::path root_ = scratch_.path();
};

TEST_F(ClientRequirementTest, MessagesAreExact) {
  EXPECT_EQ(DaemonStartupError::codeSigning(-67062).errorDescription(),
            "Tamrin could not establish its client requirement (Security error -67062).");
  EXPECT_EQ(std::string(DaemonStartupError::codeSigning(0).what()).find('0'), 66u);
  EXPECT_EQ(DaemonStartupError::appBundleNotFound().what(), kBundleMessage);
  EXPECT_EQ(DaemonStartupError::appBundleNotFound().kind(),
            DaemonStartupError::Kind::appBundleNotFound);
}

TEST_F(ClientRequirementTest, RequirementListsTheSealedDigestsSorted) {
  const fs::path daemon = sealedBundle("Tamrin.app");
  const std::string a = sha256OfFile(daemon);
  const std::string b = sha256OfFile(root_ / "Tamrin.app/libexec/tamrin-pfctl");
  const std::string expected = "sha256 in { " + std::min(a, b) + ", " + std::max(a, b) + " }";

  EXPECT_EQ(clientCodeSigningRequirement(daemon), expected);
  EXPECT_EQ(clientCodeSigningRequirement(root_ / "Tamrin.app/bin/../libexec/x/y/z/deep"), expected);
  EXPECT_EQ(requirementDigests(expected), (std::set<std::string>{a, b}));
  // The sizes admission refuses others by: those of "daemon program", "packet filter program".
  EXPECT_EQ(sealedClients(daemon).sizes, (std::set<std::uint64_t>{14, 21}));
}

TEST_F(ClientRequirementTest, NearestBundleIsTaken) {
  write("Outer.app/" + std::string(kSealPath), "not a seal\n");
  const fs::path daemon = sealedBundle("Outer.app/Inner.app");
  EXPECT_EQ(failure(daemon), "");
  EXPECT_EQ(failure(root_ / "Outer.app/bin/TamrinDaemon"), codeSigningMessage(-67061));
}

TEST_F(ClientRequirementTest, DerivationFailuresGiveTheExactMessages) {
  sealedBundle("Tamrin.APP");
  sealedBundle("Good.app");
  write("Unsealed.app/bin/TamrinDaemon", "daemon");
  const struct {
    const char* name;
    fs::path executable;
    std::string message;
  } cases[] = {
      {"no bundle above", root_ / "plain/bin/TamrinDaemon", kBundleMessage},
      {"upper-case extension", root_ / "Tamrin.APP/bin/TamrinDaemon", kBundleMessage},
      {"only the executable is named .app", root_ / "bin/Tamrin.app", kBundleMessage},
      {"no seal", root_ / "Unsealed.app/bin/TamrinDaemon", codeSigningMessage(-67062)},
  };
  for (const auto& c : cases) EXPECT_EQ(failure(c.executable), c.message) << c.name;

  write("Good.app/libexec/tamrin-pfctl", "packet filter program, rebuilt");
  EXPECT_EQ(failure(root_ / "Good.app/bin/TamrinDaemon"), codeSigningMessage(-67054));
  fs::remove(root_ / "Good.app/libexec/tamrin-pfctl");
  EXPECT_EQ(failure(root_ / "Good.app/bin/TamrinDaemon"), codeSigningMessage(-67054));

  // This test program lives in the build tree, outside any bundle.
  EXPECT_THROW(clientCodeSigningRequirement(), DaemonStartupError);
}

TEST_F(ClientRequirementTest, MalformedSealsAreInvalid) {
  const fs::path daemon = sealedBundle("Tamrin.app");
  const std::string digest = sha256OfFile(daemon);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  const struct {
    const char* name;
    std::string seal;
  } cases[] = {
      {"empty", ""},
      {"blank line", "\n"},
      {"other algorithm", "sha1 " + digest + " bin/TamrinDaemon\n"},
      {"short digest", "sha256 " + digest.substr(1) + " bin/TamrinDaemon\n"},
      {"upper-case digest", "sha256 " + upper + " bin/TamrinDaemon\n"},
      {"no path", "sha256 " + digest + "\n"},
      {"empty path", "sha256 " + digest + " \n"},
      {"absolute path", "sha256 " + digest + " " + daemon.string() + "\n"},
      {"path out of the bundle", "sha256 " + digest + " bin/../../Tamrin.app/bin/TamrinDaemon\n"},
      {"repeated path",
       "sha256 " + digest + " bin/TamrinDaemon\nsha256 " + digest + " bin/./TamrinDaemon\n"},
  };
  for (const auto& c : cases) {
    write("Tamrin.app/" + std::string(kSealPath), c.seal);
    EXPECT_EQ(failure(daemon), codeSigningMessage(-67061)) << c.name;
  }
  write("Tamrin.app/" + std::string(kSealPath), "sha256 " + digest + " bin/TamrinDaemon");
  EXPECT_EQ(failure(daemon), "") << "a last line without its line feed";
}

TEST_F(ClientRequirementTest, SealWrittenByTheBuildIsAccepted) {
  const char* variable = std::getenv("TAMRIN_SOURCE_DIR");
  const fs::path source =
      variable != nullptr ? fs::path(variable) : fs::path(__FILE__).parent_path().parent_path();
  const fs::path daemon = write("Tamrin.app/bin/TamrinDaemon", "daemon program");
  const fs::path control = write("Tamrin.app/bin/tamrin ctl", "control program");
  write("Tamrin.app/bin/README", "not a program");
  fs::permissions(root_ / "Tamrin.app/bin/README", fs::perms::owner_read);
  const std::string command =
      std::string(source) + "/scripts/seal-bundle '" + (root_ / "Tamrin.app").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(requirementDigests(clientCodeSigningRequirement(daemon)),
            (std::set<std::string>{sha256OfFile(daemon), sha256OfFile(control)}));
}

TEST(RequirementDigestsTest, OnlyTheExactFormIsRead) {
  const std::string a(64, 'a');
  const std::string b(64, '0');
  EXPECT_EQ(requirementDigests("sha256 in { " + a + " }"), std::set<std::string>{a});
  const std::string rejected[] = {
      "",
      "sha256 in {  }",
      "sha256 in { " + a + "," + b + " }",
      "sha256 in { " + a + ", }",
      "sha256 in { " + std::string(64, 'A') + " }",
      "sha256 in { " + a + " } ",
      "sha256 in {" + a + "}",
      "sha512 in { " + a + " }",
  };
  for (const std::string& text : rejected) {
    EXPECT_THROW(requirementDigests(text), std::invalid_argument) << text;
  }
}

}  // namespace
}  // namespace tamrin
