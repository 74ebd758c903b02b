#include "daemon/service/policy_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "core/file_io.h"
#include "core/regular_file.h"
#include "tests/support/configurations.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using testing::window;

class PolicyStoreTest : public ::testing::Test {
 protected:
  mode_t modeOf(const fs::path& path) const {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }

  ScratchDirectory scratch{"policy-store"};
  const fs::path path = scratch.path() / "var" / "state" / "policy.json";
  const TamrinPolicy policy{window(240, 1200)};
};

TEST_F(PolicyStoreTest, LoadTellsNoPolicyFromOneThatCannotBeUsed) {
  struct Case {
    const char* name;
    void (*make)(const fs::path&);
    bool loaded;
    bool failed;
  } const cases[] = {
      {"missing", [](const fs::path&) {}, false, false},
      {"valid",
       [](const fs::path& p) {
         writeFileAtomically(p, encodePolicy(TamrinPolicy(window(240, 1200))), 0600);
       },
       true, false},
      {"empty", [](const fs::path& p) { writeFileAtomically(p, "", 0600); }, false, true},
      {"not JSON", [](const fs::path& p) { writeFileAtomically(p, "{\"configuration\"", 0600); },
       false, true},
      {"invalid configuration",
       [](const fs::path& p) {
         writeFileAtomically(p, encodePolicy(TamrinPolicy(window(240, 240))), 0600);
       },
       false, true},
      {"invalid staged configuration",
       [](const fs::path& p) {
         TamrinPolicy staged(window(240, 1200));
         staged.pendingConfiguration = window(1, 2, {"Not Canonical"});
         writeFileAtomically(p, encodePolicy(staged), 0600);
       },
       false, true},
      {"a directory", [](const fs::path& p) { fs::create_directory(p); }, false, true},
      {"a dangling link", [](const fs::path& p) { fs::create_symlink("nowhere", p); }, false, true},
  };
  for (const auto& c : cases) {
    fs::remove_all(path.parent_path());
    fs::create_directories(path.parent_path());
    c.make(path);
    const PolicyStore store(path);
    EXPECT_EQ(store.policy().has_value(), c.loaded) << c.name;
    EXPECT_EQ(store.loadFailed(), c.failed) << c.name;
    EXPECT_FALSE(store.needsSave()) << c.name;
  }
}

TEST_F(PolicyStoreTest, PersistWritesPrivatelyAndReplacesAnUnusableState) {
  fs::create_directories(path.parent_path());
  writeFileAtomically(path, "garbage", 0644);
  PolicyStore store(path);
  ASSERT_TRUE(store.loadFailed());
  fs::remove_all(scratch.path() / "var");
  const mode_t previousUmask = ::umask(0277);
  store.persist(policy);
  ::umask(previousUmask);
  EXPECT_FALSE(store.loadFailed());
  EXPECT_EQ(store.policy(), policy);
  EXPECT_EQ(decodePolicy(readFile(path)), policy);
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(modeOf(path.parent_path()), 0700u) << "made here, whatever the umask";
  EXPECT_EQ(modeOf(path.parent_path().parent_path()), 0700u);
  EXPECT_EQ(PolicyStore(path).policy(), policy) << "what was written loads again";
}

TEST_F(PolicyStoreTest, AFailedPersistLeavesEverythingAsItWas) {
  PolicyStore store(path);
  store.persist(policy);
  TamrinPolicy huge(window(240, 1200));
  huge.resolvedAddresses.emplace();
  for (int i = 0; i < 420000; ++i) {  // about 17 MB of address texts
    huge.resolvedAddresses->push_back("2001:db8:ffff:ffff:ffff:ffff:ffff:" + std::to_string(i));
  }
  EXPECT_THROW(store.persist(huge), std::length_error);
  EXPECT_EQ(store.policy(), policy);
  EXPECT_EQ(decodePolicy(readFile(path)), policy);

  fs::remove(path);
  fs::create_directory(path);  // the atomic replace cannot rename onto a directory
  TamrinPolicy other(window(300, 1000));
  EXPECT_THROW(store.persist(other), std::exception);
  EXPECT_EQ(store.policy(), policy);
  EXPECT_FALSE(store.needsSave());
}

TEST_F(PolicyStoreTest, AKeptPolicyIsInForceAtOnceAndWrittenBySaveOnlyOnce) {
  PolicyStore store(path);
  store.persist(policy);
  TamrinPolicy learned = policy;
  learned.resolvedAddresses = {{"192.0.2.1"}};
  store.keep(learned);
  EXPECT_EQ(store.policy(), learned);
  EXPECT_TRUE(store.needsSave());
  EXPECT_EQ(decodePolicy(readFile(path)), policy) << "not written before save()";

  // A save that fails keeps it in force and kept...
  fs::remove(path);
  fs::create_directory(path);
  store.save();
  EXPECT_TRUE(store.needsSave());
  EXPECT_EQ(store.policy(), learned);
  // ...for the next, which writes it.
  fs::remove(path);
  store.save();
  EXPECT_FALSE(store.needsSave());
  EXPECT_EQ(decodePolicy(readFile(path)), learned);
  // Nothing kept: nothing written.
  fs::remove(path);
  store.save();
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(PolicyStoreTest, RemoveForgetsThePolicyAndAFailedLoad) {
  fs::create_directories(path.parent_path());
  writeFileAtomically(path, "garbage", 0600);
  PolicyStore store(path);
  store.remove();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(store.loadFailed() || store.policy());
  store.remove();  // no file is no failure
  store.persist(policy);
  store.keep(policy);
  store.remove();
  EXPECT_FALSE(store.needsSave() || store.policy());
  store.save();
  EXPECT_FALSE(fs::exists(path)) << "nothing left to save";
}

}  // namespace
}  // namespace tamrin
