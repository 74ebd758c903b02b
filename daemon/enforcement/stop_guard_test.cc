#include "daemon/enforcement/stop_guard.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/file_io.h"
#include "tests/support/fake_service_manager.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

class StopGuardTest : public ::testing::Test {
 protected:
  // One pass: whether the guard is reported in force, and its problem ("" for none).
  std::pair<bool, std::string> pass(bool blocking) {
    std::vector<std::string> inForce;
    std::map<std::string, std::string> problems;
    guard.reconcile(blocking, inForce, problems);
    EXPECT_LE(inForce.size() + problems.size(), 1u);
    return {!inForce.empty(), problems.empty() ? "" : problems.begin()->second};
  }

  ScratchDirectory scratch{"stop-guard"};
  const fs::path units = scratch.path() / "system";
  const fs::path file = units / "tamrin-daemon.service.d" / StopGuard::kFileName;
  const std::shared_ptr<FakeServiceManager> manager = std::make_shared<FakeServiceManager>(file);
  const StopGuard guard{units, manager};
};

TEST_F(StopGuardTest, ABlockGuardsTheUnitAndItsEndReleasesIt) {
  EXPECT_EQ(guard.dropIn(), file);
  EXPECT_EQ(pass(false), std::pair(false, std::string()));
  EXPECT_EQ(manager->reloads, 0) << "nothing to load outside a block";

  EXPECT_EQ(pass(true), std::pair(true, std::string()));
  EXPECT_EQ(readFile(file), StopGuard::kText);
  EXPECT_EQ(manager->reloads, 1);
  pass(true);
  EXPECT_EQ(manager->reloads, 1) << "a guard already loaded needs no reload";

  EXPECT_EQ(pass(false), std::pair(false, std::string()));
  EXPECT_FALSE(fs::exists(file.parent_path())) << "an emptied drop-in directory goes too";
  EXPECT_EQ(manager->reloads, 2);
  EXPECT_FALSE(manager->unitState().refusesManualStop);
}

TEST_F(StopGuardTest, ARemovedOrEditedGuardIsPutBackAndLoaded) {
  pass(true);
  for (const auto& tamper : {+[](const fs::path& f) { fs::remove(f); },
                             +[](const fs::path& f) { writeFileAtomically(f, "[Unit]\n", 0644); },
                             +[](const fs::path& f) { fs::remove_all(f.parent_path()); }}) {
    const int before = manager->reloads;
    tamper(file);
    EXPECT_EQ(pass(true), std::pair(true, std::string()));
    EXPECT_EQ(readFile(file), StopGuard::kText);
    EXPECT_EQ(manager->reloads, before + 1);
  }
}

TEST_F(StopGuardTest, AFailedReloadIsAProblemAndTriedAgain) {
  manager->unreachable = true;
  const auto [inForce, problem] = pass(true);
  EXPECT_FALSE(inForce);
  EXPECT_EQ(problem, "the stop guard is not in force: systemd is not answering");
  EXPECT_EQ(pass(false).second, "") << "outside a block nothing is reported";
  pass(true);
  manager->unreachable = false;
  EXPECT_EQ(pass(true), std::pair(true, std::string())) << "the file is in place, not yet loaded";
}

TEST_F(StopGuardTest, AnOverridingDropInIsReportedWithoutAReloadAtEveryPass) {
  pass(true);
  manager->overridden = true;
  const auto [inForce, problem] = pass(true);
  EXPECT_FALSE(inForce);
  EXPECT_EQ(problem, "systemd does not refuse to stop tamrin-daemon.service: a drop-in of its own "
                     "may undo " + file.string());
  pass(true);
  EXPECT_EQ(manager->reloads, 1);
}

// A daemon that died between its write and the reload: the next one loads what it finds due.
TEST_F(StopGuardTest, AGuardLeftLoadedAfterABlockIsReleased) {
  pass(true);
  fs::remove(file);  // the file went, systemd still holds the guard
  EXPECT_EQ(pass(false).first, false);
  EXPECT_EQ(manager->reloads, 2);
  EXPECT_FALSE(manager->unitState().refusesManualStop);
}

TEST_F(StopGuardTest, WithoutAServiceManagerNothingIsAttempted) {
  const StopGuard none(units, nullptr);
  std::vector<std::string> inForce;
  std::map<std::string, std::string> problems;
  none.reconcile(true, inForce, problems);
  none.remove();
  EXPECT_TRUE(inForce.empty() && problems.empty());
  EXPECT_FALSE(fs::exists(units));
  EXPECT_EQ(none.dropIn(), fs::path());
}

}  // namespace
}  // namespace tamrin
