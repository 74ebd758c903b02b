#include "daemon/enforcement/wire_names_layer.h"

#include <netinet/in.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/packet_filter_rules.h"
#include "core/unique_fd.h"

namespace tamrin {
namespace {

using namespace std::chrono_literals;

// A packet the fake judge reads: its verdict ('r' refuse, 'p' pass, '-' undecided) and a port.
std::vector<std::uint8_t> packet(char verdict, std::uint16_t port) {
  return {static_cast<std::uint8_t>(verdict), static_cast<std::uint8_t>(port >> 8),
          static_cast<std::uint8_t>(port & 0xff)};
}

// What the fake kernel and judge saw, shared with the test; waits guard against a hang only.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<std::uint8_t>> waiting;
  std::vector<std::pair<std::uint16_t, std::uint32_t>> marks;  // source port, mark
  std::vector<std::uint16_t> destroyed;
  std::vector<std::vector<std::string>> domains;
  std::uint64_t overruns = 0;
  std::error_code markAnswer, destroyAnswer;
  bool readFails = false;
  int opened = 0, open = 0;
  UniqueFd event{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};

  void push(std::vector<std::uint8_t> bytes) {
    {
      std::lock_guard hold(mutex);
      waiting.push_back(std::move(bytes));
    }
    const std::uint64_t one = 1;
    ASSERT_EQ(write(event.get(), &one, sizeof one), 8);
  }
  template <typename Predicate>
  bool waitFor(Predicate done) {
    std::unique_lock hold(mutex);
    return changed.wait_for(hold, 10s, [&] { return done(); });
  }
};

class FakeKernel final : public WireKernel {
 public:
  explicit FakeKernel(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {
    std::lock_guard hold(seen_->mutex);
    ++seen_->opened;
    ++seen_->open;
  }
  ~FakeKernel() override {
    std::lock_guard hold(seen_->mutex);
    --seen_->open;
  }
  int copiesFd() const override { return seen_->event.get(); }
  std::size_t readCopies(const PacketCopies::Handler& handler) override {
    std::uint64_t count;
    (void)read(seen_->event.get(), &count, sizeof count);
    std::deque<std::vector<std::uint8_t>> packets;
    {
      std::lock_guard hold(seen_->mutex);
      if (seen_->readFails) throw std::system_error(EIO, std::generic_category(), "recv");
      packets.swap(seen_->waiting);
      overruns_ = seen_->overruns;
    }
    for (const auto& bytes : packets) handler(bytes);
    return packets.size();
  }
  std::uint64_t overruns() const override { return overruns_; }
  std::error_code mark(const FlowTuple& flow, std::uint32_t mark) override {
    std::lock_guard hold(seen_->mutex);
    seen_->marks.emplace_back(flow.sourcePort, mark);
    seen_->changed.notify_all();
    return seen_->markAnswer;
  }
  std::error_code destroySocket(const FlowTuple& flow) override {
    std::lock_guard hold(seen_->mutex);
    seen_->destroyed.push_back(flow.sourcePort);
    return seen_->destroyAnswer;
  }

 private:
  std::shared_ptr<Seen> seen_;
  std::uint64_t overruns_ = 0;
};

class FakeJudge final : public FlowJudge {
 public:
  explicit FakeJudge(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
  void useDomains(const std::vector<std::string>& domains) override {
    std::lock_guard hold(seen_->mutex);
    seen_->domains.push_back(domains);
    seen_->changed.notify_all();
  }
  std::optional<FlowJudgement> judge(std::span<const std::uint8_t> bytes, double) override {
    if (bytes[0] == '-') return std::nullopt;
    return FlowJudgement{
        .flow = {.protocol = IPPROTO_TCP,
                 .sourcePort = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]),
                 .destinationPort = 443},
        .refused = bytes[0] == 'r',
        .name = "example.com"};
  }
  void expire(double) override {}

 private:
  std::shared_ptr<Seen> seen_;
};

struct Pass {
  std::vector<std::string> inForce;
  std::map<std::string, std::string> problems;
};

class WireNamesLayerTest : public testing::Test {
 protected:
  Pass reconcile(bool blocking, const std::vector<std::string>& domains = {"example.com"}) {
    Pass pass;
    layer.reconcile(blocking, domains, pass.inForce, pass.problems);
    return pass;
  }

  // Passes while blocking until one satisfies `done` (the thread reports on its own time); the
  // limit only guards against a hang.
  Pass reconcileUntil(const std::function<bool(const Pass&)>& done) {
    Pass pass = reconcile(true);
    for (int i = 0; i < 100000 && !done(pass); ++i) {
      usleep(100);
      pass = reconcile(true);
    }
    return pass;
  }

  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
  std::function<std::unique_ptr<WireKernel>()> open = [this] {
    return std::make_unique<FakeKernel>(seen);
  };
  WireNamesLayer layer{{.openKernel = [this] { return open(); },
                        .newJudge = [this] { return std::make_unique<FakeJudge>(seen); },
                        .now = [] { return 0.0; }}};
};

TEST_F(WireNamesLayerTest, StopsRefusedFlowsMarksPassedOnesAndCountsBoth) {
  EXPECT_EQ(reconcile(true).inForce, std::vector<std::string>{"namesOnTheWire"});
  {
    std::lock_guard hold(seen->mutex);
    seen->overruns = 3;
    seen->destroyAnswer = std::make_error_code(std::errc::no_such_file_or_directory);  // forwarded
  }
  seen->push(packet('-', 999));
  seen->push(packet('r', 1000));
  seen->push(packet('p', 1001));
  ASSERT_TRUE(seen->waitFor([&] { return seen->marks.size() == 2; }));
  EXPECT_EQ(seen->marks, (std::vector<std::pair<std::uint16_t, std::uint32_t>>{
                             {1000, kFlowMarkRefused}, {1001, kFlowMarkPassed}}));
  EXPECT_EQ(seen->destroyed, std::vector<std::uint16_t>{1000});
  EXPECT_EQ(seen->domains, std::vector<std::vector<std::string>>{{"example.com"}});
  for (int i = 0; i < 100000 && layer.counts().lostInspections == 0; ++i) usleep(100);
  const WireNamesLayer::Counts counts = layer.counts();
  EXPECT_EQ(counts.refusedFlows, 1u);
  EXPECT_EQ(counts.lostInspections, 3u) << "the losses the kernel reported, and still running";
  const Pass again = reconcile(true, {"example.com", "example.org"});
  EXPECT_EQ(again.inForce, std::vector<std::string>{"namesOnTheWire"}) << "no such flow is fine";
  ASSERT_TRUE(seen->waitFor([&] { return seen->domains.size() == 2; }));
  EXPECT_EQ(seen->domains[1], (std::vector<std::string>{"example.com", "example.org"}));
  EXPECT_EQ(seen->opened, 1) << "the same reading goes on";

  const Pass outside = reconcile(false);
  EXPECT_TRUE(outside.inForce.empty());
  EXPECT_TRUE(outside.problems.empty());
  EXPECT_EQ(seen->open, 0);
  EXPECT_EQ(layer.counts().refusedFlows, 0u);
  EXPECT_TRUE(reconcile(true, {}).inForce.empty()) << "nothing blocked, nothing to read";
  EXPECT_EQ(seen->open, 0);
}

TEST_F(WireNamesLayerTest, ReportsWhatTheKernelRefusedAndTriesAgainNextPass) {
  open = []() -> std::unique_ptr<WireKernel> {
    throw std::system_error(EBUSY, std::generic_category(), "binding log group 7461");
  };
  const Pass unbound = reconcile(true);
  EXPECT_TRUE(unbound.inForce.empty());
  EXPECT_EQ(unbound.problems.at("namesOnTheWire"),
            "cannot inspect server names: binding log group 7461: Device or resource busy");

  open = [this] { return std::make_unique<FakeKernel>(seen); };
  seen->markAnswer = std::make_error_code(std::errc::operation_not_permitted);
  EXPECT_EQ(reconcile(true).inForce, std::vector<std::string>{"namesOnTheWire"});
  seen->push(packet('p', 1));
  const auto hasProblem = [](const Pass& pass) { return !pass.problems.empty(); };
  EXPECT_EQ(reconcileUntil(hasProblem).problems["namesOnTheWire"],
            "connections cannot be marked: Operation not permitted");
  {
    std::lock_guard hold(seen->mutex);
    seen->markAnswer = {};
  }
  seen->push(packet('p', 2));
  EXPECT_EQ(reconcileUntil([](const Pass& pass) { return !pass.inForce.empty(); }).inForce,
            std::vector<std::string>{"namesOnTheWire"})
      << "a later mark that succeeds clears the problem";

  {
    std::lock_guard hold(seen->mutex);
    seen->readFails = true;
  }
  seen->push(packet('p', 3));
  // The thread ends on its own; the pass after that reports why and reads again.
  EXPECT_EQ(reconcileUntil(hasProblem).problems["namesOnTheWire"],
            "reading packet copies failed: recv: Input/output error");
  EXPECT_EQ(seen->opened, 2);
  EXPECT_EQ(seen->open, 1);
}

}  // namespace
}  // namespace tamrin
