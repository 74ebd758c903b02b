#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <vector>

#include "core/daemon_client.h"
#include "daemon/ipc/file_digest.h"
#include "daemon/ipc/listener.h"
#include "daemon/ipc/seal.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

const std::string kRefused = "The Tamrin daemon refused the connection.";

class CountingService : public TamrinDaemonProtocol {
 public:
  void getStatus(Reply reply) override { answer(reply); }
  void enableBlocking(const Data&, Reply reply) override { answer(reply); }
  void updateConfiguration(const Data&, Reply reply) override { answer(reply); }
  void prepareForRemoval(Reply reply) override { answer(reply); }
  std::atomic<int> calls{0};

 private:
  void answer(const Reply& reply) {
    ++calls;
    reply(std::nullopt, std::nullopt);
  }
};

// A bundle whose seal lists a client program, and a listener that admits what the seal lists.
class IpcAdmissionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path helper =
        fs::read_symlink("/proc/self/exe").parent_path() / "ipc_admission_test_helper";
    ASSERT_TRUE(fs::exists(helper)) << helper;
    fs::create_directories(root_ / "Tamrin.app/bin");
    fs::create_directories(root_ / "Tamrin.app/_CodeSignature");
    fs::copy_file(helper, sealedClient());
    std::ofstream(root_ / "Tamrin.app" / kSealPath)
        << "sha256 " << sha256OfFile(sealedClient()) << " bin/tamrinctl\n";

    listener_ = std::make_unique<IpcListener>(
        service_, IpcListenerOptions{.socketPath = root_ / "daemon.sock"});
    const SealedClients sealed = sealedClients(root_ / "Tamrin.app/bin/TamrinDaemon");
    listener_->setConnectionCodeSigningRequirement(sealed.requirement, sealed.sizes);
    listener_->resume();
    listener_->serveInBackground();
  }
  void TearDown() override { listener_.reset(); }

  fs::path sealedClient() const { return root_ / "Tamrin.app/bin/tamrinctl"; }

  // What the program prints when it calls the daemon.
  std::string run(const fs::path& program) const {
    const std::string command =
        "'" + program.string() + "' '" + (root_ / "daemon.sock").string() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "(cannot run)";
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    ::pclose(pipe);
    if (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
  }

  ScratchDirectory scratch_{"admission"};
  const fs::path root_ = scratch_.path();
  CountingService service_;
  std::unique_ptr<IpcListener> listener_;
};

TEST_F(IpcAdmissionTest, SealedProgramIsAdmitted) {
  EXPECT_EQ(run(sealedClient()), "ok");
  EXPECT_EQ(run(sealedClient()), "ok");
  EXPECT_EQ(service_.calls, 2);
}

TEST_F(IpcAdmissionTest, ProgramsOutsideTheSealAreRefusedBeforeTheServiceIsCalled) {
  // A rebuilt copy elsewhere: same program, different bytes.
  const fs::path copy = root_ / "elsewhere/tamrinctl";
  fs::create_directories(copy.parent_path());
  fs::copy_file(sealedClient(), copy);
  std::ofstream(copy, std::ios::app) << "rebuilt";
  EXPECT_EQ(run(copy), kRefused);

  // This test program is in no seal.
  EXPECT_THROW(DaemonClient({.socketPath = root_ / "daemon.sock", .expectedOwner = ::getuid()})
                   .prepareForRemoval(),
               DaemonConnectionError);
  EXPECT_EQ(service_.calls, 0);
}

TEST_F(IpcAdmissionTest, SealedProgramChangedAfterStartIsRefused) {
  EXPECT_EQ(run(sealedClient()), "ok");
  std::ofstream(sealedClient(), std::ios::app) << "patched";
  EXPECT_EQ(run(sealedClient()), kRefused);
  EXPECT_EQ(service_.calls, 1);
}

TEST_F(IpcAdmissionTest, IdenticalCopyIsAdmittedBecauseAdmissionIsByContent) {
  const fs::path copy = root_ / "elsewhere/tamrinctl";
  fs::create_directories(copy.parent_path());
  fs::copy_file(sealedClient(), copy);
  EXPECT_EQ(run(copy), "ok");
}

TEST_F(IpcAdmissionTest, SealedProgramRewrittenInPlaceToTheSameSizeIsRefused) {
  EXPECT_EQ(run(sealedClient()), "ok");
  // Same file, same size, other bytes: only its change time tells the cached digest is stale.
  std::fstream file(sealedClient(), std::ios::in | std::ios::out | std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), {});
  std::size_t at = bytes.find("GCC: (");  // the compiler's note, never loaded
  if (at == std::string::npos) at = bytes.find("clang version");
  ASSERT_NE(at, std::string::npos);
  file.seekp(static_cast<std::streamoff>(at));
  file.put('g');
  file.close();
  EXPECT_EQ(fs::file_size(sealedClient()), bytes.size());
  EXPECT_EQ(run(sealedClient()), kRefused);
  EXPECT_EQ(service_.calls, 1);
}

TEST_F(IpcAdmissionTest, HugeSparseClientDelaysNoOtherClient) {
  const fs::path huge = root_ / "elsewhere/tamrinctl";
  fs::create_directories(huge.parent_path());
  fs::copy_file(sealedClient(), huge);
  fs::resize_file(huge, std::uintmax_t{8} << 30);  // a hole: no disk used, 8 GiB to read

  std::vector<std::future<std::string>> huges;
  for (int i = 0; i < 6; ++i) {
    huges.push_back(std::async(std::launch::async, [&] { return run(huge); }));
  }
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(sealedClient()), "ok");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "call " << i;
  }
  for (auto& result : huges) EXPECT_EQ(result.get(), kRefused);
  EXPECT_EQ(service_.calls, 5);
}

}  // namespace
}  // namespace tamrin
