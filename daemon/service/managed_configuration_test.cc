#include "daemon/service/managed_configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "core/file_io.h"
#include "daemon/service/daemon_service.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"
#include "tests/support/service_fixture.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using testing::utcInstant;
using testing::window;

const std::vector<std::int64_t> kEveryDay = {1, 2, 3, 4, 5, 6, 7};
// 04:00-20:00 UTC every day, as the file below gives it once cleaned; 10:00 is in a block.
const TamrinConfiguration kDay = window(240, 1200, {"example.com"}, kEveryDay);
const TamrinConfiguration kLater = window(360, 1080, {"new.org"}, kEveryDay);
const Instant kInBlock = utcInstant(2026, 3, 2, 10, 0);
const Instant kOutside = utcInstant(2026, 3, 2, 21, 0);

// What `configure` reads, with the schedule's weekdays out of order.
std::string requestJson(const TamrinConfiguration& configuration, const std::string& domain) {
  return R"({"domains":[")" + domain + R"("],"focusStartMinutes":)" +
         std::to_string(configuration.focusStartMinutes) + R"(,"accessStartMinutes":)" +
         std::to_string(configuration.accessStartMinutes) + R"(,"activeWeekdays":[7,1,2,3,4,5,6]})";
}
const std::string kDayJson = requestJson(kDay, "https://www.Example.COM/start");
const std::string kLaterJson = requestJson(kLater, "new.org");
const std::string kRefusal =
    "Tamrin\u2019s schedule is managed in /managed/configuration.json; change it there.";

class ManagedConfigurationTest : public ServiceFixture {
 protected:
  std::shared_ptr<DaemonService> makeManaged(uid_t owner = ::getuid()) {
    DaemonEnvironment managed = environment();
    managed.managedConfiguration = ManagedConfigurationFile{.path = managedPath, .owner = owner};
    return makeService(std::move(managed));
  }
  void writeManaged(const std::string& text, mode_t mode = 0644) {
    writeFileAtomically(managedPath, text, 0600);
    fs::permissions(managedPath, static_cast<fs::perms>(mode));
  }
  std::optional<std::string> problem(DaemonService& service) {
    const auto problems = status(service).layerProblems;
    const auto found = problems.find("managedConfiguration");
    if (found == problems.end()) return std::nullopt;
    return found->second;
  }
  std::string refusal() const {
    std::string line = kRefusal;
    return line.replace(line.find("/managed"), 8, (directory / "managed").string());
  }

  const fs::path managedPath = directory / "managed" / "configuration.json";
};

TEST_F(ManagedConfigurationTest, AFirstFileIsEnabledAtOnceAndAChangeIsStagedBehindTheBlock) {
  fs::create_directories(managedPath.parent_path());
  writeManaged(kDayJson);
  auto service = makeManaged();
  service->start();
  EXPECT_EQ(stored(), TamrinPolicy(kDay)) << "cleaned as configure cleans it";
  EXPECT_TRUE(hostsBlocked());
  EXPECT_FALSE(problem(*service));
  writeManaged(kLaterJson);
  service->TEST_runPass(kInBlock + 60);
  TamrinPolicy policy = service->TEST_policy().value();
  EXPECT_EQ(policy.configuration, kDay);
  EXPECT_EQ(policy.pendingConfiguration, kLater);
  EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, utcInstant(2026, 3, 2, 20, 0));
  service->TEST_runPass(utcInstant(2026, 3, 2, 19, 59));
  EXPECT_EQ(service->TEST_policy().value().configuration, kDay) << "the block is never cut";
  EXPECT_TRUE(hostsBlocked());
  service->TEST_runPass(utcInstant(2026, 3, 3, 6, 0));
  policy = service->TEST_policy().value();
  EXPECT_EQ(policy.configuration, kLater);
  EXPECT_FALSE(policy.pendingConfiguration);
}

TEST_F(ManagedConfigurationTest, TheSameFileAgainOrAfterARestartStagesNothingAgain) {
  writePolicy(TamrinPolicy(kDay));
  fs::create_directories(managedPath.parent_path());
  writeManaged(kLaterJson);
  auto service = makeManaged();
  service->TEST_runPass(kOutside);  // outside a block: staged from this very instant
  const TamrinPolicy staged = service->TEST_policy().value();
  ASSERT_EQ(staged.pendingConfigurationStopsEnforcingAt, kOutside);
  service->TEST_runPass(kOutside + 3600);
  EXPECT_EQ(service->TEST_policy(), staged);
  discard(service);
  service = makeManaged();
  service->TEST_runPass(kOutside + 7200);
  EXPECT_EQ(service->TEST_policy(), staged);
  EXPECT_EQ(stored(), staged);
}

TEST_F(ManagedConfigurationTest, ConfigureIsRefusedWhileTheFileExistsAndAllowedOnceItIsGone) {
  fs::create_directories(managedPath.parent_path());
  writeManaged(kDayJson);
  auto service = makeManaged();
  EXPECT_EQ(enable(*service, encodeConfiguration(kLater)).text, refusal());
  EXPECT_FALSE(fs::exists(policyPath));
  service->TEST_runPass(kInBlock);
  EXPECT_EQ(update(*service, encodeConfiguration(kLater)).text, refusal());
  EXPECT_FALSE(service->TEST_policy().value().pendingConfiguration);
  fs::remove(managedPath);
  service->TEST_runPass(kInBlock + 60);
  EXPECT_EQ(service->TEST_policy().value().configuration, kDay) << "removal keeps what is in force";
  EXPECT_EQ(update(*service, encodeConfiguration(kLater)).text, std::nullopt);
  EXPECT_EQ(service->TEST_policy().value().pendingConfiguration, kLater);
}

struct Broken {
  const char* name;
  std::function<void(const fs::path&)> make;
  const char* problem;  // a part of the status's line
  bool foreignOwner = false;
};

TEST_F(ManagedConfigurationTest, ABrokenFileChangesNothingAndIsShownUntilFixed) {
  const auto write = [](const fs::path& path, const std::string& text, mode_t mode) {
    writeFileAtomically(path, text, mode);
    fs::permissions(path, static_cast<fs::perms>(mode));
  };
  const Broken cases[] = {
      {"invalid JSON", [&](const fs::path& p) { write(p, "{", 0644); },
       "not a valid configuration"},
      {"invalid configuration",
       [&](const fs::path& p) { write(p, requestJson(window(240, 240), "new.org"), 0644); },
       "not a valid configuration"},
      {"too large",
       [&](const fs::path& p) { write(p, kLaterJson + std::string(256 * 1024, ' '), 0644); },
       "larger than 262144 bytes"},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
       "not a regular file"},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, "is a directory"},
      {"symbolic link",
       [&](const fs::path& p) {
         write(p.string() + ".target", kLaterJson, 0644);
         fs::create_symlink(p.string() + ".target", p);
       },
       "is a symbolic link"},
      {"group-writable", [&](const fs::path& p) { write(p, kLaterJson, 0664); },
       "writable by its group"},
      {"foreign owner", [&](const fs::path& p) { write(p, kLaterJson, 0644); }, "not owned by root",
       true},
  };
  for (const Broken& broken : cases) {
    SCOPED_TRACE(broken.name);
    fs::remove_all(managedPath.parent_path());
    fs::create_directories(managedPath.parent_path());
    writePolicy(TamrinPolicy(kDay));
    auto service = makeManaged(broken.foreignOwner ? ::getuid() + 1 : ::getuid());
    broken.make(managedPath);
    service->TEST_runPass(kInBlock);
    EXPECT_EQ(service->TEST_policy(), TamrinPolicy(kDay));
    EXPECT_NE(problem(*service).value_or("").find(broken.problem), std::string::npos)
        << problem(*service).value_or("no problem shown");
    EXPECT_EQ(update(*service, encodeConfiguration(kLater)).text, refusal());

    fs::remove_all(managedPath);
    if (!broken.foreignOwner) writeManaged(kLaterJson);
    service->TEST_runPass(kInBlock + 60);
    EXPECT_FALSE(problem(*service)) << *problem(*service);
    EXPECT_EQ(service->TEST_policy().value().pendingConfiguration,
              broken.foreignOwner ? std::nullopt : std::optional(kLater));
    discard(service);
  }
}

}  // namespace
}  // namespace tamrin
